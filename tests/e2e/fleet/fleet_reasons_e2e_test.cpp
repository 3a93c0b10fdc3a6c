// The real Aurevia.EXE failing its update against services that are too slow, untrusted or too big,
// reporting to the real file service started with --reports: the fleet page's table names each
// failure by its reason, however the message reads, and the reports after the service's first
// answer are of the format it named.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/string_convert.h"
#include "file_services.h"
#include "harness.h"
#include "support/scripted_server.h"

using namespace e2e;

namespace {

// A listing above 1 MB fails; an update ends by 4 s.
const wchar_t kLimits[] = L"Lista MB=1\0Prazo Segundos=4\0";
// How long the launcher may take to end once the user quit: what closing waits for by design (the
// fleet sender, the start-up sweep) with room for a loaded machine, far below a request left behind.
constexpr Millis kQuitWait = 8s;

// The body of a GET over a plain connection to 127.0.0.1:APort; empty when there is no answer.
std::string HttpGet(int APort, const std::string& APath) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(APort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        const std::string request = "GET " + APath + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        send(s, request.data(), static_cast<int>(request.size()), 0);
        char buffer[4096];
        for (int n; (n = recv(s, buffer, sizeof(buffer), 0)) > 0;)
            answer.append(buffer, static_cast<size_t>(n));
    }
    closesocket(s);
    const size_t body = answer.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : answer.substr(body + 4);
}

// The rows of a CSV text, each a list of fields ("" quoting undone).
std::vector<std::vector<std::string>> CsvRows(const std::string& AText) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < AText.size(); ++i) {
        const char c = AText[i];
        if (quoted) {
            if (c == '"' && i + 1 < AText.size() && AText[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().push_back(std::move(field));
            field.clear();
        } else if (c == '\n') {
            rows.back().push_back(std::move(field));
            field.clear();
            rows.emplace_back();
        } else if (c != '\r') {
            field += c;
        }
    }
    if (!field.empty() || !rows.back().empty()) rows.back().push_back(std::move(field));
    if (rows.back().empty()) rows.pop_back();
    return rows;
}

// The column AName of the table's one workstation; empty when the table has no such row.
std::string Column(const std::string& ACsv, const std::string& AName) {
    const auto rows = CsvRows(ACsv);
    if (rows.size() != 2) return {};
    for (size_t i = 0; i < rows[0].size() && i < rows[1].size(); ++i)
        if (rows[0][i] == AName) return rows[1][i];
    return {};
}

int PortOf(const std::wstring& AUrl) { return std::stoi(AUrl.substr(AUrl.rfind(L':') + 1)); }

class FleetReasons : public testing::Test {
  protected:
    Installation install;
    TempFolder serverFolder, appData, scratch, fleetFolder, tlsFolder;

    void SetUp() override {
        WSADATA winsock;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &winsock), 0);  // for HttpGet
        SetEnvironmentVariableW(L"LOCALAPPDATA", appData.Path().wstring().c_str());
        SetEnvironmentVariableW(L"AUREVIA_MODULE_LOG", (scratch / L"modules.log").c_str());
    }
    void TearDown() override { WSACleanup(); }

    // One launcher run whose start-up refresh lists AUrl and fails: the error box is answered, and
    // the run ends once the fleet table shows AReason as the workstation's last failure.
    void RunFailingAgainst(const std::wstring& AUrl, int AFleetPort, const std::string& AReason) {
        install.WriteIni(serverFolder.Path().wstring(), AUrl);
        const std::wstring ini = (install / L"Aurevia.ini").wstring();
        ASSERT_TRUE(WritePrivateProfileSectionW(L"Limites", kLimits, ini.c_str()));
        const std::wstring fleetUrl = L"http://127.0.0.1:" + std::to_wstring(AFleetPort);
        ASSERT_TRUE(WritePrivateProfileStringW(L"Frota", L"url", fleetUrl.c_str(), ini.c_str()));

        Process launcher(install.Exe().wstring(), L"", install.Path().wstring());
        const HWND window = WaitForMenuWindow(launcher.Id());
        ASSERT_NE(window, nullptr);
        const HWND box = WaitForDialog(L"Aurevia", 30s);
        ASSERT_NE(box, nullptr) << "the failed listing shows no error box";
        std::printf("%s: %s\n", AReason.c_str(), WideToUtf8(DialogText(box)).c_str());
        AnswerWithEnter(box);
        std::string csv;
        const bool shown = WaitUntil(
            [&] {
                csv = HttpGet(AFleetPort, "/painel/estacoes.csv");
                return Column(csv, "motivo_falha") == AReason;
            },
            30s);
        EXPECT_TRUE(shown) << "the fleet table:\n"
                           << csv << "\nIT log:\n"
                           << ReadTextFile(appData / L"Aurevia\\Aurevia.log");
        EXPECT_EQ(Column(csv, "com_falha"), "sim") << csv;
        // A failed update, however it failed, must not keep the launcher from ending when the user
        // quits (the Process kills one that is still there).
        QuitThroughTrayMenu(window);
        EXPECT_TRUE(launcher.WaitForExit(kQuitWait))
            << "the launcher still runs " << kQuitWait.count() << " ms after the user quit";
    }
};

}  // namespace

