// The client's requests through proxies under Wine: Debian's squid named in the settings, a PAC
// file in the user's Internet settings that sends the service's host to squid, a proxy that wants
// a password (Basic only) and one that offers the Windows logon (Negotiate, NTLM). The proxies are
// a ctest fixture (proxies.sh); every origin and stub listens on 127.0.0.2, which no other test
// uses, so a PAC file set here for the prefix sends nothing of theirs anywhere; squid listens on
// 127.0.0.3.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/string_convert.h"
#include "support/message_pump.h"
#include "support/test_files.h"
#include "update/source/service_source.h"
#include "update/transport/http_request.h"
#include "update/updater/files_updater.h"
#include "windows/update/transport/client_test_support.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> LinesOf(const fs::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The lines of `log` that contain `part`; squid writes a request's line once it has answered, so
// a line is waited for up to two seconds.
std::vector<std::string> LinesWith(const fs::path& log, const std::string& part, size_t atLeast = 1) {
    std::vector<std::string> found;
    for (int i = 0; i < 40; ++i, Sleep(50)) {
        found.clear();
        for (const std::string& line : LinesOf(log))
            if (line.find(part) != std::string::npos) found.push_back(line);
        if (found.size() >= atLeast) break;
    }
    return found;
}

// The user's Internet settings naming a PAC file, as the Internet Options dialog writes them, for
// as long as this lives; the earlier value comes back afterwards.
class UserPacFile {
  public:
    explicit UserPacFile(const std::string& url) {
        RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_,
                        nullptr);
        DWORD size = 0;
        if (RegQueryValueExW(key_, kValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
            saved_.resize(size);
            hadValue_ =
                RegQueryValueExW(key_, kValue, nullptr, nullptr, saved_.data(), &size) == ERROR_SUCCESS;
        }
        // Version, a counter, the flags (direct | PAC script), an empty proxy and bypass, the URL.
        const DWORD header[] = {0x46, 1, 0x1 | 0x4, 0, 0, static_cast<DWORD>(url.size())};
        std::vector<BYTE> blob(reinterpret_cast<const BYTE*>(header),
                               reinterpret_cast<const BYTE*>(header) + sizeof(header));
        blob.insert(blob.end(), url.begin(), url.end());
        blob.resize(blob.size() + 32, 0);
        set_ = RegSetValueExW(key_, kValue, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())) ==
               ERROR_SUCCESS;
    }
    ~UserPacFile() {
        if (hadValue_)
            RegSetValueExW(key_, kValue, 0, REG_BINARY, saved_.data(), static_cast<DWORD>(saved_.size()));
        else
            RegDeleteValueW(key_, kValue);
        RegCloseKey(key_);
    }
    UserPacFile(const UserPacFile&) = delete;
    UserPacFile& operator=(const UserPacFile&) = delete;
    bool Set() const { return set_; }

  private:
    static constexpr const wchar_t* kKey =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
    static constexpr const wchar_t* kValue = L"DefaultConnectionSettings";
    HKEY key_ = nullptr;
    std::vector<BYTE> saved_;
    bool hadValue_ = false, set_ = false;
};

class Proxies : public testing::Test {
  protected:
    void SetUp() override {
        state_ = FixtureFolder("AUREVIA_TEST_PROXIES_STATE");
        ASSERT_FALSE(state_.empty()) << "run through ctest: squid and the stubs are a ctest fixture";
        for (const char* name : {"squid", "origin", "basic", "logon"}) {
            int port = 0;
            std::ifstream(state_ / (std::string(name) + ".port")) >> port;
            ASSERT_GT(port, 0) << name << " did not start";
            ports_[name] = std::to_string(port);
        }
        test_ = testing::UnitTest::GetInstance()->current_test_info()->name();
    }

    std::wstring Origin(const std::string& path) const {
        return Utf8ToWide("http://127.0.0.2:" + ports_.at("origin") + "/" + test_ + "/" + path);
    }
    static TTransferLimits Through(TProxySetting::TMode mode, const std::string& server = "") {
        TTransferLimits limits;
        limits.Proxy = {mode, Utf8ToWide(server)};
        return limits;
    }
    // One GET through a session of these limits: the body, or the error's message.
    std::string Get(const TTransferLimits& limits, const std::wstring& url) {
        const THttpSession session(TRESTTimeouts{5000, 5000}, limits);
        std::string body;
        const std::string failure = RaisedMessage([&] {
            THttpRequest request(session, url, L"", TErrorCategory::Listing);
            body = request.ReadWholeBody(1 << 16, "too large");
        });
        return failure.empty() ? body : "failed: " + failure;
    }
    std::string Proxy(const char* name) const { return "127.0.0.2:" + ports_.at(name); }
    std::string Squid() const { return "127.0.0.3:" + ports_.at("squid"); }
    fs::path SquidLog() const { return state_ / L"access.log"; }

    fs::path state_;
    std::map<std::string, std::string> ports_;
    std::string test_;
};

