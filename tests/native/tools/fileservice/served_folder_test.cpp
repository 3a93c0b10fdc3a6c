// The service (built with the sanitizers) against what an operator or a copy tool does to the served
// folder while it serves: a FIFO renamed in under a served name, a writer that holds a file open,
// names that are not UTF-8, files the service cannot read, and a file rewritten during a download.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kNobody = 65534;

class ServedFolder : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/fileservice-folder-XXXXXX";
        dir_ = mkdtemp(pattern);
        served_ = dir_ / "served";
        fs::create_directories(served_);
        // Reachable by the service when it runs as an ordinary user.
        fs::permissions(dir_, fs::perms::all);
        fs::permissions(served_, fs::perms::all);
    }
    void TearDown() override {
        Stop();
        fs::remove_all(dir_);
    }

    // Starts the service on a free port, its output (both streams) in a log file; as root, as an
    // ordinary user when `asUser`, for whom permissions count as for the packaged service.
    int Start(std::vector<std::string> extra = {}, bool asUser = false) {
        const std::string portFile = (dir_ / "port").string(), log = (dir_ / "log").string();
        std::vector<std::string> arguments = {AUREVIA_FILESERVICE_CHECKED,
                                              "--folder",
                                              served_.string(),
                                              "--port",
                                              "0",
                                              "--port-file",
                                              portFile};
        if (tls_)
            arguments.insert(arguments.end(),
                             {"--tls-cert", Cert(), "--tls-key", (dir_ / "key.pem").string()});
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        fs::remove(portFile);  // from an earlier start
        pid_ = fork();
        if (pid_ == 0) {
            if (!freopen(log.c_str(), "w", stdout) || dup2(fileno(stdout), STDERR_FILENO) < 0) _exit(125);
            if (asUser && getuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(126);
            execv(AUREVIA_FILESERVICE_CHECKED, argv.data());
            _exit(127);
        }
        for (int i = 0; i < 1000 && !fs::exists(portFile); ++i) std::this_thread::sleep_for(10ms);
        int port = 0;
        std::ifstream(portFile) >> port;
        port_ = port;
        return port;
    }
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    bool Running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

    std::unique_ptr<httplib::Client> Client(int seconds = 5) const {
        auto client = tls_ ? std::make_unique<httplib::Client>("https://localhost:" + std::to_string(port_))
                           : std::make_unique<httplib::Client>("127.0.0.1", port_);
        if (tls_) client->enable_server_certificate_verification(false);
        client->set_connection_timeout(seconds, 0);
        client->set_read_timeout(seconds, 0);
        client->set_write_timeout(seconds, 0);
        return client;
    }
    // "STATUS BODY", or "no answer".
    std::string Get(const std::string& target, int seconds = 5) const {
        auto answer = Client(seconds)->Get(target);
        return answer ? std::to_string(answer->status) + " " + answer->body : std::string("no answer");
    }
    std::string Health() const { return Get("/healthz"); }
    std::string Listing() const { return Get("/folderlist?folder=%5C&mask=*.*&recursive="); }
    size_t Walks() const {
        const std::string health = Health();
        const size_t at = health.find("\"Walks\":");
        return at == std::string::npos ? 0 : std::stoul(health.substr(at + 8));
    }
    std::string Log() const {
        std::ifstream in(dir_ / "log");
        return {std::istreambuf_iterator<char>(in), {}};
    }

    void Write(const fs::path& relative, const std::string& content) const {
        fs::create_directories((served_ / relative).parent_path());
        std::ofstream(served_ / relative, std::ios::binary) << content;
    }
    static bool Eventually(const std::function<bool()>& condition, Clock::duration within = 5s) {
        for (const auto end = Clock::now() + within; Clock::now() < end; std::this_thread::sleep_for(50ms))
            if (condition()) return true;
        return condition();
    }

    std::string Cert() {
        const std::string cert = (dir_ / "cert.pem").string(), key = (dir_ / "key.pem").string();
        if (!fs::exists(cert))
            EXPECT_EQ(
                std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                             "-subj /CN=localhost -keyout " +
                             key + " -out " + cert + " 2>/dev/null")
                                .c_str()),
                0);
        return cert;
    }

    fs::path dir_, served_;
    pid_t pid_ = -1;
    int port_ = 0;
    bool tls_ = false;
};

