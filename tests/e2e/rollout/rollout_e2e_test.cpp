// The real Aurevia.EXE of a pilot workstation (Anel=piloto) over a server folder with release
// control: it takes what its ring is given, files and ages, comes back with the ring's rollback,
// logs where it stands, and refuses an old rollout document served again.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e/selfsupport/launcher_session.h"
#include "support/test_publisher.h"
#include "support/test_release_server.h"

using namespace selfsupport_e2e;

namespace {

constexpr POINT kAdmission{265, 181};  // imgInternacao, clear of the busy panel
constexpr int64_t kMonth = 30 * 86400;

void ClearAcceptedSerials() {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Aurevia", L"Serie Manifesto");
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Aurevia", L"Serie Distribuicao");
}

struct RolloutSession : LauncherSession {
    TestPublisher publisher;
    TempFolder scratch;
    std::unique_ptr<TestReleaseServer> releases;
    std::string module;  // the stand-in module's bytes: each release appends its own tail

    RolloutSession() {
        ClearAcceptedSerials();
        const std::wstring ini = Local(L"Aurevia.ini").wstring();
        WritePrivateProfileStringW(L"Seguranca", L"Chave Publica", publisher.PublicKeyText().c_str(),
                                   ini.c_str());
        WritePrivateProfileStringW(L"Seguranca", L"Anel", L"Piloto", ini.c_str());
        SetEnvironmentVariableW(L"AUREVIA_MODULE_LOG", (scratch / L"modules.log").c_str());
        SetEnvironmentVariableW(L"LOCALAPPDATA", scratch.Path().wstring().c_str());
        releases = std::make_unique<TestReleaseServer>(publisher, serverFolder.Path().wstring() + L"\\");
        module = ReadTextFile(BuiltDemoModule());
    }
    ~RolloutSession() {
        CloseWindowsTitled(L"Admission.exe");
        Quit();
        ClearAcceptedSerials();
    }
    std::vector<TestReleaseFile> Release(int n, int64_t age) const {
        const std::string v = std::to_string(n);
        return {{"Admission.exe", module + "release " + v, age},
                {"gds32.dll", "gds " + v, age + 60},
                {"Relatorio\\RptScheduling.rav", "layout " + v, age + 120}};
    }
    // Whether the workstation holds exactly these files, contents and ages.
    bool Holds(const std::vector<TestReleaseFile>& AFiles) const {
        for (const TestReleaseFile& file : AFiles) {
            const std::wstring path = Local(std::wstring(file.Name.begin(), file.Name.end())).wstring();
            if (ReadTextFile(path) != file.Content || UnixAgeOf(path) != file.AgeUnix) return false;
        }
        return true;
    }
    // One line per start of the stand-in module.
    size_t ModuleStarts() const {
        const std::string log = ReadTextFile(scratch / L"modules.log");
        return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
    }
    std::string Log() const { return ReadTextFile(scratch / L"Aurevia\\Aurevia.log"); }
    // A click on the admission tile, and the wait until the module it starts has started.
    void LaunchAdmission() {
        const size_t before = ModuleStarts();
        SingleClickAt(window, kAdmission);
        ASSERT_TRUE(WaitUntil([&] { return ModuleStarts() > before; }, 30s)) << "the module did not start";
        CloseModule();
    }
    // Closes the started module and waits for its process: the next update replaces its file, and a
    // module left running would outlive the test.
    void CloseModule() { EXPECT_TRUE(CloseProgramTitled(L"Admission.exe")) << "the module did not end"; }
};

std::wstring AnswerWarning(std::chrono::milliseconds ATimeout = 20s) {
    HWND dialog = WaitForDialog(L"Aviso", ATimeout);
    if (!dialog) return {};
    const std::wstring text = MessageText(dialog);
    AnswerAndWaitClosed(dialog);
    return text;
}

}  // namespace

