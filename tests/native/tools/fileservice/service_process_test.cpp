// The service as a program: its command line, its request log, its stop on SIGTERM, its HTTP
// validators and ranges over the wire, its behaviour under overload and slow clients, and TLS.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "native/tools/fileservice/raw_client.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string Get(const std::string& target) { return "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n"; }

class ServiceProcess : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/fileservice-process-XXXXXX";
        dir_ = mkdtemp(pattern);
        fs::create_directories(dir_ / "served");
        std::ofstream(dir_ / "served" / "a.txt") << "abc";
        std::ofstream(dir_ / "served" / "empty.txt");
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        fs::remove_all(dir_);
    }

    // Starts the service on a free port with its output in a log file; returns the port.
    int Start(std::vector<std::string> extra = {}) {
        const std::string folder = (dir_ / "served").string(), portFile = (dir_ / "port").string(),
                          log = (dir_ / "log").string();
        std::vector<std::string> arguments = {AUREVIA_FILESERVICE, "--folder", folder, "--port", "0",
                                              "--port-file",       portFile};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : arguments) argv.push_back(a.data());
        fs::remove(portFile);  // a test may start the service a second time
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            freopen(log.c_str(), "w", stdout);
            // As an ordinary user, for whom permissions count as they do for the packaged service.
            if (asUser_ && getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
            execv(AUREVIA_FILESERVICE, argv.data());
            _exit(127);
        }
        for (int i = 0; i < 500 && !fs::exists(portFile); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        int port = 0;
        std::ifstream(portFile) >> port;
        return port;
    }

    static int ExitCodeOf(const std::string& arguments, std::string* output = nullptr) {
        FILE* pipe = popen((std::string(AUREVIA_FILESERVICE) + " " + arguments + " 2>&1").c_str(), "r");
        std::string text;
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe)) text += buffer;
        const int status = pclose(pipe);
        if (output) *output = text;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Log() const {
        std::ifstream in(dir_ / "log");
        return {std::istreambuf_iterator<char>(in), {}};
    }

    fs::path dir_;
    pid_t pid_ = -1;
    bool asUser_ = false;
};

TEST_F(ServiceProcess, ServesLogsEachRequestAndStopsCleanlyOnSigterm) {
    const int port = Start();
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    auto answer = client.Get("/download?file=a.txt");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->body, "abc");
    // An empty file still says where its body ends, or a kept-alive client waits for more.
    answer = client.Get("/download?file=empty.txt");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->get_header_value("Content-Length"), "0");
    answer = client.Get("/download?file=..%5Cport");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 403);

    kill(pid_, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid_, &status, 0), pid_);
    pid_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string log = Log();
    EXPECT_NE(log.find("\"GET /download?file=a.txt HTTP/1.1\" 200 3 "), std::string::npos) << log;
    EXPECT_NE(log.find("\"GET /download?file=..%5Cport HTTP/1.1\" 403 "), std::string::npos) << log;
}

TEST_F(ServiceProcess, RefusesToStartWithoutItsFolderOrPort) {
    std::string output;
    EXPECT_EQ(ExitCodeOf("--folder " + (dir_ / "missing").string(), &output), 1);
    EXPECT_NE(output.find("folder not found"), std::string::npos) << output;

    const int port = Start();
    ASSERT_GT(port, 0);
    EXPECT_EQ(
        ExitCodeOf("--folder " + (dir_ / "served").string() + " --port " + std::to_string(port), &output), 1);
    EXPECT_NE(output.find("port in use"), std::string::npos) << output;

    EXPECT_EQ(ExitCodeOf("", &output), 2);
    EXPECT_EQ(ExitCodeOf("--help", &output), 0);
    EXPECT_NE(output.find("--folder DIR"), std::string::npos);
}