TEST_F(ServedFolder, AFifoSwappedInUnderAServedNameHoldsNoThread) {
    Write("a.dll", "a");
    // Two threads: two hung opens would be the whole service.
    ASSERT_GT(Start({"--threads", "2", "--settle-ms", "0"}), 0);
    const fs::path fifo = dir_ / "fifo", regular = dir_ / "regular", served = served_ / "a.dll";
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        // The name is a FIFO and a file by turns, so some requests find the file when the name is
        // resolved and the FIFO when it is opened.
        while (!stop) {
            mkfifo(fifo.c_str(), 0666);
            rename(fifo.c_str(), served.c_str());
            std::ofstream(regular) << "a";
            rename(regular.c_str(), served.c_str());
        }
        mkfifo(fifo.c_str(), 0666);
        rename(fifo.c_str(), served.c_str());
    });
    std::atomic<int> right{0}, wrong{0}, closed{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([&] {
            const auto end = Clock::now() + 3s;
            while (Clock::now() < end) {
                const auto asked = Clock::now();
                const std::string answer = Get("/download?file=a.dll", 5);
                const bool fine =
                    answer == "200 a" || answer.starts_with("404 ") || answer.starts_with("403 ");
                // A connection closed at once holds no thread; one that outlasts the client's wait does.
                if (!fine && answer == "no answer" && Clock::now() - asked < 2s) {
                    ++closed;
                    continue;
                }
                ++(fine ? right : wrong);
                if (!fine) ADD_FAILURE() << answer;
            }
        });
    for (auto& c : clients) c.join();
    stop = true;
    swapper.join();
    EXPECT_EQ(wrong, 0) << "a download hung on the FIFO or got something else";
    EXPECT_GT(right, 20);
    EXPECT_LE(closed * 20, right) << "connections closed without an answer are the rare exception\n"
                                  << Health();
    // With the FIFO in place for good: refused at once, not listed, and the service still answers.
    EXPECT_TRUE(Get("/download?file=a.dll").starts_with("404 "));
    EXPECT_TRUE(Eventually([&] { return Listing() == "200 []"; })) << Listing();
    EXPECT_TRUE(Health().starts_with("200 {\"Status\":\"ok\"")) << Health();
}

// The fleet page reads the rollout document from the served folder: a FIFO under that name must
// not hold the page's thread either.
TEST_F(ServedFolder, AFifoUnderTheRolloutDocumentsNameHoldsNoPage) {
    ASSERT_EQ(mkfifo((served_ / "aurevia-rollout.json").c_str(), 0666), 0);
    ASSERT_GT(Start({"--threads", "2", "--reports", (dir_ / "reports.db").string()}), 0);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(Get("/painel", 5).starts_with("200 ")) << "request " << i;
    EXPECT_TRUE(Health().starts_with("200 ")) << Health();
}

// A writer that holds a file open (a stalled copy, a client holding a handle) or keeps writing a
// little at a time, on a tree of 2 000 files: the listing cache looks at it again on a backoff, not
// in a loop, and lists it once the writer closes it.
TEST_F(ServedFolder, AHeldOrTricklingWriterCostsAFewWalksAndItsFileIsListedOnceClosed) {
    for (int d = 0; d < 20; ++d)
        for (int f = 0; f < 100; ++f)
            Write("Relatorio" + std::to_string(d) + "/Rpt" + std::to_string(f) + ".rav", "r");
    struct Case {
        const char* name;
        std::chrono::milliseconds writeEvery;  // 0: writes once, then holds the file
    } cases[] = {{"held", 0ms}, {"trickling", 50ms}};
    ASSERT_GT(Start({"--settle-ms", "0"}), 0);
    for (const Case& c : cases) {
        const fs::path file = served_ / (std::string(c.name) + ".dll");
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "start", 5), 5);
        std::this_thread::sleep_for(300ms);
        const size_t before = Walks();
        for (const auto end = Clock::now() + 5s; Clock::now() < end;) {
            std::this_thread::sleep_for(c.writeEvery.count() ? c.writeEvery : 100ms);
            if (c.writeEvery.count()) ASSERT_EQ(::write(fd, "x", 1), 1);
        }
        const size_t walks = Walks() - before;
        EXPECT_LE(walks, 8u) << c.name << ": the tree was walked in a loop";
        EXPECT_EQ(Listing().find(c.name), std::string::npos) << c.name << ": listed while still written";
        ::close(fd);
        EXPECT_TRUE(Eventually([&] { return Listing().find(c.name) != std::string::npos; }))
            << c.name << ": not listed once closed";
    }
    EXPECT_TRUE(Health().starts_with("200 {\"Status\":\"ok\"")) << Health();
}