TEST(RolloutE2E, ThePilotTakesItsRingsReleaseRollsBackWithItAndRefusesAReplay) {
    RolloutSession session;
    const int64_t age1 = UnixUtc(2022, 1, 10, 10, 0, 1), age2 = UnixUtc(2023, 2, 11, 11, 0, 3);
    const auto release1 = session.Release(1, age1), release2 = session.Release(2, age2);
    session.releases->AddRelease(1, release1);
    session.releases->AddRelease(2, release2);
    const auto pilot = session.releases->SetRollout(
        TRollout{1765400001, UnixNowPlus(kMonth), {{"geral", 1, {}, 100}, {"piloto", 2, {}, 100}}});
    ASSERT_NO_FATAL_FAILURE(session.Start());
    WaitForCaption(session.window,
                   [](const std::wstring& c) { return c.find(L"Tempo do update") != std::wstring::npos; });
    ASSERT_NO_FATAL_FAILURE(session.LaunchAdmission());
    EXPECT_TRUE(session.Holds(release2)) << "the pilot ring's release did not arrive whole";
    EXPECT_NE(session.Log().find("rollout module=Admission.exe ring=piloto number="), std::string::npos)
        << session.Log();
    EXPECT_NE(session.Log().find("serial=1765400001 release=2"), std::string::npos) << session.Log();

    // The ring is rolled back: release 1's files and ages come back at the next click.
    session.releases->SetRollout(
        TRollout{1765400002, UnixNowPlus(kMonth), {{"geral", 1, {}, 100}, {"piloto", 1, {}, 100}}});
    ASSERT_NO_FATAL_FAILURE(session.LaunchAdmission());
    EXPECT_TRUE(session.Holds(release1)) << "the rollback did not bring release 1 back\n" << session.Log();

    // The document that gave the pilot release 2, served again: refused, the module still starts.
    session.releases->ServeRollout(pilot);
    SingleClickAt(session.window, kAdmission);
    EXPECT_EQ(AnswerWarning(),
              L"Atualização recusada: versão mais antiga que a já aceita (série 1765400001, já "
              L"aceita a série 1765400002).\r\nNenhum arquivo foi atualizado.");
    EXPECT_TRUE(WaitUntil([&] { return session.ModuleStarts() == 3; }, 20s))
        << "the installed module did not start";
    session.CloseModule();
    EXPECT_TRUE(session.Holds(release1));
}

// A release whose entry is dated 1500, signed all the same (the publisher refuses to write one; a
// forger need not ask it): refused as unreadable, and the installed module starts every time.
TEST(RolloutE2E, AReleaseEntryDated1500IsRefusedAndTheInstalledModuleStillStarts) {
    RolloutSession session;
    const int64_t age = UnixUtc(2023, 2, 11, 11, 0, 3);
    const auto installed = session.Release(1, age);
    session.releases->AddRelease(1, installed);
    session.releases->SetRollout(TRollout{1765400001, UnixNowPlus(kMonth), {{"piloto", 1, {}, 100}}});
    session.releases->AddRelease(2, session.Release(2, age));
    const std::wstring release2 = session.Server(L"aurevia-releases\\2").wstring();
    std::string forged = ReadTextFile(release2 + L".json");
    const std::string admissionAge = "\"age\":\"2023-02-11T11:00:03Z\"";
    ASSERT_NE(forged.find(admissionAge), std::string::npos) << forged;
    forged.replace(forged.find(admissionAge), admissionAge.size(), "\"age\":\"1500-01-01T00:00:00Z\"");
    WriteTextFile(release2 + L".json", forged);
    WriteTextFile(release2 + L".sig", session.publisher.Sign(forged));
    ASSERT_NO_FATAL_FAILURE(session.Start());
    WaitForCaption(session.window,
                   [](const std::wstring& c) { return c.find(L"Tempo do update") != std::wstring::npos; });
    ASSERT_NO_FATAL_FAILURE(session.LaunchAdmission());
    ASSERT_TRUE(session.Holds(installed));

    session.releases->SetRollout(TRollout{1765400002, UnixNowPlus(kMonth), {{"piloto", 2, {}, 100}}});
    SingleClickAt(session.window, kAdmission);
    const std::wstring refused = AnswerWarning();
    EXPECT_EQ(refused.rfind(L"Atualização recusada: manifesto ilegível (\"age\" lies outside 1601", 0), 0u)
        << std::filesystem::path(refused).string();
    EXPECT_TRUE(WaitUntil([&] { return session.ModuleStarts() == 2; }, 20s))
        << "the installed module did not start";
    session.CloseModule();
    EXPECT_TRUE(session.Holds(installed));
}