TEST_F(ServiceProcess, AnswersConditionalRangeAndCompressedRequestsWithValidators) {
    std::string content(100000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
    std::ofstream(dir_ / "served" / "Modulo.exe", std::ios::binary) << content;
    const int port = Start({"--settle-ms", "0"});
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);

    auto whole = client.Get("/download?file=Modulo.exe");
    ASSERT_TRUE(whole);
    const std::string tag = whole->get_header_value("ETag");
    ASSERT_FALSE(tag.empty());
    EXPECT_EQ(whole->get_header_value("Accept-Ranges"), "bytes");
    EXPECT_FALSE(whole->get_header_value("Last-Modified").empty());
    EXPECT_EQ(whole->get_header_value("Cache-Control"), "public, no-cache");

    struct Case {
        httplib::Headers headers;
        int status;
        std::string body, contentRange;
    } cases[] = {
        {{{"If-None-Match", tag}}, 304, "", ""},
        {{{"If-Modified-Since", whole->get_header_value("Last-Modified")}}, 304, "", ""},
        {{{"Range", "bytes=99990-"}}, 206, content.substr(99990), "bytes 99990-99999/100000"},
        {{{"Range", "bytes=10-19"}, {"If-Range", tag}}, 206, content.substr(10, 10), "bytes 10-19/100000"},
        {{{"Range", "bytes=10-19"}, {"If-Range", "\"changed\""}}, 200, content, ""},
        {{{"Range", "bytes=100000-"}}, 416, "", "bytes */100000"},
    };
    for (const auto& c : cases) {
        auto answer = client.Get("/download?file=Modulo.exe", c.headers);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, c.status) << c.headers.begin()->second;
        if (c.status != 416) EXPECT_EQ(answer->body, c.body) << c.headers.begin()->second;
        EXPECT_EQ(answer->get_header_value("Content-Range"), c.contentRange);
    }

    // Listings: plain unless asked (the launcher never asks), gzip when asked, 304 on a repeat.
    const std::string list = "/folderlist?folder=%5C&mask=*.*&recursive=";
    auto plain = client.Get(list);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->has_header("Content-Encoding"));
    EXPECT_EQ(plain->get_header_value("Cache-Control"), "no-cache");
    EXPECT_NE(plain->body.find("Modulo.exe"), std::string::npos);
    auto compressed = client.Get(list, {{"Accept-Encoding", "gzip"}});  // decoded by the client
    ASSERT_TRUE(compressed);
    EXPECT_EQ(compressed->get_header_value("Content-Encoding"), "gzip");
    EXPECT_EQ(compressed->body, plain->body);
    auto again = client.Get(list, {{"If-None-Match", plain->get_header_value("ETag")}});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 304);

    auto health = client.Get("/healthz");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    EXPECT_NE(health->body.find("\"Status\":\"ok\""), std::string::npos) << health->body;
}

