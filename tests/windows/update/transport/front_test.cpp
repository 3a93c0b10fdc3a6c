// The launcher's client through nginx in front of two reference service instances, configured as
// deploy/nginx/ renders it: listing and download, a repeated listing answered 304, a download that
// the front cuts and that resumes, https with the front's certificate trusted or not, and the
// connections an https refresh of the shared files opens.
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "base/string_convert.h"
#include "support/message_pump.h"
#include "support/test_files.h"
#include "update/transport/http_request.h"
#include "update/transport/rest_client.h"
#include "update/transport/resumable_fetch.h"
#include "update/transport/url_encoding.h"
#include "update/updater/files_updater.h"
#include "update/updater/shared_files.h"
#include "update/source/service_source.h"
#include "windows/update/transport/client_test_support.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Lines(const fs::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The log lines that contain `part`, once there are `count` of them (nginx writes a request's line
// after its answer has gone), or what there is after two seconds.
std::vector<std::string> LogLinesWith(const fs::path& log, const std::string& part, size_t count = 1) {
    std::vector<std::string> found;
    for (int i = 0; i < 40; ++i, Sleep(50)) {
        found.clear();
        for (const auto& line : Lines(log))
            if (line.find(part) != std::string::npos) found.push_back(line);
        if (found.size() >= count) break;
    }
    return found;
}