// Release control as a shared ward workstation meets it. The first user's launcher refuses a release
// whose document is not the one its rollout document pinned, then takes the pinned one. A second
// Windows user of the same installation, whose own registry holds only an older serial (left by an
// earlier launcher), is served the older, validly signed rollout document: refused by what the
// installation accepted. Each refusal shows the message, names its reason in that user's IT log, and
// the installed module starts.
TEST(RolloutE2E, APinMismatchAndASecondUsersReplayAreRefusedAndTheModuleStillStarts) {
    RolloutSession session;
    const int64_t age1 = UnixUtc(2022, 1, 10, 10, 0, 1), age2 = UnixUtc(2023, 2, 11, 11, 0, 3);
    const auto release1 = session.Release(1, age1), release2 = session.Release(2, age2);
    session.releases->AddRelease(1, release1);
    session.releases->AddRelease(2, release2);
    const std::wstring document2 = session.Server(L"aurevia-releases\\2.json").wstring();
    const std::wstring signature2 = session.Server(L"aurevia-releases\\2.sig").wstring();
    const std::string signed2 = ReadTextFile(document2), signedSignature2 = ReadTextFile(signature2);
    const TSha256 pin1 = OneShotSha256(ReadTextFile(session.Server(L"aurevia-releases\\1.json")));
    const TSha256 pin2 = OneShotSha256(signed2);
    const auto older = session.releases->SetRollout(
        TRollout{1765400001, UnixNowPlus(kMonth), {{"piloto", 1, {}, 100, pin1}}});
    ASSERT_NO_FATAL_FAILURE(session.Start());
    WaitForCaption(session.window,
                   [](const std::wstring& c) { return c.find(L"Tempo do update") != std::wstring::npos; });
    ASSERT_NO_FATAL_FAILURE(session.LaunchAdmission());
    ASSERT_TRUE(session.Holds(release1));

    // Release 2 re-signed with other bytes than the rollout document pinned.
    TRelease altered = DecodeRelease(signed2);
    altered.Note = "copiada de outro servidor";
    const std::string alteredBytes = EncodeRelease(altered);
    WriteTextFile(document2, alteredBytes);
    WriteTextFile(signature2, session.publisher.Sign(alteredBytes));
    session.releases->SetRollout(
        TRollout{1765400002, UnixNowPlus(kMonth), {{"piloto", 2, 1, 100, pin2, pin1}}});
    SingleClickAt(session.window, kAdmission);
    const std::wstring refused = AnswerWarning();
    EXPECT_EQ(
        refused.rfind(
            L"Atualização recusada: versão diferente da fixada pela distribuição (versão 2, SHA-256 ", 0),
        0u)
        << std::filesystem::path(refused).string();
    EXPECT_TRUE(WaitUntil([&] { return session.ModuleStarts() == 2; }, 20s))
        << "the installed module did not start";
    session.CloseModule();
    EXPECT_TRUE(session.Holds(release1));
    EXPECT_NE(session.Log().find("update-refused module=Admission.exe"), std::string::npos) << session.Log();
    EXPECT_NE(session.Log().find("category=altered"), std::string::npos) << session.Log();

    // The pinned document back: taken.
    WriteTextFile(document2, signed2);
    WriteTextFile(signature2, signedSignature2);
    ASSERT_NO_FATAL_FAILURE(session.LaunchAdmission());
    EXPECT_TRUE(session.Holds(release2));
    session.Quit();
    // The installation remembers it; the user's registry holds nothing.
    EXPECT_NE(ReadTextFile(session.Local(L"aurevia-state.json")).find("\"rollout\":{\"serial\":1765400002"),
              std::string::npos);
    uint64_t value = 0;
    DWORD size = sizeof(value);
    EXPECT_NE(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Aurevia", L"Serie Distribuicao", RRF_RT_REG_QWORD,
                           nullptr, &value, &size),
              ERROR_SUCCESS);

    // The second user: another log, and a registry that an earlier launcher left at the older serial.
    TempFolder secondUser;
    SetEnvironmentVariableW(L"LOCALAPPDATA", secondUser.Path().wstring().c_str());
    const uint64_t olderSerial = 1765400001;
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Aurevia", L"Serie Distribuicao", REG_QWORD, &olderSerial,
                    sizeof(olderSerial));
    ASSERT_NO_FATAL_FAILURE(session.Start());
    WaitForCaption(session.window,
                   [](const std::wstring& c) { return c.find(L"Tempo do update") != std::wstring::npos; });
    session.releases->ServeRollout(older);
    SingleClickAt(session.window, kAdmission);
    EXPECT_EQ(AnswerWarning(),
              L"Atualização recusada: versão mais antiga que a já aceita (série 1765400001, já "
              L"aceita a série 1765400002).\r\nNenhum arquivo foi atualizado.");
    EXPECT_TRUE(WaitUntil([&] { return session.ModuleStarts() == 4; }, 20s))
        << "the installed module did not start";
    session.CloseModule();
    EXPECT_TRUE(session.Holds(release2));
    const std::string secondLog = ReadTextFile(secondUser / L"Aurevia\\Aurevia.log");
    EXPECT_NE(secondLog.find("state-migrated"), std::string::npos) << secondLog;
    EXPECT_NE(secondLog.find("update-refused module=Admission.exe"), std::string::npos) << secondLog;
    EXPECT_NE(secondLog.find("category=replayed"), std::string::npos) << secondLog;
}