// Entries that must not reach a workstation's listing: each is left out, and named in a warning in
// the health answer and the log, while the rest of the folder is listed and the service is ok.
TEST_F(ServedFolder, EntriesAWorkstationCouldNotUseAreLeftOutWithAWarning) {
    const bool root = getuid() == 0;
    struct Case {
        const char* what;
        std::function<void()> make;
        std::string absent;   // bytes that must not appear in the listing
        std::string warning;  // as the health answer's JSON shows it
        int download;         // the status of a download by that name (0: not tried)
        std::string name;
    } cases[] = {
        {"a Latin-1 name beside another that a workstation would read as the same",
         [this] { Write("RELAT\xD3RIO.RAV", "upper"); }, "RELAT\xD3",
         "left out of the listing: RELAT\\\\xD3RIO.RAV (the name is not UTF-8)", 0, ""},
        {"the other Latin-1 name", [this] { Write("Relat\xF3rio.rav", "lower"); }, "Relat\xF3",
         "left out of the listing: Relat\\\\xF3rio.rav (the name is not UTF-8)", 0, ""},
        {"a folder with a Latin-1 name", [this] { Write("Arquivo\xC7\xC3O/Rpt.rav", "r"); }, "Rpt.rav",
         "left out of the listing with everything in it: Arquivo\\\\xC7\\\\xC3O (the name is not UTF-8)", 0,
         ""},
        {"a file the service cannot read",
         [this] {
             Write("Segredo.rav", "s");
             fs::permissions(served_ / "Segredo.rav", fs::perms::none);
         },
         "Segredo", "left out of the listing: Segredo.rav (the service cannot read it: Permission denied)",
         403, "Segredo.rav"},
        {"a link that leads nowhere",
         [this] { fs::create_symlink(dir_ / "missing.dll", served_ / "Perdido.dll"); }, "Perdido",
         "left out of the listing: Perdido.dll (a link that leads nowhere)", 404, "Perdido.dll"},
    };
    Write("Relat\xC3\xB3rio.rav", "utf-8");  // the UTF-8 spelling stays listed
    Write("Admission.exe", "MZ");
    for (const Case& c : cases) c.make();
    // As root every file can be read: the service runs as an ordinary user, as when packaged.
    ASSERT_GT(Start({"--settle-ms", "0"}, root), 0);
    const std::string listing = Listing(), health = Health();
    EXPECT_TRUE(health.starts_with("200 {\"Status\":\"ok\"")) << health;
    EXPECT_NE(listing.find("\"Relat\xC3\xB3rio.rav\""), std::string::npos) << listing;
    EXPECT_NE(listing.find("\"Admission.exe\""), std::string::npos) << listing;
    for (const Case& c : cases) {
        EXPECT_EQ(listing.find(c.absent), std::string::npos) << c.what << "\n" << listing;
        EXPECT_NE(health.find(c.warning), std::string::npos) << c.what << "\n" << health;
        std::string logged = c.warning;  // the log line has the JSON's escapes undone
        for (size_t at; (at = logged.find("\\\\")) != std::string::npos;) logged.erase(at, 1);
        EXPECT_TRUE(Eventually([&] { return Log().find(logged) != std::string::npos; }, 2s)) << c.what << "\n"
                                                                                             << Log();
        if (c.download)
            EXPECT_TRUE(Get("/download?file=" + c.name).starts_with(std::to_string(c.download) + " "))
                << c.what;
    }
    // Made readable, the file is listed and the warning goes.
    fs::permissions(served_ / "Segredo.rav", fs::perms::owner_read | fs::perms::others_read);
    EXPECT_TRUE(Eventually([&] { return Listing().find("\"Segredo.rav\"") != std::string::npos; }));
    EXPECT_EQ(Health().find("Segredo"), std::string::npos);
}

