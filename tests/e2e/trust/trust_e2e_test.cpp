// The real Aurevia.EXE with a publisher key in Aurevia.ini, against server folders whose releases were
// tampered with: the user reads one message, nothing of the attacker's lands, and the module that is
// already installed still starts.
#include <gtest/gtest.h>

#include "base/string_convert.h"
#include "e2e/selfsupport/launcher_session.h"
#include "support/test_publisher.h"
#include "update/trust/document_text.h"
#include "update/trust/root_rules.h"
#include "windows/launcher/test_files.h"

using namespace selfsupport_e2e;

namespace {

constexpr POINT kAdmission{265, 181};  // imgInternacao, clear of the busy panel
constexpr int64_t kMonth = 30 * 86400;

// The launcher keeps the highest accepted serial under HKCU\Software\Aurevia; each test starts
// without one and leaves none behind.
class AcceptedSerialReset {
  public:
    AcceptedSerialReset() { Clear(); }
    ~AcceptedSerialReset() { Clear(); }
    AcceptedSerialReset(const AcceptedSerialReset&) = delete;
    AcceptedSerialReset& operator=(const AcceptedSerialReset&) = delete;

  private:
    static void Clear() { RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Aurevia", L"Serie Manifesto"); }
};

struct TrustedSession : LauncherSession {
    AcceptedSerialReset serialReset;
    TestPublisher publisher;
    TempFolder scratch;

