// The remote-support tiles and the mail tile of the real launcher, clicked as a user clicks them.
#include <gtest/gtest.h>

#include "launcher_session.h"
#include "windows/launcher/test_files.h"

using namespace selfsupport_e2e;

namespace {

constexpr POINT kSupport1{694 + 19, 648 + 20};
constexpr POINT kSupport2{815 + 24, 646 + 22};
constexpr POINT kEmail{928 + 23, 636 + 18};

std::filesystem::path FromEnv(const wchar_t* AName) {
    wchar_t value[MAX_PATH] = {};
    GetEnvironmentVariableW(AName, value, MAX_PATH);
    return value;
}
std::filesystem::path StubTool() { return FromEnv(L"AUREVIA_E2E_SUPPORT_TOOL"); }
std::filesystem::path TestMapi() { return FromEnv(L"AUREVIA_E2E_TEST_MAPI"); }

constexpr wchar_t kMapiKey[] = L"SOFTWARE\\Microsoft\\Windows Messaging Subsystem";

// Sets HKLM's "MAPI" value for the test and puts "1" back afterwards (the prefix's own setting).
class MapiInstalledValue {
  public:
    explicit MapiInstalledValue(const wchar_t* AValue) { Set(AValue); }
    ~MapiInstalledValue() { Set(L"1"); }
    MapiInstalledValue(const MapiInstalledValue&) = delete;
    MapiInstalledValue& operator=(const MapiInstalledValue&) = delete;

  private:
    static void Set(const wchar_t* AValue) {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kMapiKey, L"MAPI", REG_SZ, AValue,
                        static_cast<DWORD>((wcslen(AValue) + 1) * sizeof(wchar_t)));
    }
};

}  // namespace

TEST(SupportToolsE2E, AStaleLocalToolIsReplacedByTheServersAndStarted) {
    LauncherSession session;
    const std::wstring tool = L"TeamViewerQS_pt.exe";
    std::filesystem::copy_file(StubTool(), session.Server(tool));
    WriteTextFile(session.Local(tool), "an older tool");
    testfiles::ShiftLastWriteTime(session.Local(tool), -3600);
    ASSERT_NO_FATAL_FAILURE(session.Start());

    SingleClickAt(session.window, kSupport1);

    const auto started = session.Local(tool + L".started");
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(started); }, 15s)) << "the tool did not start";
    EXPECT_EQ(ReadTextFile(session.Local(tool)), ReadTextFile(session.Server(tool)));
    session.Quit();
}

TEST(SupportToolsE2E, FromAnotherCurrentDirectoryTheToolIsCopiedThereButStartedOnlyFromTheLaunchersFolder) {
    LauncherSession session;
    TempFolder elsewhere;
    const std::wstring tool = L"Supremo.exe";
    std::filesystem::copy_file(StubTool(), session.Server(tool));
    ASSERT_NO_FATAL_FAILURE(session.Start(elsewhere.Path().wstring()));

    SingleClickAt(session.window, kSupport2);

    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(elsewhere / tool); }, 15s));
    Sleep(1000);
    EXPECT_FALSE(std::filesystem::exists(elsewhere / (tool + L".started")));
    EXPECT_FALSE(std::filesystem::exists(session.Local(tool)));

    // With a copy in the launcher's own folder, that one is started.
    std::filesystem::copy_file(StubTool(), session.Local(tool));
    SingleClickAt(session.window, kSupport2);
    EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(session.Local(tool + L".started")); }, 15s));
    session.Quit();
}

TEST(SupportMailE2E, EachMailResultShowsItsTextAndSuccessShowsNothing) {
    LauncherSession session;
    std::filesystem::copy_file(TestMapi(), session.Local(L"MAPI32.DLL"));
    const auto record = session.installation / L"mapi-call.txt";
    const auto resultFile = session.installation / L"mapi-result.txt";
    testfiles::EnvScope recordEnv(L"AUREVIA_TEST_MAPI_RECORD", record.wstring());
    testfiles::EnvScope resultEnv(L"AUREVIA_TEST_MAPI_RESULT", L"@" + resultFile.wstring());
    ASSERT_NO_FATAL_FAILURE(session.Start());

    struct Case {
        const char* result;
        const wchar_t* text;
    };
    const Case cases[] = {
        {"1", L"The user canceled one of the dialog boxes; no message was sent."},
        {"14", L"A recipient did not appear in the address list; no message was sent."},
        {"4", L""},
        {"26", L""},
    };
    for (const auto& c : cases) {
        WriteTextFile(resultFile, c.result);
        std::filesystem::remove(record);
        SingleClickAt(session.window, kEmail);
        HWND dialog = WaitForDialog(L"Falha");
        ASSERT_NE(dialog, nullptr) << "result " << c.result;
        EXPECT_EQ(MessageText(dialog), c.text) << "result " << c.result;
        EXPECT_TRUE(std::filesystem::exists(record));
        AnswerAndWaitClosed(dialog);
    }

    WriteTextFile(resultFile, "0");
    SingleClickAt(session.window, kEmail);
    EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(record); }, 10s));
    EXPECT_EQ(WaitForDialog(L"Falha", 1500ms), nullptr);
    EXPECT_NE(ReadTextFile(record).find("recip.name=suporte@example.com\n"), std::string::npos);
    session.Quit();
}

TEST(SupportMailE2E, WithoutSimpleMapiTheMailIsAbandonedWithoutAMailWindow) {
    MapiInstalledValue notInstalled(L"0");
    LauncherSession session;
    std::filesystem::copy_file(TestMapi(), session.Local(L"MAPI32.DLL"));
    const auto record = session.installation / L"mapi-call.txt";
    testfiles::EnvScope recordEnv(L"AUREVIA_TEST_MAPI_RECORD", record.wstring());
    ASSERT_NO_FATAL_FAILURE(session.Start());

    SingleClickAt(session.window, kEmail);
    HWND dialog = WaitForDialog(L"Falha");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(MessageText(dialog), L"The user canceled one of the dialog boxes; no message was sent.");
    EXPECT_FALSE(std::filesystem::exists(record)) << "the mail library must not be called";
    AnswerAndWaitClosed(dialog);
    session.Quit();
}
