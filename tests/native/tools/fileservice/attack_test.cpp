// The service under attack, one row per attack: each row starts the real service (built with the
// sanitizers) and runs the attack while a normal client keeps listing the folder and downloading a
// 1 MB file beside it. The normal client must keep being answered, right, and without a hang (its
// latency is checked only loosely here; the figures are in bench/fleet/README.md).
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "native/tools/fileservice/raw_client.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kSmuggled = "GET /download?file=a.txt HTTP/1.1\r\nHost: x\r\n\r\n";

struct Service {
    int port = 0;
    bool tls = false;
    fs::path dir;
};

// Lists and downloads in a loop until stopped; counts answers that came back right and the slowest.
class NormalClient {
  public:
    // `keepAlive`: one connection throughout, else a new one per request.
    NormalClient(const Service& service, const std::string& expectedFile, bool keepAlive) {
        thread_ = std::thread([this, &service, expectedFile, keepAlive] {
            std::unique_ptr<httplib::Client> client;
            if (service.tls) {
                client =
                    std::make_unique<httplib::Client>("https://localhost:" + std::to_string(service.port));
                client->enable_server_certificate_verification(false);
            } else {
                client = std::make_unique<httplib::Client>("127.0.0.1", service.port);
            }
            client->set_keep_alive(keepAlive);
            client->set_connection_timeout(10, 0);
            client->set_read_timeout(10, 0);
            while (!stop_) {
                for (const char* target :
                     {"/folderlist?folder=%5C&mask=*.*&recursive=", "/download?file=big1m.bin"}) {
                    const auto start = Clock::now();
                    auto answer = client->Get(target);
                    const auto took = Clock::now() - start;
                    slowest_ = std::max(slowest_.load(), took);
                    const bool list = target[1] == 'f';
                    if (answer && answer->status == 200 &&
                        (list ? answer->body.find("big1m.bin") != std::string::npos
                              : answer->body == expectedFile))
                        ++good_;
                    else
                        ++bad_;
                }
                std::this_thread::sleep_for(20ms);
            }
        });
    }
    ~NormalClient() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    int good() const { return good_; }
    int bad() const { return bad_; }
    Clock::duration slowest() const { return slowest_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<int> good_{0}, bad_{0};
    std::atomic<Clock::duration> slowest_{Clock::duration::zero()};
    std::thread thread_;
};

struct Row {
    const char* name;
    std::vector<std::string> options;
    bool tls;
    rlim_t descriptors;  // 0: as inherited
    bool keepAlive;      // the normal client's: an established workstation keeps its connection
    std::function<void(const Service&)> attack;
};

// True when the server closed `client` (rather than the read timing out), within `within`.
bool ClosedWithin(const RawClient& client, Clock::duration within) {
    const auto start = Clock::now();
    return client.ClosedByServer() && Clock::now() - start < within;
}

// True when reading whatever is still buffered ends in the server's close within `within`.
bool DrainsToClose(const RawClient& client, Clock::duration within) {
    const auto deadline = Clock::now() + within;
    char buffer[65536];
    while (Clock::now() < deadline) {
        const ssize_t n = ::recv(client.Fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
        if (n < 0) std::this_thread::sleep_for(10ms);
    }
    return false;
}

// Rows 1 and 6: requests whose framing a parser might get wrong. Each must get its answer (or a
// 400 and a close), and the request hidden after it must never be answered.
void SmugglingAndMalformedHeads(const Service& service) {
    const std::string body = "Content-Length: " + std::to_string(kSmuggled.size()) + "\r\n\r\n" + kSmuggled;
    struct Case {
        const char* name;
        std::string request;
        const char* status;  // of the first answer
        bool closes;
    } cases[] = {
        {"a body on GET", "GET /healthz HTTP/1.1\r\nHost: x\r\n" + body, "200", false},
        {"a body on HEAD", "HEAD /healthz HTTP/1.1\r\nHost: x\r\n" + body, "200", false},
        {"a body on OPTIONS", "OPTIONS /healthz HTTP/1.1\r\nHost: x\r\n" + body, "405", false},
        {"a body on an unknown path", "GET /elsewhere HTTP/1.1\r\nHost: x\r\n" + body, "404", false},
        {"a chunked body on GET",
         "GET /healthz HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n2e\r\n" + kSmuggled +
             "\r\n0\r\n\r\n",
         "200", false},
        {"two differing lengths", "GET /healthz HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n" + body, "400",
         true},
        {"a length beside chunked",
         "GET /healthz HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nContent-Length: "
         "5\r\n\r\n0\r\n\r\n" +
             kSmuggled,
         "400", true},
        {"whitespace before a colon",
         "GET /healthz HTTP/1.1\r\nHost: x\r\nTransfer-Encoding : chunked\r\n\r\n0\r\n\r\n" + kSmuggled,
         "400", true},
        {"a bare CR in a value", "GET /healthz HTTP/1.1\r\nHost: x\r\nX-A: a\rb\r\n\r\n" + kSmuggled, "400",
         true},
        {"a transfer coding other than chunked",
         "GET /healthz HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n" + kSmuggled, "400", true},
        {"no Host", "GET /healthz HTTP/1.1\r\n\r\n" + kSmuggled, "400", true},
        {"a target over the limit",
         "GET /download?file=" + std::string(40000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n" + kSmuggled, "414",
         true},
        {"a head over the limit",
         "GET /healthz HTTP/1.1\r\nHost: x\r\nX-A: " + std::string(40000, 'a') + "\r\n\r\n" + kSmuggled,
         "431", true},
    };
    for (const auto& c : cases) {
        RawClient client(service.port);
        client.Send(c.request);
        std::string answer;
        if (c.closes) {
            answer = client.ReadToEnd();
        } else {
            // A kept-alive connection: after the answer, one more request shows that the body was
            // taken as a body, not as this request.
            std::this_thread::sleep_for(100ms);
            client.Send("GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
            answer = client.ReadToEnd();
            EXPECT_NE(answer.find("HTTP/1.1 200 ", answer.find("\r\n\r\n")), std::string::npos)
                << c.name << ": the next request was not answered\n"
                << answer;
        }
        EXPECT_TRUE(answer.starts_with(std::string("HTTP/1.1 ") + c.status + " ")) << c.name << "\n"
                                                                                   << answer;
        EXPECT_EQ(answer.find("\r\n\r\nabc"), std::string::npos)
            << c.name << ": the hidden request was answered";
        EXPECT_EQ(answer.find("ETag: \"3-"), std::string::npos)
            << c.name << ": the hidden request was answered";
    }
}

// Row 2: each connection sends its head one byte at a time, slower than the head's deadline allows.
void Slowloris(const Service& service) {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 200; ++i) clients.push_back(std::make_unique<RawClient>(service.port));
    const std::string head = "GET /healthz HTTP/1.1\r\nHost: x\r\nX-Slow: ";
    const auto start = Clock::now();
    for (size_t i = 0; i < head.size() && Clock::now() - start < 4s; ++i) {
        for (auto& c : clients) c->Send(std::string(1, head[i]));
        std::this_thread::sleep_for(300ms);
    }
    int cut = 0;
    for (auto& c : clients) cut += ClosedWithin(*c, 5s);
    EXPECT_EQ(cut, 200) << "trickling heads were not cut at their deadline";
}

// Row 3: the first bytes of a TLS greeting, then silence.
void TlsGreetings(const Service& service) {
    const std::string greeting("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03", 10);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 200; ++i) {
        clients.push_back(std::make_unique<RawClient>(service.port));
        clients.back()->Send(greeting);
    }
    std::this_thread::sleep_for(1s);
    int cut = 0;
    for (auto& c : clients) cut += ClosedWithin(*c, 5s);
    EXPECT_EQ(cut, 200) << "silent handshakes were not cut at the head's deadline";
}

// Row 4: downloads of a large file through a 4 KiB receive window, read slowly or not at all.
void SlowReaders(const Service& service) {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 80; ++i) {
        clients.push_back(std::make_unique<RawClient>(service.port, 4096));
        clients.back()->Send("GET /download?file=big64m.bin HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    const auto start = Clock::now();
    // Half read a little now and then, far below the minimum rate; half read nothing.
    char buffer[256];
    while (Clock::now() - start < 3s) {
        for (size_t i = 0; i < clients.size(); i += 2)
            ::recv(clients[i]->Fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        std::this_thread::sleep_for(500ms);
    }
    // The rate is judged over 10 s; then what is left in the buffers ends in the server's close.
    std::this_thread::sleep_until(start + 12s);
    int cut = 0;
    for (auto& c : clients) cut += DrainsToClose(*c, 2s);
    EXPECT_EQ(cut, 80) << "readers below the minimum rate were not dropped";
}

// Beyond the connection limit (here the descriptors allow about 100): idle connections fill it,
// the ones beyond are closed at once instead of waiting in the backlog, and once they go the
// service answers again.
void OverTheConnectionLimit(const Service& service) {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 300; ++i) clients.push_back(std::make_unique<RawClient>(service.port));
    std::this_thread::sleep_for(500ms);
    int refused = 0;
    for (auto& c : clients) {
        c->Send("GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    }
    for (auto& c : clients) {
        const std::string answer = c->ReadToEnd();
        refused += answer.empty() || answer.starts_with("HTTP/1.1 503 ");
    }
    EXPECT_GT(refused, 150);
    EXPECT_LT(refused, 250);
}

class Attacks : public testing::TestWithParam<Row> {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/fileservice-attacks-XXXXXX";
        service_.dir = mkdtemp(pattern);
        fs::create_directories(service_.dir / "served");
        std::ofstream(service_.dir / "served" / "a.txt") << "abc";
        file_.resize(1 << 20);
        for (size_t i = 0; i < file_.size(); ++i) file_[i] = static_cast<char>(i * 7 % 251);
        std::ofstream(service_.dir / "served" / "big1m.bin", std::ios::binary) << file_;
        std::ofstream(service_.dir / "served" / "big64m.bin", std::ios::binary) << std::string(64 << 20, 'x');
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        fs::remove_all(service_.dir);
    }

    void Start(const Row& row) {
        const fs::path portFile = service_.dir / "port";
        std::vector<std::string> arguments = {AUREVIA_FILESERVICE_CHECKED,
                                              "--folder",
                                              (service_.dir / "served").string(),
                                              "--port",
                                              "0",
                                              "--port-file",
                                              portFile.string(),
                                              "--settle-ms",
                                              "0"};
        if (row.tls) {
            const std::string cert = (service_.dir / "cert.pem").string(),
                              key = (service_.dir / "key.pem").string();
            ASSERT_EQ(
                std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                             "-subj /CN=localhost -keyout " +
                             key + " -out " + cert + " 2>/dev/null")
                                .c_str()),
                0);
            arguments.insert(arguments.end(), {"--tls-cert", cert, "--tls-key", key});
        }
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        std::vector<char*> argv;
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string log = (service_.dir / "log").string();
        pid_ = fork();
        if (pid_ == 0) {
            if (row.descriptors) {
                const rlimit limit{row.descriptors, row.descriptors};
                setrlimit(RLIMIT_NOFILE, &limit);
            }
            freopen(log.c_str(), "w", stdout);
            execv(AUREVIA_FILESERVICE_CHECKED, argv.data());
            _exit(127);
        }
        for (int i = 0; i < 1000 && !fs::exists(portFile); ++i) std::this_thread::sleep_for(10ms);
        std::ifstream(portFile) >> service_.port;
        service_.tls = row.tls;
        ASSERT_GT(service_.port, 0);
    }

    Service service_;
    std::string file_;
    pid_t pid_ = -1;
};

TEST_P(Attacks, TheNormalClientKeepsBeingAnsweredAndTheServiceStaysUp) {
    const Row& row = GetParam();
    Start(row);
    if (HasFatalFailure()) return;
    NormalClient normal(service_, file_, row.keepAlive);
    std::this_thread::sleep_for(300ms);
    row.attack(service_);
    std::this_thread::sleep_for(500ms);
    normal.Stop();
    EXPECT_GT(normal.good(), 4) << "the normal client was hardly answered during the attack";
    EXPECT_EQ(normal.bad(), 0) << "the normal client got a wrong or failed answer";
    // Only a hang is caught here: the figures belong in the bench.
    EXPECT_LT(normal.slowest(), 5s);
    EXPECT_EQ(waitpid(pid_, nullptr, WNOHANG), 0) << "the service ended";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Attacks,
    testing::Values(Row{"SmugglingAndMalformedHeads", {}, false, 0, false, SmugglingAndMalformedHeads},
                    Row{"Slowloris", {"--read-timeout", "2"}, false, 0, false, Slowloris},
                    Row{"TlsGreetings", {"--read-timeout", "2"}, true, 0, false, TlsGreetings},
                    Row{"SlowReaders", {"--min-rate", "100000"}, false, 0, false, SlowReaders},
                    Row{"OverTheConnectionLimit", {}, false, 256, true, OverTheConnectionLimit}),
    [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