// A download whose file changes while it is sent. Sent from the file itself (no snapshots) and
// rewritten in place (same file, new bytes): the connection ends short and every byte that came is
// of the version the validators name. Replaced by a rename (a new file under the name), or sent
// from its sealed snapshot: the download goes on whole in the old version. Either way the next
// download gets the new version whole (a snapshot is never served for a file changed since).
TEST_F(ServedFolder, AFileRewrittenDuringADownloadEndsThatConnectionRatherThanMixingVersions) {
    constexpr size_t kSize = 48 << 20;
    struct Case {
        const char* name;
        bool tls;
        bool inPlace;
        bool snapshot;
    } cases[] = {{"rewritten in place", false, true, false},
                 {"rewritten in place, over TLS", true, true, false},
                 {"replaced by a rename", false, false, false},
                 {"rewritten in place, sent from its snapshot", false, true, true},
                 {"rewritten in place, sent from its snapshot over TLS", true, true, true}};
    for (const Case& c : cases) {
        Stop();
        Write("Modulo.exe", std::string(kSize, 'x'));
        tls_ = c.tls;
        ASSERT_GT(Start({"--settle-ms", "0", "--snapshot-mb", c.snapshot ? "512" : "0"}), 0) << c.name;
        size_t received = 0, foreign = 0;
        bool changed = false;
        auto client = Client(10);
        auto answer = client->Get("/download?file=Modulo.exe", [&](const char* data, size_t length) {
            foreign +=
                static_cast<size_t>(std::count_if(data, data + length, [](char b) { return b != 'x'; }));
            received += length;
            if (!changed) {
                changed = true;
                const fs::path path = served_ / "Modulo.exe", fresh = dir_ / "fresh";
                if (c.inPlace) {
                    std::fstream(path, std::ios::in | std::ios::out | std::ios::binary)
                        << std::string(kSize, 'y');
                } else {
                    std::ofstream(fresh, std::ios::binary) << std::string(kSize, 'y');
                    fs::rename(fresh, path);
                }
            }
            return true;
        });
        EXPECT_EQ(foreign, 0u) << c.name << ": bytes of the new version under the old one's validators";
        if (c.inPlace && !c.snapshot) {
            EXPECT_FALSE(answer) << c.name << ": the download completed";
            EXPECT_GT(received, 0u) << c.name;
            EXPECT_LT(received, kSize) << c.name;
            EXPECT_NE(Health().find("\"Rewritten\":1"), std::string::npos) << c.name << ": " << Health();
        } else {
            EXPECT_TRUE(answer) << c.name;
            EXPECT_EQ(received, kSize) << c.name;
        }
        if (c.snapshot)
            EXPECT_EQ(Health().find("\"SnapshotBytes\":0}"), std::string::npos) << c.name << ": no snapshot";
        // The next download gets the new version whole.
        auto again = Client(10)->Get("/download?file=Modulo.exe");
        ASSERT_TRUE(again) << c.name << ": " << httplib::to_string(again.error()) << "\n" << Log();
        EXPECT_EQ(again->body.size(), kSize) << c.name;
        EXPECT_EQ(again->body.find('x'), std::string::npos) << c.name;
        EXPECT_TRUE(Running()) << c.name;
    }
}