    TrustedSession() {
        WritePrivateProfileStringW(L"Seguranca", L"Chave Publica", publisher.PublicKeyText().c_str(),
                                   Local(L"Aurevia.ini").c_str());
        SetEnvironmentVariableW(L"AUREVIA_MODULE_LOG", (scratch / L"modules.log").c_str());
    }
    ~TrustedSession() {
        // A module that has just started may not show its window yet: wait for it, so that no module
        // outlives the test (it would hold ctest's output open).
        if (ModuleStarted())
            WaitUntil([] { return CloseWindowsTitled(L"Admission.exe") > 0; }, 15s);
        else
            CloseWindowsTitled(L"Admission.exe");
        Quit();
    }
    std::wstring ServerFolder() const { return serverFolder.Path().wstring() + L"\\"; }
    void AddServerFile(const std::wstring& AName, const std::string& AContent) const {
        std::filesystem::create_directories(Server(AName).parent_path());
        WriteTextFile(Server(AName), AContent);
    }
    bool ModuleStarted() const {
        return ReadTextFile(scratch / L"modules.log").find("Admission.exe") != std::string::npos;
    }
};

// The one warning an update shows, answered; empty when none came.
std::wstring AnswerWarning(std::chrono::milliseconds ATimeout = 20s) {
    HWND dialog = WaitForDialog(L"Aviso", ATimeout);
    if (!dialog) return {};
    const std::wstring text = MessageText(dialog);
    AnswerAndWaitClosed(dialog);
    return text;
}

// Enough of a signature check to name keys by their id: the launcher under test does the checking.
class KeyIds final : public ISignatureCheck {
  public:
    TSha256 Sha256(std::string_view ABytes) const override { return OneShotSha256(ABytes); }
    bool Verifies(const TPublicPoint&, std::string_view, std::string_view) const override { return false; }
};

}  // namespace

TEST(TrustE2E, ARefusedReleaseIsSaidOnceAndTheInstalledModuleStillStarts) {
    TrustedSession session;
    const std::string installed = ReadTextFile(BuiltDemoModule());
    ASSERT_TRUE(CopyFileW(BuiltDemoModule().c_str(), session.Local(L"Admission.exe").c_str(), FALSE));
    session.AddServerFile(L"Admission.exe", installed + "a module from someone else");
    session.AddServerFile(L"gds32.dll", "client library");
    session.AddServerFile(L"Relatorio\\RptScheduling.rav", "layout");
    // A well-formed release signed with a key that is not the configured one.
    const TestPublisher stranger;
    stranger.PublishFolder(session.ServerFolder(), 7, UnixNowPlus(kMonth));
    ASSERT_NO_FATAL_FAILURE(session.Start());

    // The start-up refresh: one message for the whole release.
    const std::wstring refused =
        L"Atualização recusada: assinatura inválida.\r\nNenhum arquivo foi atualizado.";
    EXPECT_EQ(AnswerWarning(), refused);
    EXPECT_EQ(AnswerWarning(1500ms), L"") << "the refresh says it once";

    SingleClickAt(session.window, kAdmission);
    EXPECT_EQ(AnswerWarning(), refused);
    ASSERT_TRUE(WaitUntil([&] { return session.ModuleStarted(); }, 20s))
        << "the installed module did not start";
    EXPECT_EQ(ReadTextFile(session.Local(L"Admission.exe")), installed);
    EXPECT_FALSE(std::filesystem::exists(session.Local(L"gds32.dll")));
    EXPECT_FALSE(std::filesystem::exists(session.Local(L"Relatorio\\RptScheduling.rav")));
}

TEST(TrustE2E, FilesAlteredAfterSigningAreNamedInOneMessageAndTheRestArrives) {
    TrustedSession session;
    session.AddServerFile(L"gds32.dll", "client library");
    session.AddServerFile(L"central.ini", "[Central]\r\n");
    session.AddServerFile(L"Relatorio\\RptScheduling.rav", "layout");
    session.publisher.PublishFolder(session.ServerFolder(), 7, UnixNowPlus(kMonth));
    session.AddServerFile(L"gds32.dll", "client library, patched by someone");
    session.AddServerFile(L"central.ini", "[Central]\r\nserver=elsewhere\r\n");
    ASSERT_NO_FATAL_FAILURE(session.Start());

    EXPECT_EQ(AnswerWarning(),
              L"Atualização recusada: arquivo alterado: central.ini, gds32.dll.\r\nEsses arquivos não foram "
              L"substituídos.");
    EXPECT_EQ(AnswerWarning(1500ms), L"") << "one message for every altered file";
    EXPECT_EQ(ReadTextFile(session.Local(L"Relatorio\\RptScheduling.rav")), "layout");
    EXPECT_FALSE(std::filesystem::exists(session.Local(L"gds32.dll")));
    EXPECT_FALSE(std::filesystem::exists(session.Local(L"central.ini")));
}

TEST(TrustE2E, ALauncherTamperedWithAfterSigningIsNotSwappedIn) {
    TrustedSession session;
    testfiles::CopyWithFileVersion(BuiltLauncher(), session.Server(L"Aurevia.EXE"), {2022, 2, 8250, 63552});
    session.publisher.PublishFolder(session.ServerFolder(), 7, UnixNowPlus(kMonth));
    std::string tampered = ReadTextFile(session.Server(L"Aurevia.EXE"));
    tampered[tampered.size() / 2] ^= 0x01;
    WriteTextFile(session.Server(L"Aurevia.EXE"), tampered);
    const std::string before = ReadTextFile(session.installation.Exe());
    ASSERT_NO_FATAL_FAILURE(session.Start());

    HWND notice = WaitForDialog(L"Aurevia");
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(MessageText(notice), L"Copia de arquivo falhou! Tente novamente!");
    // The start-up refresh runs inside the notice's modal loop, and a key pressed while it starts
    // can be taken by its message pump instead of the notice: answer once it has completed.
    WaitForCaption(session.window,
                   [](const std::wstring& c) { return c.find(L"Tempo do update") != std::wstring::npos; });
    AnswerAndWaitClosed(notice);
    Sleep(500);
    EXPECT_TRUE(session.process->Running()) << "the old launcher goes on";
    EXPECT_EQ(ReadTextFile(session.installation.Exe()), before);
    EXPECT_FALSE(std::filesystem::exists(session.Local(L"Aurevia.OLD")));
    EXPECT_FALSE(std::filesystem::exists(session.Local(L"Aurevia.NEW")));
}

TEST(TrustE2E, ASupportToolStartsOnlyWhenItIsTheSignedOne) {
    constexpr POINT kSupport1{694 + 19, 648 + 20};
    wchar_t stub[MAX_PATH] = {};
    GetEnvironmentVariableW(L"AUREVIA_E2E_SUPPORT_TOOL", stub, MAX_PATH);
    const std::wstring tool = L"TeamViewerQS_pt.exe";
    for (const bool tampered : {true, false}) {
        TrustedSession session;
        ASSERT_TRUE(CopyFileW(stub, session.Server(tool).c_str(), FALSE));
        session.publisher.PublishFolder(session.ServerFolder(), 7, UnixNowPlus(kMonth));
        if (tampered) {
            std::string bytes = ReadTextFile(session.Server(tool));
            bytes[bytes.size() / 2] ^= 0x01;
            WriteTextFile(session.Server(tool), bytes);
        }
        ASSERT_NO_FATAL_FAILURE(session.Start());
        SingleClickAt(session.window, kSupport1);

        const auto started = session.Local(tool + L".started");
        if (tampered) {
            EXPECT_EQ(AnswerWarning(), L"TeamViewerQS_pt.exe não foi iniciado: arquivo alterado.");
            Sleep(500);
            EXPECT_FALSE(std::filesystem::exists(started));
            // Refused before it was renamed: nothing of it, not even a temporary, is in the folder.
            for (const auto& entry : std::filesystem::directory_iterator(session.installation.Path())) {
                const std::wstring name = entry.path().filename().wstring();
                EXPECT_TRUE(name.find(L"TeamViewer") == std::wstring::npos && name.rfind(L"~aur", 0) != 0)
                    << entry.path().filename().string();
            }
        } else {
            EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(started); }, 15s))
                << "the signed tool did not start";
        }
    }
}