TEST_F(ServiceProcess, IdleAndStalledConnectionsHoldNoThreadAndThoseBeyondTheLimitAreRefusedAtOnce) {
    std::ofstream(dir_ / "served" / "big.bin", std::ios::binary) << std::string(64 << 20, 'x');
    const int port =
        Start({"--threads", "1", "--max-connections", "4", "--retry-after", "7", "--read-timeout", "60"});
    ASSERT_GT(port, 0);

    // A client that asks for a big file and reads nothing, a silent connection and a kept-alive one
    // after its answer: the one thread still answers the fourth connection.
    auto stalled = std::make_unique<RawClient>(port);
    stalled->Send(Get("/download?file=big.bin"));
    auto idle = std::make_unique<RawClient>(port);
    auto kept = std::make_unique<RawClient>(port);
    kept->Send(Get("/healthz"));
    EXPECT_NE(kept->ReadSome().find("200 OK"), std::string::npos);
    std::this_thread::sleep_for(300ms);
    auto fourth = std::make_unique<RawClient>(port);
    fourth->Send(Get("/download?file=a.txt"));
    EXPECT_NE(fourth->ReadSome().find("200 OK"), std::string::npos)
        << "a stalled or idle connection held the thread";

    // The fifth connection is one of the few beyond the limit: its request is told to come back.
    // A sixth is closed as soon as it arrives, not left waiting in the backlog.
    RawClient fifth(port);
    std::this_thread::sleep_for(200ms);
    const auto before = std::chrono::steady_clock::now();
    RawClient sixth(port);
    EXPECT_TRUE(sixth.ClosedByServer()) << Log();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    fifth.Send(Get("/download?file=a.txt"));
    const std::string busy = fifth.ReadToEnd();
    EXPECT_TRUE(busy.starts_with("HTTP/1.1 503 ")) << busy;
    EXPECT_NE(busy.find("Retry-After: 7\r\n"), std::string::npos) << busy;
    EXPECT_NE(busy.find("\"Status\":503"), std::string::npos) << busy;

    // Once connections go, new ones are served again.
    idle.reset();
    fourth.reset();
    std::this_thread::sleep_for(300ms);
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5, 0);
    auto answer = client.Get("/download?file=a.txt");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);

    // A stop does not wait for a stalled client's write timeout (30 s by default).
    kill(pid_, SIGTERM);
    int status = -1;
    for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "still running 10 s after SIGTERM";
    if (WIFEXITED(status)) pid_ = -1;
    EXPECT_NE(Log().find("\"- - -\" 503 "), std::string::npos) << Log();
}

TEST_F(ServiceProcess, HealthAnswers503WithTheReasonWhileAWalkFailsAndListsWarnings) {
    fs::create_directories(dir_ / "served" / "Relatorio" / "Sub");
    std::ofstream(dir_ / "served" / "Relatorio" / "Sub" / "r.rav") << "r";
    std::ofstream(dir_ / "served" / "central.ini") << "a";
    std::ofstream(dir_ / "served" / "CENTRAL.INI") << "b";
    // The service's user must reach the folder and write its port file.
    fs::permissions(dir_, fs::perms::all);
    asUser_ = true;
    const int port = Start({"--settle-ms", "0"});
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    const auto health = [&] {
        auto answer = client.Get("/healthz");
        return answer ? std::to_string(answer->status) + " " + answer->body : std::string("no answer");
    };
    std::string seen = health();
    EXPECT_TRUE(seen.starts_with("200 {\"Status\":\"ok\"")) << seen;
    EXPECT_EQ(seen.find("\"Warnings\":[]"), std::string::npos)
        << "no warning for the names equal but for case";

    fs::permissions(dir_ / "served" / "Relatorio" / "Sub", fs::perms::none);
    std::ofstream(dir_ / "served" / "new.txt") << "a change, so that the folder is walked again";
    for (int i = 0; i < 100 && !seen.starts_with("503 "); ++i) {
        std::this_thread::sleep_for(100ms);
        client.Get("/folderlist?folder=%5C&mask=*.*&recursive=");
        seen = health();
    }
    EXPECT_TRUE(seen.starts_with("503 {\"Status\":\"walk failing\",\"Reason\":\"")) << seen;
    EXPECT_NE(seen.find("\"FailingSince\":"), std::string::npos) << seen;
    auto listing = client.Get("/folderlist?folder=%5C&mask=*.*&recursive=");
    ASSERT_TRUE(listing);
    EXPECT_NE(listing->body.find("r.rav"), std::string::npos) << "the last good listing left service";

    fs::permissions(dir_ / "served" / "Relatorio" / "Sub",
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    for (int i = 0; i < 100 && !seen.starts_with("200 "); ++i) {
        std::this_thread::sleep_for(100ms);
        client.Get("/folderlist?folder=%5C&mask=*.*&recursive=");
        seen = health();
    }
    EXPECT_TRUE(seen.starts_with("200 {\"Status\":\"ok\"")) << seen;
}

// Sends the start of a request head, then one more header line after each pause, until the server
// closes the connection or `lines` have gone; true when the server closed it.
bool CutWhileSendingAHead(int port, int lines, std::chrono::milliseconds pause, size_t lineSize) {
    RawClient client(port);
    if (!client.Connected()) return false;
    client.Send("GET /healthz HTTP/1.1\r\n");
    std::atomic<bool> closed{false};
    std::thread sender([&] {
        for (int i = 0; i < lines && !closed; ++i) {
            std::this_thread::sleep_for(pause);
            client.Send("X-More: " + std::string(lineSize, 'y') + "\r\n");
        }
    });
    const bool cut = client.ClosedByServer();
    closed = true;
    sender.join();
    return cut;
}

TEST_F(ServiceProcess, RequestHeadsThatNeverEndAreCutAndTheServiceStaysUp) {
    // Trickling: one short line every 200 ms keeps each read short of the timeout, never the head.
    int port = Start({"--threads", "1", "--read-timeout", "1"});
    ASSERT_GT(port, 0);
    EXPECT_TRUE(CutWhileSendingAHead(port, 30, 200ms, 8));
    httplib::Client trickled("127.0.0.1", port);
    auto answer = trickled.Get("/healthz");
    ASSERT_TRUE(answer);
    EXPECT_NE(answer->body.find("\"TimedOut\":1"), std::string::npos) << answer->body;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);

    // Flooding: 16 MB of header lines at once, with a read timeout longer than the client waits,
    // so only the size limit can cut it in time.
    port = Start({"--threads", "1", "--read-timeout", "60"});
    ASSERT_GT(port, 0);
    EXPECT_TRUE(CutWhileSendingAHead(port, 16000, 0ms, 1000));
    httplib::Client flooded("127.0.0.1", port);
    answer = flooded.Get("/healthz");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
}