TEST_F(FleetReasons, TheFleetTableShowsTimeoutTlsAndTooLarge) {
    ReferenceFileService fleet(fleetFolder.Path().wstring(),
                               "--reports " + LinuxPathOf((scratch / L"reports.db").wstring()));
    if (!fleet.Running()) GTEST_SKIP() << "the reference file service is not built (native tree)";
    const int fleetPort = PortOf(fleet.URL());
    ASSERT_TRUE(
        WaitUntil([&] { return HttpGet(fleetPort, "/painel/estacoes.csv").starts_with("estacao,"); }, 20s))
        << "the fleet page does not answer";

    // A service whose certificate no authority the workstation trusts issued.
    const std::string tls = LinuxPathOf(tlsFolder.Path().wstring());
    ASSERT_TRUE(
        RunLinuxScript("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                       "-subj /CN=localhost -addext subjectAltName=DNS:localhost -keyout " +
                       tls + "/untrusted.key -out " + tls + "/untrusted.pem 2>/dev/null"));
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(tlsFolder / L"untrusted.pem"); }, 10s));
    ReferenceFileService untrusted(
        serverFolder.Path().wstring(),
        "--tls-cert " + tls + "/untrusted.pem --tls-key " + tls + "/untrusted.key");
    ASSERT_TRUE(untrusted.Running());
    ASSERT_NO_FATAL_FAILURE(RunFailingAgainst(untrusted.URL(), fleetPort, "tls"));

    // A listing that announces 300 MB.
    ScriptedServer big;
    big.On("/folderlist", [](SOCKET c, const ReceivedRequest&) {
        ScriptedServer::SendWithoutEnd(c,
                                       "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                       "Content-Length: 314572800\r\nConnection: close\r\n\r\n",
                                       300u << 20);
    });
    ASSERT_NO_FATAL_FAILURE(RunFailingAgainst(big.BaseURL(), fleetPort, "too_large"));

    // A service whose answer's head trickles past the update's deadline (4 s), which ends the listing,
    // and goes on trickling long after the user quit: the request left behind must not hold the exit.
    ScriptedServer slow;
    slow.On("/folderlist", [](SOCKET c, const ReceivedRequest&) {
        ScriptedServer::Send(c, "HTTP/1.1 200 OK\r\nX-Slow: ");
        for (int i = 0; i < 600; ++i) {
            std::this_thread::sleep_for(100ms);
            if (send(c, "x", 1, 0) != 1) return;
        }
    });
    ASSERT_NO_FATAL_FAILURE(RunFailingAgainst(slow.BaseURL(), fleetPort, "timeout"));

    // The service named report format /2 in its first answer: the later runs' reports are /2, and the
    // workstation's history shows their byte counts (a report of /1 shows "—").
    const std::string machine = Column(HttpGet(fleetPort, "/painel/estacoes.csv"), "estacao");
    const std::string page = HttpGet(fleetPort, "/painel?maquina=" + machine);
    EXPECT_NE(page.find("<td class=\"n\">0 / 0</td>"), std::string::npos) << machine << "\n" << page;
}

// The user quits while the start-up listing waits for a head that trickles for a minute, with the
// default limits (the wait for a head is bounded only by the request's timeouts): the launcher ends
// at once, without waiting for the head or retrying, and leaves no error box behind.
TEST_F(FleetReasons, QuittingDuringATricklingListingEndsTheLauncher) {
    ScriptedServer slow;
    slow.On("/folderlist", [](SOCKET c, const ReceivedRequest&) {
        ScriptedServer::Send(c, "HTTP/1.1 200 OK\r\nX-Slow: ");
        for (int i = 0; i < 600; ++i) {
            std::this_thread::sleep_for(100ms);
            if (send(c, "x", 1, 0) != 1) return;
        }
    });
    install.WriteIni(serverFolder.Path().wstring(), slow.BaseURL());

    Process launcher(install.Exe().wstring(), L"", install.Path().wstring());
    const HWND window = WaitForMenuWindow(launcher.Id());
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return !slow.Requests().empty(); }, 30s))
        << "the listing was never asked for";
    // The head has begun to trickle: the listing is waiting for the rest of it.
    std::this_thread::sleep_for(1s);
    QuitThroughTrayMenu(window);
    EXPECT_TRUE(launcher.WaitForExit(kQuitWait))
        << "the launcher still runs " << kQuitWait.count() << " ms after the user quit\nIT log:\n"
        << ReadTextFile(appData / L"Aurevia\\Aurevia.log");
    EXPECT_EQ(slow.Requests().size(), 1u) << "the listing was asked for again after the user quit";
}