TEST_F(Proxies, SquidNamedInTheSettingsCarriesTheRequestsAndDirectBypassesIt) {
    const std::string viaSquid = test_ + "/named";
    EXPECT_EQ(Get(Through(TProxySetting::TMode::Named, Squid()), Origin("named")), "ola /" + viaSquid);
    EXPECT_EQ(LinesWith(SquidLog(), viaSquid).size(), 1u) << "squid never saw the request";

    const std::string direct = test_ + "/direct";
    EXPECT_EQ(Get(Through(TProxySetting::TMode::Direct), Origin("direct")), "ola /" + direct);
    Sleep(300);
    EXPECT_TRUE(LinesWith(SquidLog(), direct).empty()) << "DIRECT went through squid";
}

TEST_F(Proxies, APacFileInTheUserSettingsSendsTheServiceHostThroughSquidAndIsFetchedOncePerSession) {
    const UserPacFile pac("http://127.0.0.2:" + ports_.at("origin") + "/" + test_ + "/proxy.pac");
    ASSERT_TRUE(pac.Set());
    const THttpSession session(TRESTTimeouts{5000, 5000}, TTransferLimits{});
    for (const std::wstring name : {L"first", L"second"}) {
        THttpRequest request(session, Origin(WideToUtf8(name)), L"", TErrorCategory::Listing);
        EXPECT_EQ(request.StatusCode(), 200u);
        EXPECT_EQ(request.ReadWholeBody(1 << 16, "too large"), "ola /" + test_ + "/" + WideToUtf8(name));
    }
    EXPECT_EQ(LinesWith(SquidLog(), test_ + "/first").size(), 1u) << "the PAC file's proxy was not used";
    EXPECT_EQ(LinesWith(SquidLog(), test_ + "/second").size(), 1u);
    // Both requests go to one server: the session ran the PAC file once for both.
    EXPECT_EQ(LinesWith(state_ / L"origin.log", test_ + "/proxy.pac").size(), 1u);
}

// A PAC file that cannot be run (here: no script at all) leaves the requests to the rest of the
// settings (here none: straight to the server), and a second update does not fetch it again.
TEST_F(Proxies, APacFileThatCannotBeRunIsPassedOverAndNotFetchedForEveryUpdate) {
    const UserPacFile pac("http://127.0.0.2:" + ports_.at("origin") + "/" + test_ + "/broken.pac");
    ASSERT_TRUE(pac.Set());
    for (const char* name : {"first", "second"})
        EXPECT_EQ(Get(TTransferLimits{}, Origin(name)), "ola /" + test_ + "/" + name);
    EXPECT_EQ(LinesWith(state_ / L"origin.log", test_ + "/broken.pac").size(), 1u);
    Sleep(300);
    EXPECT_TRUE(LinesWith(SquidLog(), test_ + "/").empty()) << "the requests went through squid";
}

// The proxy's 407: a password is never asked for nor sent; the Windows logon is offered once where
// the proxy takes it. Wine cannot make a Negotiate or NTLM token without Samba's ntlm_auth, so there
// the logon proxy's second request carries none and it refuses again; on Windows it carries the
// user's token, which the stub refuses all the same.
TEST_F(Proxies, AProxyAsking407GetsNoPasswordAndTheFailureNamesIt) {
    const struct {
        const char* stub;
        size_t requests;      // what the proxy saw
        const char* wording;  // in the message
    } cases[] = {
        {"basic", 1, "exige usuário e senha (autenticação Basic)"},
        {"logon", 2, "recusou o logon do Windows"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stub);
        const std::string path = test_ + "/" + c.stub;
        const THttpSession session(TRESTTimeouts{5000, 5000},
                                   Through(TProxySetting::TMode::Named, Proxy(c.stub)));
        try {
            THttpRequest request(session, Origin(c.stub), L"", TErrorCategory::Listing);
            ADD_FAILURE() << "answered " << request.StatusCode();
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find("O proxy " + Proxy(c.stub) + " "), std::string::npos)
                << e.what();
            EXPECT_NE(std::string(e.what()).find(c.wording), std::string::npos) << e.what();
            EXPECT_EQ(e.Category(), TErrorCategory::Listing);
            EXPECT_EQ(e.Code(), HttpStatusCode(407));
        }
        const std::vector<std::string> seen =
            LinesWith(state_ / (std::string(c.stub) + ".log"), path, c.requests);
        EXPECT_EQ(seen.size(), c.requests);
        for (const std::string& line : seen)
            EXPECT_EQ(line.find("Basic "), std::string::npos) << "a password went to the proxy: " << line;
    }
}

// A whole update through the proxy that wants a password: it ends with that message, and neither a
// file nor a temporary is left in the program folder.
TEST_F(Proxies, AnUpdateThroughAProxyThatWantsAPasswordFailsAndWritesNothing) {
    TempFolder local;
    const auto source = std::make_shared<TServiceSource>(
        Utf8ToWide("http://127.0.0.2:" + ports_.at("origin") + "/"),
        Through(TProxySetting::TMode::Named, Proxy("basic")), TRESTTimeouts{5000, 5000}, kQuickRetries);
    const std::string failure = RaisedMessage([&] {
        TFilesUpdater::New(local.Path(), source, TUpdateVerification{}, nullptr)->Execute(L"", true);
    });
    EXPECT_NE(failure.find("O proxy " + Proxy("basic")), std::string::npos) << failure;
    EXPECT_TRUE(fs::is_empty(local.Dir()));
}

}  // namespace
