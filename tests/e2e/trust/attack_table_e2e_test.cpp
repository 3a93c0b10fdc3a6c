// The trust root's attack table against the real Aurevia.EXE. attack_servers.py laid out each row's
// server folders in order (the publisher wrote what it writes; what it refuses was forged and signed
// with the same test keys). A fresh installation anchored to the row's root meets step 0 at its
// start-up refresh, then each later step at a click on its module. At every attack: the user reads
// the refusal, the installed module still starts, nothing of the attack lands, and the IT log's
// update-refused line names the reason (key id, root version).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

#include "base/string_convert.h"
#include "e2e/selfsupport/launcher_session.h"

using namespace selfsupport_e2e;

namespace {

constexpr POINT kAdmission{265, 181};  // imgInternacao, clear of the busy panel

std::filesystem::path AttackServers() {
    wchar_t path[MAX_PATH] = {};
    GetEnvironmentVariableW(L"AUREVIA_E2E_ATTACK_SERVERS", path, MAX_PATH);
    return path;
}

// "{s1}" and the like replaced by that test key's id.
std::string WithKeyIds(std::string AText) {
    for (size_t open; (open = AText.find('{')) != std::string::npos;) {
        const size_t close = AText.find('}', open);
        const std::wstring name = Utf8ToWide(AText.substr(open + 1, close - open - 1));
        AText.replace(open, close - open + 1, ReadTextFile(AttackServers() / L"keys" / (name + L".id")));
    }
    return AText;
}

// A click at a step of the row: refused with these words in the update-refused line, or (no words)
// the step's release taken.
struct Click {
    int step;
    std::vector<std::string> refusal;
};

struct Row {
    const char* folder;
    std::vector<Click> clicks;
    // Step 0 is the attack already: the start-up refresh refuses it too (nothing was accepted before).
    bool attackAtStart = false;
    // The anchor comes from machine policy; Aurevia.ini names the thief's key and no Raiz.
    bool policyAnchor = false;
    // Words the installation's state file holds after the row.
    std::vector<std::string> state = {};
    const char* skip = nullptr;
    // Before the clicks the launcher ends and starts again for another Windows user, who never ran
    // it: a log of their own and nothing under their HKCU.
    bool secondUser = false;
};

void PrintTo(const Row& ARow, std::ostream* AOut) { *AOut << ARow.folder; }

// The HKLM policy value Seguranca\Raiz, removed again however the row ends.
class PolicyAnchor {
  public:
    explicit PolicyAnchor(const std::wstring& ARaiz) {
        FSet = RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"Raiz", REG_SZ, ARaiz.c_str(),
                               static_cast<DWORD>((ARaiz.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    ~PolicyAnchor() {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"Raiz");
        // Only emptied keys go: a policy set by someone else stays.
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Policies\\Aurevia");
    }
    PolicyAnchor(const PolicyAnchor&) = delete;
    PolicyAnchor& operator=(const PolicyAnchor&) = delete;
    bool Set() const { return FSet; }

  private:
    static constexpr const wchar_t* kKey = L"Software\\Policies\\Aurevia\\Seguranca";
    bool FSet = false;
};

// One row: an installation holding the module, whose server folder is the row's "served" folder;
// each step's folder is renamed into that place in turn, and put back at the end.
struct AttackSession : LauncherSession {
    std::filesystem::path rowFolder;
    std::optional<int> served;
    TempFolder scratch;
    std::optional<TempFolder> otherUser;
    std::string installed;

    explicit AttackSession(const std::string& AFolder) : rowFolder(AttackServers() / Utf8ToWide(AFolder)) {
        ClearUserSerials();
        installation.WriteIni((rowFolder / L"served").wstring() + L"\\");
        installed = ReadTextFile(BuiltDemoModule());
        CopyFileW(BuiltDemoModule().c_str(), Local(L"Admission.exe").c_str(), FALSE);
        SetEnvironmentVariableW(L"AUREVIA_MODULE_LOG", (scratch / L"modules.log").c_str());
        SetEnvironmentVariableW(L"LOCALAPPDATA", scratch.Path().wstring().c_str());
    }
    ~AttackSession() {
        CloseWindowsTitled(L"Admission.exe");
        Quit();
        if (served) MoveFileW((rowFolder / L"served").c_str(), Step(*served).c_str());
        ClearUserSerials();
    }
    static void ClearUserSerials() {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Aurevia", L"Serie Manifesto");
        RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Aurevia", L"Serie Distribuicao");
    }
    void SetSecurity(const wchar_t* AName, const std::wstring& AValue) const {
        WritePrivateProfileStringW(L"Seguranca", AName, AValue.c_str(), Local(L"Aurevia.ini").c_str());
    }
    std::filesystem::path Step(int AStep) const { return rowFolder / std::to_wstring(AStep); }
    void Serve(int AStep) {
        const auto place = rowFolder / L"served";
        if (served) {
            ASSERT_TRUE(MoveFileW(place.c_str(), Step(*served).c_str())) << GetLastError();
        }
        served.reset();
        ASSERT_TRUE(MoveFileW(Step(AStep).c_str(), place.c_str())) << GetLastError();
        served = AStep;
    }
    size_t ModuleStarts() const {
        const std::string log = ReadTextFile(scratch / L"modules.log");
        return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
    }
    // The IT log of the Windows user the launcher runs for.
    std::string Log() const {
        return ReadTextFile((otherUser ? *otherUser : scratch) / L"Aurevia\\Aurevia.log");
    }
    void StartAsAnotherUser() {
        Quit();
        otherUser.emplace();
        SetEnvironmentVariableW(L"LOCALAPPDATA", otherUser->Path().wstring().c_str());
        ClearUserSerials();
        Start();
    }
    // The IT log's last update-refused line of the module.
    std::string LastRefusal() const {
        std::istringstream lines(Log());
        std::string line, last;
        while (std::getline(lines, line))
            if (line.find("update-refused module=Admission.exe") != std::string::npos) last = line;
        return last;
    }
    void CloseModule() const {
        EXPECT_TRUE(CloseProgramTitled(L"Admission.exe")) << "the module did not end";
    }
};

std::wstring AnswerWarning(std::chrono::milliseconds ATimeout) {
    HWND dialog = WaitForDialog(L"Aviso", ATimeout);
    if (!dialog) return {};
    const std::wstring text = MessageText(dialog);
    AnswerAndWaitClosed(dialog);
    return text;
}

std::string Narrow(const std::wstring& AText) { return WideToUtf8(AText); }

class AttackTable : public ::testing::TestWithParam<Row> {};

TEST_P(AttackTable, RefusedWithItsReasonAndTheInstalledModuleStillStarts) {
    const Row& row = GetParam();
    if (row.skip) GTEST_SKIP() << row.skip;
    ASSERT_FALSE(AttackServers().empty()) << "AUREVIA_E2E_ATTACK_SERVERS is not set";
    AttackSession session(row.folder);
    const std::wstring raiz = Utf8ToWide(ReadTextFile(session.rowFolder / L"raiz"));
    ASSERT_EQ(raiz.size(), 64u) << "the row's server folders were not laid out (attack_servers.py)";
    std::optional<PolicyAnchor> policy;
    if (row.policyAnchor) {
        policy.emplace(raiz);
        ASSERT_TRUE(policy->Set());
        session.SetSecurity(L"Chave Publica",
                            Utf8ToWide(ReadTextFile(AttackServers() / L"keys\\x\\publisher-key.pub")));
    } else {
        session.SetSecurity(L"Raiz", raiz);
    }
    ASSERT_NO_FATAL_FAILURE(session.Serve(0));
    ASSERT_NO_FATAL_FAILURE(session.Start());
    WaitForCaption(session.window,
                   [](const std::wstring& c) { return c.find(L"Tempo do update") != std::wstring::npos; });
    const std::wstring atStart = AnswerWarning(row.attackAtStart ? 20s : 1s);
    EXPECT_EQ(atStart.empty(), !row.attackAtStart) << Narrow(atStart) << "\n" << session.Log();
    if (row.secondUser) {
        ASSERT_NO_FATAL_FAILURE(session.StartAsAnotherUser());
        WaitForCaption(session.window, [](const std::wstring& c) {
            return c.find(L"Tempo do update") != std::wstring::npos;
        });
        EXPECT_EQ(AnswerWarning(1s), L"");
    }

    const std::string attacked = session.installed + "\r\nattack";
    for (const Click& click : row.clicks) {
        SCOPED_TRACE("step " + std::to_string(click.step));
        ASSERT_NO_FATAL_FAILURE(session.Serve(click.step));
        const size_t starts = session.ModuleStarts();
        SingleClickAt(session.window, kAdmission);
        const std::wstring warning = AnswerWarning(click.refusal.empty() ? 3s : 30s);
        ASSERT_TRUE(WaitUntil([&] { return session.ModuleStarts() > starts; }, 30s))
            << "the installed module did not start";
        session.CloseModule();
        if (click.refusal.empty()) {
            EXPECT_EQ(warning, L"");
            EXPECT_EQ(ReadTextFile(session.Local(L"Admission.exe")), attacked) << "the release was not taken";
            EXPECT_EQ(ReadTextFile(session.Local(L"gds32.dll")), "attack library");
            continue;
        }
        EXPECT_EQ(warning.rfind(L"Atualização recusada", 0), 0u) << Narrow(warning);
        EXPECT_TRUE(ReadTextFile(session.Local(L"Admission.exe")) == session.installed)
            << "the attack's module was installed";
        EXPECT_FALSE(std::filesystem::exists(session.Local(L"gds32.dll")))
            << "the attack's file was installed";
        const std::string refusal = session.LastRefusal();
        std::printf("%s step %d: %s\n", row.folder, click.step, refusal.c_str());
        for (const std::string& words : click.refusal)
            EXPECT_NE(refusal.find(WithKeyIds(words)), std::string::npos)
                << "\"" << refusal << "\" lacks \"" << WithKeyIds(words) << "\"\n"
                << session.Log();
    }
    const std::string state = ReadTextFile(session.Local(L"aurevia-state.json"));
    for (const std::string& words : row.state) EXPECT_NE(state.find(words), std::string::npos) << state;
    if (row.policyAnchor) {
        EXPECT_NE(session.Log().find("policy=Seguranca\\Raiz"), std::string::npos) << session.Log();
    }
}

// Words a refusal names: the signing key's id and the root version, or the root's own refusal.
const Row kRows[] = {
    {"01-unlisted-key", {{1, {"chave {x} não certificada (raiz versão 1)", "category=signature"}}}},
    {"02-key-past-not-after", {{1, {"chave {s2}", "key past its not_after (raiz versão 2)"}}}},
    {"03-revoked-key", {{1, {"chave {s1} não certificada (raiz versão 2)"}}}},
    {"04-root-only-new-keys", {{1, {"raiz: root not signed by the previous root keys"}}}},
    {"05-root-only-old-keys", {{1, {"raiz: root not signed by its own root keys"}}}},
    {"06-repeated-signature", {{1, {"raiz: root not signed by the previous root keys"}}}},
    {"07-replayed-root", {{1, {"raiz: root version replayed"}}}},
    {"08-skipped-version", {{1, {"raiz: root version skipped"}}}},
    {"09-manifest-key-signs-rollout",
     {{1, {"chave {s2}", "key not certified for this role (raiz versão 1)"}}}},
    // The thief's serial 2^62 was accepted at the start; the honest serial is frozen out until root 2
    // revokes the key and moves the epoch, then the honest release is taken.
    {"10-stolen-serial-new-epoch",
     {{1, {"já aceita a série 4611686018427387904", "category=replayed"}}, {2, {}}}},
    {"11-endless-chain",
     {{1, {"raiz: root chain too long"}}, {2, {"raiz: aurevia-root/2.json: larger than 65536 bytes"}}}},
    {"12-expired-root", {{1, {"raiz: root expired", "category=expired"}}}},
    {"13-offline-three-versions",
     {{1, {"chave {s1} não certificada (raiz versão 4)"}}},
     false,
     false,
     {"\"root\":{\"serial\":4,"}},
    {"14-policy-wins", {{0, {"chave {x} não certificada (raiz versão 1)"}}}, true, true},
    {"15-second-user",
     {{1, {"versão mais antiga que a já aceita", "category=replayed"}}},
     false,
     false,
     {},
     nullptr,
     true},
    {"16-other-product", {{1, {"aurevia-teste", "a raiz é de", "(raiz versão 1)"}}}},
    {"17-deployment-copy",
     {{1, {"implantação", "homologacao", "(raiz versão 1)"}}},
     false,
     false,
     {},
     nullptr},
    {"18-same-serial", {{1, {"category=replayed"}}}},
    {"19-dated-1500", {{1, {"lies outside 1601"}}}},
};

INSTANTIATE_TEST_SUITE_P(TrustRoot, AttackTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& AInfo) {
                             std::string name = AInfo.param.folder;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return "row" + name;
                         });

}  // namespace