// Anchored to a root that certifies one signing key, the workstation is served a release signed by
// another: the usual message, the installed module starts, and the IT log says which key and which
// root version.
TEST(TrustE2E, UnderARootAReleaseByAKeyItDoesNotCertifyIsRefusedAndTheLogNamesTheKey) {
    TrustedSession session;
    SetEnvironmentVariableW(L"LOCALAPPDATA", session.scratch.Path().wstring().c_str());
    const KeyIds check;
    const TestPublisher rootKeys[2], certified, stranger;
    const auto point = [](const TestPublisher& AKey) {
        return DecodePublisherKey(WideToUtf8(AKey.PublicKeyText()));
    };
    TRootDocument root{"aurevia", 1, UnixNowPlus(kMonth), 0, 0, 2, {}, {}};
    for (const TestPublisher& key : rootKeys)
        root.RootKeys.push_back({KeyIdOf(check, point(key)), point(key)});
    root.SigningKeys.push_back({KeyIdOf(check, point(certified)), point(certified),
                                static_cast<uint8_t>(TKeyRole::Manifest), UnixNowPlus(-kMonth),
                                UnixNowPlus(kMonth)});
    const std::string rootBytes = EncodeRootDocument(root);
    std::vector<TRootSignature> signatures;
    for (const TestPublisher& key : rootKeys)
        signatures.push_back({KeyIdOf(check, point(key)), key.Sign(rootBytes)});
    const std::string installed = ReadTextFile(BuiltDemoModule());
    ASSERT_TRUE(CopyFileW(BuiltDemoModule().c_str(), session.Local(L"Admission.exe").c_str(), FALSE));
    session.AddServerFile(L"Admission.exe", installed + "a module from someone else");
    const std::string strangerId = document_text::HexOf(KeyIdOf(check, point(stranger)));
    TReleaseManifest manifest = TestPublisher::ManifestOf(session.ServerFolder(), 7, UnixNowPlus(kMonth));
    manifest.Key = strangerId;
    manifest.Product = "aurevia";
    stranger.Publish(session.ServerFolder(), manifest);
    // The root after the manifest, which lists every file of the folder.
    session.AddServerFile(L"aurevia-root\\1.json", rootBytes);
    session.AddServerFile(L"aurevia-root\\1.sig", EncodeRootSignatures(signatures));
    WritePrivateProfileStringW(L"Seguranca", L"Raiz",
                               Utf8ToWide(document_text::HexOf(OneShotSha256(rootBytes))).c_str(),
                               session.Local(L"Aurevia.ini").c_str());

    ASSERT_NO_FATAL_FAILURE(session.Start());

    const std::wstring refused = AnswerWarning();
    EXPECT_EQ(refused.rfind(L"Atualização recusada: assinatura inválida (chave " + Utf8ToWide(strangerId), 0),
              0u)
        << std::filesystem::path(refused).string();
    SingleClickAt(session.window, kAdmission);
    AnswerWarning();
    ASSERT_TRUE(WaitUntil([&] { return session.ModuleStarted(); }, 20s))
        << "the installed module did not start";
    EXPECT_EQ(ReadTextFile(session.Local(L"Admission.exe")), installed);
    const std::string log = ReadTextFile(session.scratch / L"Aurevia\\Aurevia.log");
    EXPECT_NE(log.find("update-refused module="), std::string::npos) << log;
    EXPECT_NE(log.find(strangerId + " não certificada (raiz versão 1)"), std::string::npos) << log;
}
