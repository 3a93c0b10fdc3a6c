// The real Aurevia.EXE with [Rede] Proxy set in Aurevia.ini: the start-up refresh and the fleet
// report go through squid; a proxy that wants a password stops the refresh, which the log says
// naming the proxy, and nothing is written to the program folder.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

#include "base/string_convert.h"
#include "file_services.h"
#include "harness.h"

using namespace e2e;

namespace {

const std::wregex kElapsedCaption(L"^Aurevia Tempo do update : .*$");

std::string PortOf(const std::filesystem::path& AState, const char* AName) {
    std::string port;
    std::ifstream(AState / (std::string(AName) + ".port")) >> port;
    return port;
}

// Whether `part` shows in the file within ATimeout.
bool Shows(const std::filesystem::path& AFile, const std::string& APart, Millis ATimeout = 15s) {
    return WaitUntil([&] { return ReadTextFile(AFile).find(APart) != std::string::npos; }, ATimeout);
}

class LauncherProxy : public testing::Test {
  protected:
    Installation install;
    TempFolder appData;
    std::filesystem::path state;
    std::unique_ptr<Process> launcher;
    HWND window = nullptr;

    void SetUp() override {
        const char* linuxState = std::getenv("AUREVIA_TEST_PROXIES_STATE");
        ASSERT_NE(linuxState, nullptr) << "run through ctest: the proxies are a ctest fixture";
        state = std::filesystem::path(L"Z:" + Utf8ToWide(linuxState)).make_preferred();
        ASSERT_FALSE(PortOf(state, "squid").empty());
        SetEnvironmentVariableW(L"LOCALAPPDATA", appData.Path().wstring().c_str());
    }
    void TearDown() override {
        if (launcher && launcher->Running() && window) {
            QuitThroughTrayMenu(window);
            launcher->WaitForExit(10s);
        }
    }
    void Configure(const std::wstring& AServiceUrl, const std::string& AProxy,
                   const std::wstring& AFleetUrl = L"") {
        install.WriteIni(L"", AServiceUrl);
        const std::wstring ini = (install / L"Aurevia.ini").wstring();
        WritePrivateProfileStringW(L"Rede", L"Proxy", Utf8ToWide(AProxy).c_str(), ini.c_str());
        if (!AFleetUrl.empty()) WritePrivateProfileStringW(L"Frota", L"url", AFleetUrl.c_str(), ini.c_str());
    }
    void Start() {
        launcher = std::make_unique<Process>(install.Exe().wstring(), L"", install.Path().wstring());
        window = WaitForMenuWindow(launcher->Id());
        ASSERT_NE(window, nullptr);
    }
    std::filesystem::path Log() const { return appData / L"Aurevia\\Aurevia.log"; }
};

TEST_F(LauncherProxy, TheStartUpRefreshAndTheFleetReportGoThroughTheProxyInTheSettings) {
    ScriptedFileService service({{"central.ini", "[Central]\r\n", "2024-03-01T08:00:00.000"}}, Millis(0));
    const std::string origin = "127.0.0.2:" + PortOf(state, "origin");
    Configure(service.URL(), "127.0.0.3:" + PortOf(state, "squid"),
              Utf8ToWide("http://" + origin + "/e2e-fleet"));
    Start();
    const std::wstring refreshed = WaitForCaption(
        window, [](const std::wstring& c) { return std::regex_match(c, kElapsedCaption); }, 60s);
    EXPECT_TRUE(std::regex_match(refreshed, kElapsedCaption)) << WideToUtf8(refreshed);
    EXPECT_EQ(ReadTextFile(install / L"central.ini"), "[Central]\r\n");
    std::string servicePort = WideToUtf8(service.URL());
    servicePort = servicePort.substr(servicePort.rfind(':') + 1);
    while (!servicePort.empty() && servicePort.back() == '/') servicePort.pop_back();
    EXPECT_TRUE(Shows(state / L"access.log", ":" + servicePort + "/folderlist"))
        << "the listing bypassed squid";
    // squid logs a URL without its query.
    EXPECT_TRUE(Shows(state / L"access.log", ":" + servicePort + "/download?")) << "the fetch bypassed squid";
    EXPECT_TRUE(Shows(state / L"access.log", "POST http://" + origin + "/e2e-fleet/report", 30s))
        << "the fleet report bypassed squid";
}

TEST_F(LauncherProxy, AProxyThatWantsAPasswordStopsTheRefreshAndTheLogNamesIt) {
    ScriptedFileService service({{"central.ini", "[Central]\r\n", "2024-03-01T08:00:00.000"}}, Millis(0));
    const std::string basic = "127.0.0.2:" + PortOf(state, "basic");
    Configure(service.URL(), basic);
    Start();
    EXPECT_TRUE(Shows(Log(), "code=http:407", 60s)) << ReadTextFile(Log());
    const std::string log = ReadTextFile(Log());
    EXPECT_NE(log.find("O proxy " + basic + " exige"), std::string::npos) << log;
    EXPECT_TRUE(service.Requests().empty()) << "the service was reached past the proxy";
    EXPECT_FALSE(std::filesystem::exists(install / L"central.ini"));
    // A failed refresh may hold an error box: the process is ended rather than quit.
    window = nullptr;
}

}  // namespace