TEST_F(ServiceProcess, ServesTls12AndNewerOnlyWithItsCertificate) {
    const std::string cert = (dir_ / "cert.pem").string(), key = (dir_ / "key.pem").string(),
                      otherKey = (dir_ / "other.pem").string();
    ASSERT_EQ(
        std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "
                     "/CN=localhost -addext subjectAltName=DNS:localhost -keyout " +
                     key + " -out " + cert +
                     " 2>/dev/null && openssl genpkey -algorithm EC -pkeyopt "
                     "ec_paramgen_curve:P-256 -out " +
                     otherKey + " 2>/dev/null")
                        .c_str()),
        0);
    std::string output;
    EXPECT_EQ(ExitCodeOf("--folder " + (dir_ / "served").string() + " --port 0 --tls-cert " + cert +
                             " --tls-key " + otherKey,
                         &output),
              1);
    EXPECT_NE(output.find("mismatch"), std::string::npos) << output;

    const int port = Start({"--tls-cert", cert, "--tls-key", key});
    ASSERT_GT(port, 0);
    const std::string url = "https://localhost:" + std::to_string(port) + "/download?file=a.txt";
    const auto curl = [&](const std::string& options) {
        FILE* pipe = popen(
            ("curl -sS --max-time 10 --cacert " + cert + " " + options + " '" + url + "' 2>&1").c_str(), "r");
        std::string text;
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe)) text += buffer;
        pclose(pipe);
        return text;
    };
    EXPECT_EQ(curl("--tlsv1.2 --tls-max 1.2"), "abc");  // what Wine's WinHTTP speaks
    EXPECT_EQ(curl("--tlsv1.3"), "abc");
    EXPECT_NE(curl("--tlsv1.1 --tls-max 1.1"), "abc");
    EXPECT_NE(curl("--insecure --resolve localhost:" + std::to_string(port) +
                   ":127.0.0.1 http://localhost:1/ -o /dev/null"),
              "abc");
    // Plain HTTP to the TLS port gets nothing served.
    RawClient plain(port);
    plain.Send(Get("/download?file=a.txt"));
    EXPECT_EQ(plain.ReadToEnd().find("abc"), std::string::npos);
}

}  // namespace
