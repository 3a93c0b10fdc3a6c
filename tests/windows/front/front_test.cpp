// The launcher's client through nginx in front of two reference service instances, configured as
// deploy/nginx/ renders it: listing and download, a repeated listing answered 304, a download that
// the front cuts and that resumes, and https with the front's certificate trusted or not.
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/string_convert.h"
#include "support/test_files.h"
#include "update/client/rest_client.h"
#include "windows/client/client_test_support.h"

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
    ASSERT_EQ(observer.begins.size(), 2u);
    EXPECT_EQ(observer.begins[0], 0u);
    EXPECT_GT(observer.begins[1], 0u);
    EXPECT_LT(observer.begins[1], content.size());
    EXPECT_TRUE(observer.seen == content);
    const auto lines = LogLinesWith(AccessLog(), "/download?file=" + WideToUtf8(folder_), 2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\" 200 "), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\" 206 "), std::string::npos) << lines[1];
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

}  // namespace