// Trusts a CA in this Wine prefix (the local machine's Root store) while it lives. The store keeps
// an addition only once it is committed: Wine holds the system stores open for the process.
class TrustedCA {
  public:
    explicit TrustedCA(const fs::path& pem) {
        std::ifstream in(pem);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        DWORD size = 0;
        CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr);
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                                  nullptr))
            return;
        store_ = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
        if (store_ && CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING, der.data(), size,
                                                       CERT_STORE_ADD_REPLACE_EXISTING, &cert_))
            CertControlStore(store_, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
    ~TrustedCA() {
        if (cert_) {
            CertDeleteCertificateFromStore(cert_);  // frees the context too
            CertControlStore(store_, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        }
        if (store_) CertCloseStore(store_, 0);
    }
    TrustedCA(const TrustedCA&) = delete;
    TrustedCA& operator=(const TrustedCA&) = delete;
    bool Added() const { return cert_ != nullptr; }

  private:
    HCERTSTORE store_ = nullptr;
    PCCERT_CONTEXT cert_ = nullptr;
};

// Pauses the first time it sees content, long enough for the front to give up on a reader that
// does not read (its send_timeout is a second in the test's configuration).
class PausingObserver : public RecordingObserver {
  public:
    void Received(const char* data, size_t size) override {
        if (!paused_) {
            paused_ = true;
            Sleep(3000);
        }
        RecordingObserver::Received(data, size);
    }

  private:
    bool paused_ = false;
};

class Front : public testing::Test {
  protected:
    void SetUp() override {
        state_ = FixtureFolder("AUREVIA_TEST_FRONT_STATE");
        ASSERT_FALSE(state_.empty()) << "run through ctest: nginx and the services are a ctest fixture";
        int http = 0, https = 0, untrusted = 0;
        std::ifstream(state_ / L"http_port") >> http;
        std::ifstream(state_ / L"https_port") >> https;
        std::ifstream(state_ / L"untrusted.port") >> untrusted;
        ASSERT_GT(http, 0) << "nginx did not start";
        http_ = L"http://127.0.0.1:" + std::to_wstring(http);
        https_ = L"https://localhost:" + std::to_wstring(https);
        httpsByAddress_ = L"https://127.0.0.1:" + std::to_wstring(https);
        untrusted_ = L"https://localhost:" + std::to_wstring(untrusted);
        folder_ = Utf8ToWide(testing::UnitTest::GetInstance()->current_test_info()->name());
        served_ = state_ / L"served" / folder_;
        fs::create_directories(served_);
    }

    std::wstring Served(const std::wstring& name) const { return (served_ / name).wstring(); }
    fs::path AccessLog() const { return state_ / L"front" / L"logs" / L"access.log"; }

    // Lists this test's folder through `base`; the error's message, or "" when it was listed.
    std::string List(const std::wstring& base, int expectedCount) {
        TRESTClientFileList client(base);
        client.SetRetries(kQuickRetries);
        return RaisedMessage([&] {
            EXPECT_TRUE(client.Execute(folder_, L"*.*", true));
            EXPECT_EQ(client.Count(), expectedCount);
        });
    }

    fs::path state_, served_;
    std::wstring http_, https_, httpsByAddress_, untrusted_, folder_;
    TempFolder local_;
};

TEST_F(Front, ListsAndDownloadsThroughTheFrontFromBothInstances) {
    const std::wstring names[] = {L"Admission.exe", L"Relatorio\\Rpt Agenda.rav",
                                  L"Prescri\u00e7\u00e3o.dll"};
    for (const auto& name : names) WriteWholeFile(Served(name), PatternedContent(100000) + WideToUtf8(name));
    TRESTClientFileList list(http_);
    ASSERT_TRUE(list.Execute(folder_, L"*.*", true));
    ASSERT_EQ(list.Count(), 3);
    for (int i = 0; i < list.Count(); ++i) {
        const std::wstring name = list.GetItem(i)->FileName().substr(folder_.size() + 1);
        SCOPED_TRACE(WideToUtf8(name));
        EXPECT_EQ(list.GetItem(i)->Age(), AgeOf(Served(name)));
        TRESTClientDownload download(http_);
        ASSERT_TRUE(download.Download(list.GetItem(i)->FileName(), local_ / L"file.bin"))
            << WideToUtf8(download.Error());
        EXPECT_TRUE(ReadWholeFile(local_ / L"file.bin") == PatternedContent(100000) + WideToUtf8(name));
    }
    // The front spread the four requests over both instances.
    for (const wchar_t* log : {L"service1.log", L"service2.log"})
        EXPECT_FALSE(LogLinesWith(state_ / log, WideToUtf8(folder_)).empty()) << WideToUtf8(log);
}

TEST_F(Front, ARepeatedListingIsAnswered304AfterTheFrontRevalidatedItWithTheService) {
    WriteWholeFile(Served(L"a.dll"), "a");
    ASSERT_EQ(List(http_, 1), "");
    Sleep(2500);  // the front keeps a listing fresh for a second (whole seconds); then asks the service
    ASSERT_EQ(List(http_, 1), "");
    const auto lines = LogLinesWith(AccessLog(), "/folderlist?folder=" + WideToUtf8(folder_), 2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\" 200 "), std::string::npos) << lines[0];
    // The launcher sent the listing's ETag back and got 304; the front had revalidated its copy with
    // the service, which answered 304 as well.
    EXPECT_NE(lines[1].find("\" 304 0 "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("us=304"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("cache=REVALIDATED"), std::string::npos) << lines[1];

    // A change is seen by the first listing after the front's second.
    WriteWholeFile(Served(L"b.dll"), "b");
    Sleep(2500);
    EXPECT_EQ(List(http_, 2), "");
}

TEST_F(Front, ADownloadThatTheFrontCutsResumesWhereItStopped) {
    // Larger than what the socket buffers between the front and the launcher hold.
    const std::string content = PatternedContent(40 << 20);
    WriteWholeFile(Served(L"Big.dll"), content);
    PausingObserver observer;
    TRESTClientDownload client(http_);
    client.SetRetries(kQuickRetries);
    ASSERT_TRUE(client.Download(folder_ + L"\\Big.dll", local_ / L"Big.dll", &observer))
        << WideToUtf8(client.Error());
    EXPECT_TRUE(ReadWholeFile(local_ / L"Big.dll") == content);
    // The pause makes the front cut once; a loaded machine that stalls the reader again past the
    // front's send timeout makes it cut again. Each resumption must start further on.
    ASSERT_GE(observer.begins.size(), 2u);
    EXPECT_EQ(observer.begins[0], 0u);
    for (size_t i = 1; i < observer.begins.size(); ++i) {
        EXPECT_GT(observer.begins[i], observer.begins[i - 1]) << i;
        EXPECT_LT(observer.begins[i], content.size()) << i;
    }
    EXPECT_TRUE(observer.seen == content);
    const auto lines =
        LogLinesWith(AccessLog(), "/download?file=" + WideToUtf8(folder_), observer.begins.size());
    ASSERT_EQ(lines.size(), observer.begins.size());
    EXPECT_NE(lines[0].find("\" 200 "), std::string::npos) << lines[0];
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_NE(lines[i].find("\" 206 "), std::string::npos) << lines[i];
}

TEST_F(Front, HttpsWorksWithATrustedCertificateAndSaysWhyNotWithAnother) {
    WriteWholeFile(Served(L"a.dll"), "secure");
    // Trusted before the process makes its first TLS connection: Wine's chain engine reads the Root
    // store once per process.
    TrustedCA ca(state_ / L"tls" / L"ca.pem");
    ASSERT_TRUE(ca.Added());
    EXPECT_EQ(List(https_, 1), "");
    TRESTClientDownload download(https_);
    ASSERT_TRUE(download.Download(folder_ + L"\\a.dll", local_ / L"a.dll")) << WideToUtf8(download.Error());
    EXPECT_EQ(ReadWholeFile(local_ / L"a.dll"), "secure");

    // A service whose certificate no trusted authority issued (its own TLS, without the front); and
    // the front by address, which its certificate does not name. Wine reports both as 12157,
    // Windows as 12175; both texts say what is wrong.
    for (const std::wstring& base : {untrusted_, httpsByAddress_}) {
        SCOPED_TRACE(WideToUtf8(base));
        const std::string message = List(base, 0);
        EXPECT_TRUE(message.starts_with("REST request failed: ")) << message;
        EXPECT_NE(message.find("certificado do servidor não é confiável"), std::string::npos) << message;
    }
}

// The service as each request used to reach it: a WinHTTP session of its own per request. The peer
// of the session an update shares.
class TSessionPerRequestSource final : public IUpdateSource {
  public:
    explicit TSessionPerRequestSource(std::wstring AURL) : FURL(std::move(AURL)) {}
    std::wstring Where() const override { return FURL; }
    std::vector<TSourceFile> List() override {
        TRESTClientFileList client(FURL);
        client.Execute(L"\\", L"*.*", true);
        std::vector<TSourceFile> files;
        for (int i = 0; i < client.Count(); ++i) files.push_back({client[i]->FileName(), client[i]->Age()});
        return files;
    }
    std::string Read(const std::wstring&, uint64_t) override {
        throw Error("no documents", TErrorCategory::Fetch);
    }
    void Fetch(const std::wstring& ARemoteName, IByteSink& ASink, IFetchObserver* AObserver) override {
        const THttpSession session(TRESTTimeouts{}, TTransferLimits{});
        FetchResumable(session, DownloadURL(FURL, ARemoteName), ASink, TRESTRetries{}, AObserver);
    }
    bool MakesFolders() const override { return false; }

  private:
    std::wstring FURL;
};

// Lets at most `count` fetches of a source run at once, so that the connections a refresh needs are
// known: one per fetch at a time when they are reused, one per file when they are not.
class TAtMostAtOnce final : public IUpdateSource {
  public:
    TAtMostAtOnce(std::shared_ptr<IUpdateSource> ASource, LONG ACount)
        : FSource(std::move(ASource)), FSlots(CreateSemaphoreW(nullptr, ACount, ACount, nullptr)) {}
    ~TAtMostAtOnce() override { CloseHandle(FSlots); }
    TAtMostAtOnce(const TAtMostAtOnce&) = delete;
    TAtMostAtOnce& operator=(const TAtMostAtOnce&) = delete;
    std::wstring Where() const override { return FSource->Where(); }
    std::vector<TSourceFile> List() override { return FSource->List(); }
    std::string Read(const std::wstring& AName, uint64_t ALimit) override {
        return FSource->Read(AName, ALimit);
    }
    void Fetch(const std::wstring& ARemoteName, IByteSink& ASink, IFetchObserver* AObserver) override {
        WaitForSingleObject(FSlots, INFINITE);
        try {
            FSource->Fetch(ARemoteName, ASink, AObserver);
        } catch (...) {
            ReleaseSemaphore(FSlots, 1, nullptr);
            throw;
        }
        ReleaseSemaphore(FSlots, 1, nullptr);
    }
    bool MakesFolders() const override { return FSource->MakesFolders(); }

  private:
    std::shared_ptr<IUpdateSource> FSource;
    HANDLE FSlots;
};

struct TRefreshCount {
    bool ended = false;
    // Requests, the connections they went over, those of them the refresh opened, and how many of
    // those began with a full TLS handshake rather than a resumed session.
    size_t requests = 0, connections = 0, opened = 0, fullHandshakes = 0;
    double ms = 0;
};

std::string Field(const std::string& line, const std::string& name) {
    const size_t at = line.find(" " + name + "=");
    if (at == std::string::npos) return {};
    const size_t begin = at + name.size() + 2;
    return line.substr(begin, line.find(' ', begin) - begin);
}

// A refresh of the shared files over https from `source` into an empty folder, counted from the
// front's log. nginx numbers connections in the order it accepts them: those above every number
// logged before the refresh are the refresh's own; the others were left open by earlier requests of
// this process (Wine's WinHTTP pools connections per process).
TRefreshCount Refresh(const std::shared_ptr<IUpdateSource>& source, const fs::path& local,
                      const fs::path& log) {
    fs::remove_all(local);
    fs::create_directories(local / L"Relatorio");
    const std::vector<std::string> earlier = Lines(log);
    unsigned long long lastEarlier = 0;
    for (const std::string& line : earlier)
        if (const std::string conn = Field(line, "conn"); !conn.empty())
            lastEarlier = std::max(lastEarlier, std::stoull(conn));
    bool done = false;
    TRefreshCount count;
    const auto start = std::chrono::steady_clock::now();
    TFilesUpdater::New(local.wstring() + L"\\", source, TUpdateVerification{},
                       [&](const TVerificationReport&) { done = true; })
        ->Execute(L"", true);
    // The completion comes as a sent message: a bare GetMessageW loop would handle it and go on
    // waiting for a posted one.
    count.ended = PumpUntil([&] { return done; }, 60000);
    count.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    // nginx writes a request's line after its answer: the log is read once it has stopped growing.
    std::vector<std::string> lines = Lines(log);
    for (int i = 0; i < 20; ++i) {
        Sleep(150);
        std::vector<std::string> later = Lines(log);
        if (later.size() == lines.size()) break;
        lines = std::move(later);
    }
    std::set<std::string> connections;
    for (size_t i = earlier.size(); i < lines.size(); ++i) {
        const std::string conn = Field(lines[i], "conn"), tls = Field(lines[i], "tls");
        if (conn.empty() || tls.empty()) continue;
        ++count.requests;
        if (!connections.insert(conn).second || std::stoull(conn) <= lastEarlier) continue;
        ++count.opened;
        if (tls == ".") ++count.fullHandshakes;
    }
    count.connections = connections.size();
    return count;
}

// The 47 distinct shared files over https, four fetches at a time: one session for the whole
// update opens no more connections than fetches run at once, where a connection per request would
// open one per file. With AUREVIA_FRONT_REFRESH=shared or =per-request, the test instead times one
// refresh at the updater's own pace, of the session an update shares or of its peer, for
// bench/windows/https_refresh.sh (one process per refresh: Wine's pool outlives the sessions).
TEST_F(Front, AnHttpsRefreshReusesItsConnections) {
    const fs::path root = state_ / L"served";
    for (const std::wstring_view name : kSharedFiles)
        WriteWholeFile(root / std::wstring(name), PatternedContent(20000));
    TrustedCA ca(state_ / L"tls" / L"ca.pem");
    ASSERT_TRUE(ca.Added());
    const fs::path local = local_ / L"refresh";

    if (const char* side = std::getenv("AUREVIA_FRONT_REFRESH")) {
        const bool perRequest = std::string(side) == "per-request";
        std::shared_ptr<IUpdateSource> source;
        // AUREVIA_FRONT_CONNECTIONS: the shared session's cap on connections (0: none), for
        // bench/windows/connection_cap.sh.
        TTransferLimits limits;
        if (const char* cap = std::getenv("AUREVIA_FRONT_CONNECTIONS"))
            limits.Connections = static_cast<unsigned>(std::atoi(cap));
        if (perRequest)
            source = std::make_shared<TSessionPerRequestSource>(https_);
        else
            source = std::make_shared<TServiceSource>(https_, limits);
        const TRefreshCount count = Refresh(source, local, AccessLog());
        ASSERT_TRUE(count.ended);
        std::printf("refresh side=%s requests=%zu connections=%zu opened=%zu handshakes=%zu ms=%.1f\n",
                    perRequest ? "per-request" : "shared", count.requests, count.connections, count.opened,
                    count.fullHandshakes, count.ms);
        return;
    }

    constexpr LONG kAtOnce = 4;
    const TRefreshCount shared =
        Refresh(std::make_shared<TAtMostAtOnce>(std::make_shared<TServiceSource>(https_), kAtOnce), local,
                AccessLog());
    std::printf("%zu requests over %zu connections, %zu of them opened, %zu full TLS handshakes\n",
                shared.requests, shared.connections, shared.opened, shared.fullHandshakes);
    ASSERT_TRUE(shared.ended) << "the refresh did not end within a minute";
    for (const std::wstring_view name : kSharedFiles)
        EXPECT_TRUE(fs::exists(local / std::wstring(name))) << WideToUtf8(std::wstring(name));
    EXPECT_GE(shared.requests, 40u);
    EXPECT_LE(shared.opened, static_cast<size_t>(kAtOnce));
}

// The most connections a client held at once through the counting relay `index` (front.sh).
int MostConnectionsAtOnce(const fs::path& state, int index) {
    int most = -1;
    for (const std::string& line : Lines(state / ("counter" + std::to_string(index) + ".log")))
        if (const size_t at = line.find("most="); at != std::string::npos)
            most = std::stoi(line.substr(at + 5));
    return most;
}

// The updater at its own pace, whose pool runs dozens of fetches at once: whatever the pool's size,
// the update holds no more connections to the server at once than its cap, and every file still
// comes. Each cap goes through a relay of its own that counts the connections (a port no earlier
// request used, so that nothing is pooled for it yet). Without the cap this refresh held about 30.
TEST_F(Front, AnHttpsRefreshHoldsNoMoreConnectionsThanItsCap) {
    const fs::path root = state_ / L"served";
    for (const std::wstring_view name : kSharedFiles)
        WriteWholeFile(root / std::wstring(name), PatternedContent(20000));
    TrustedCA ca(state_ / L"tls" / L"ca.pem");
    ASSERT_TRUE(ca.Added());
    const struct {
        unsigned cap;
        int relay;
    } cases[] = {{6, 0}, {2, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE("Conexoes=" + std::to_string(c.cap));
        int port = 0;
        std::ifstream(state_ / ("counter" + std::to_string(c.relay) + ".port")) >> port;
        ASSERT_GT(port, 0) << "the counting relay did not start";
        TTransferLimits limits;
        limits.Connections = c.cap;
        const fs::path local = local_ / (L"refresh" + std::to_wstring(c.cap));
        const auto source =
            std::make_shared<TServiceSource>(L"https://localhost:" + std::to_wstring(port), limits);
        const TRefreshCount count = Refresh(source, local, AccessLog());
        const int most = MostConnectionsAtOnce(state_, c.relay);
        std::printf("cap %u: %zu requests, at most %d connections at once\n", c.cap, count.requests, most);
        ASSERT_TRUE(count.ended) << "the refresh did not end within a minute";
        for (const std::wstring_view name : kSharedFiles)
            EXPECT_TRUE(fs::exists(local / std::wstring(name))) << WideToUtf8(std::wstring(name));
        EXPECT_GE(count.requests, 40u);
        EXPECT_GE(most, 1);
        EXPECT_LE(most, static_cast<int>(c.cap));
    }
}

}  // namespace