// Snapshots stay within their memory and never outlive their file's version: each of six files
// of 300 KB is fetched twice (one in two over TLS) with room for three, then rewritten in place
// with the same size and fetched again.
TEST_F(ServedFolder, SnapshotsStayWithinTheirMemoryAndFollowTheirFiles) {
    constexpr size_t kSize = 300 << 10;
    for (const bool tls : {false, true}) {
        Stop();
        tls_ = tls;
        for (char name = 'a'; name < 'g'; ++name)
            Write(std::string(1, name) + ".dll", std::string(kSize, name));
        ASSERT_GT(Start({"--settle-ms", "0", "--snapshot-mb", "1"}), 0);
        const auto snapshotBytes = [&] {
            const std::string health = Health();
            const size_t at = health.find("\"SnapshotBytes\":");
            return at == std::string::npos ? ~size_t{0} : std::stoul(health.substr(at + 16));
        };
        for (int round = 0; round < 3; ++round) {
            if (round == 2) {
                std::this_thread::sleep_for(20ms);  // a later modification time
                for (char name = 'a'; name < 'g'; ++name)
                    std::fstream(served_ / (std::string(1, name) + ".dll"),
                                 std::ios::in | std::ios::out | std::ios::binary)
                        << std::string(kSize, static_cast<char>(name - 'a' + 'A'));
            }
            for (char name = 'a'; name < 'g'; ++name) {
                const char expected = round == 2 ? static_cast<char>(name - 'a' + 'A') : name;
                EXPECT_EQ(Get("/download?file=" + std::string(1, name) + ".dll"),
                          "200 " + std::string(kSize, expected))
                    << (tls ? "TLS, " : "") << "round " << round << ", file " << name;
                EXPECT_LE(snapshotBytes(), 1u << 20);
            }
        }
        EXPECT_GT(snapshotBytes(), 0u);
    }
}

// Past the snapshots' file cap (each snapshot holds a descriptor): 50 files more than the cap,
// each fetched once, then the first again. Every answer is its own file's bytes, the copies kept
// are exactly the cap's worth from the file past the cap on (the least recently used dropped, not
// kept beside), the dropped copies' descriptors are closed, and a dropped file is served again.
TEST_F(ServedFolder, SnapshotsPastTheirFileCapDropTheOldestAndServeEveryFile) {
    constexpr size_t kSize = 1024;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    // The service holds at most 1 000, or an eighth of the descriptors it may open.
    const size_t cap = std::min<size_t>(1000, static_cast<size_t>(limit.rlim_max / 8));
    const auto content = [&](size_t i) {
        std::string bytes = "file " + std::to_string(i) + " ";
        while (bytes.size() < kSize) bytes += bytes;
        bytes.resize(kSize);
        return bytes;
    };
    const size_t files = cap + 50;
    for (size_t i = 0; i < files; ++i) Write("F" + std::to_string(i) + ".rav", content(i));
    ASSERT_GT(Start({"--settle-ms", "0"}), 0);
    const auto snapshotBytes = [&] {
        const std::string health = Health();
        const size_t at = health.find("\"SnapshotBytes\":");
        return at == std::string::npos ? ~size_t{0} : std::stoul(health.substr(at + 16));
    };
    const auto descriptors = [&] {
        const fs::path fds = "/proc/" + std::to_string(pid_) + "/fd";
        return static_cast<size_t>(std::distance(fs::directory_iterator(fds), fs::directory_iterator()));
    };
    const size_t idle = descriptors();
    auto client = Client(10);
    client->set_keep_alive(true);
    const auto fetch = [&](size_t i) {
        auto answer = client->Get("/download?file=F" + std::to_string(i) + ".rav");
        return answer ? std::to_string(answer->status) + " " + answer->body : std::string("no answer");
    };
    size_t wrong = 0;
    for (size_t i = 0; i < files; ++i) {
        if (fetch(i) != "200 " + content(i)) ++wrong;
        if (i + 1 == cap) EXPECT_EQ(snapshotBytes(), cap * kSize) << "all kept up to the cap";
        if (i == cap) EXPECT_EQ(snapshotBytes(), cap * kSize) << "the file past the cap";
    }
    EXPECT_EQ(wrong, 0u) << "answers that were not their file's bytes";
    EXPECT_EQ(snapshotBytes(), cap * kSize) << "50 files past the cap";
    EXPECT_LE(descriptors(), idle + cap + 8) << "descriptors held past the cap";
    EXPECT_EQ(fetch(0), "200 " + content(0)) << "the file whose copy was dropped";
    EXPECT_EQ(snapshotBytes(), cap * kSize);
    EXPECT_EQ(fetch(cap), "200 " + content(cap)) << "the file past the cap";
    EXPECT_TRUE(Running()) << Log();
}

}  // namespace
