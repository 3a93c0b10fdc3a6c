#include "update/transport/proxy_route.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>

namespace {

// WinHTTP hands out strings the caller frees with GlobalFree.
class TGlobalText {
  public:
    TGlobalText() = default;
    ~TGlobalText() {
        if (FText) GlobalFree(FText);
    }
    TGlobalText(const TGlobalText&) = delete;
    TGlobalText& operator=(const TGlobalText&) = delete;
    LPWSTR* Out() { return &FText; }
    std::wstring Text() const { return FText ? std::wstring(FText) : std::wstring(); }

  private:
    LPWSTR FText = nullptr;
};

// Automatic detection that found nothing is not asked again for a while: where no WPAD server
// exists, each attempt waits out its DHCP and DNS lookups (seconds), and a workstation's network
// seldom gains one.
constexpr std::chrono::minutes kAutoDetectMemory{30};
std::atomic<int64_t> GAutoDetectFailedAt{INT64_MIN};

int64_t NowMinutes() {
    return std::chrono::duration_cast<std::chrono::minutes>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool AutoDetectRecentlyFailed() {
    const int64_t failed = GAutoDetectFailedAt.load();
    return failed != INT64_MIN && NowMinutes() - failed < kAutoDetectMemory.count();
}

// A PAC file that could not be fetched or run is not asked again for a while either: a server that
// does not answer would cost every update its timeouts. Meanwhile the manual proxy or WinHTTP's
// default serves, as when the file is missing.
constexpr std::chrono::minutes kScriptFailureMemory{5};
std::mutex GScriptFailuresLock;
std::map<std::wstring, int64_t> GScriptFailures;

bool ScriptRecentlyFailed(const std::wstring& AUrl) {
    const std::lock_guard lock(GScriptFailuresLock);
    const auto found = GScriptFailures.find(AUrl);
    return found != GScriptFailures.end() && NowMinutes() - found->second < kScriptFailureMemory.count();
}

void NoteScriptFailure(const std::wstring& AUrl) {
    const std::lock_guard lock(GScriptFailuresLock);
    // Bounded: a user's settings name one PAC file, seldom a few.
    if (GScriptFailures.size() >= 16) GScriptFailures.clear();
    GScriptFailures[AUrl] = NowMinutes();
}

// The first proxy of a list ("a:1;b:2" or "http=a:1 https=b:2") as a message names it.
std::wstring FirstProxyName(const std::wstring& AList) {
    const size_t end = AList.find_first_of(L"; ");
    std::wstring first = AList.substr(0, end);
    if (const size_t equals = first.find(L'='); equals != std::wstring::npos) first.erase(0, equals + 1);
    return first;
}

TProxyRoute RouteOf(DWORD AAccessType, std::wstring AProxy, std::wstring ABypass) {
    TProxyRoute route;
    route.Override = true;
    route.AccessType = AProxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : AAccessType;
    if (route.AccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        route.Name = FirstProxyName(AProxy);
        route.Proxy = std::move(AProxy);
        route.Bypass = std::move(ABypass);
    }
    return route;
}

// What a PAC file says for AUrl, when it could be fetched and run.
bool RouteByScript(HINTERNET ASession, const std::wstring& AUrl, WINHTTP_AUTOPROXY_OPTIONS& AOptions,
                   TProxyRoute& ARoute) {
    // The PAC file's server may itself ask the user's logon.
    AOptions.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetProxyForUrl(ASession, AUrl.c_str(), &AOptions, &info)) return false;
    TGlobalText proxy, bypass;
    *proxy.Out() = info.lpszProxy;
    *bypass.Out() = info.lpszProxyBypass;
    ARoute = RouteOf(info.dwAccessType, proxy.Text(), bypass.Text());
    return true;
}

TProxyRoute SystemRoute(HINTERNET ASession, const std::wstring& AUrl) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
    if (WinHttpGetIEProxyConfigForCurrentUser(&user)) {
        TGlobalText autoConfigUrl, proxy, bypass;
        *autoConfigUrl.Out() = user.lpszAutoConfigUrl;
        *proxy.Out() = user.lpszProxy;
        *bypass.Out() = user.lpszProxyBypass;
        TProxyRoute route;
        // The PAC file IT named goes first: it is the more deliberate choice of the two, and
        // costs no search.
        const std::wstring scriptUrl = autoConfigUrl.Text();
        if (!scriptUrl.empty() && !ScriptRecentlyFailed(scriptUrl)) {
            WINHTTP_AUTOPROXY_OPTIONS options{};
            options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
            options.lpszAutoConfigUrl = scriptUrl.c_str();
            if (RouteByScript(ASession, AUrl, options, route)) return route;
            NoteScriptFailure(scriptUrl);
        }
        if (user.fAutoDetect && !AutoDetectRecentlyFailed()) {
            WINHTTP_AUTOPROXY_OPTIONS options{};
            options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
            options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
            if (RouteByScript(ASession, AUrl, options, route)) return route;
            if (GetLastError() == ERROR_WINHTTP_AUTODETECTION_FAILED) GAutoDetectFailedAt = NowMinutes();
        }
        // A PAC file that cannot be had falls back to the manual proxy, as browsers do.
        if (!proxy.Text().empty())
            return RouteOf(WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.Text(), bypass.Text());
    }
    // The user's settings say nothing: the session's WinHTTP default decides; only its name is
    // wanted here.
    TProxyRoute route;
    WINHTTP_PROXY_INFO machine{};
    if (WinHttpGetDefaultProxyConfiguration(&machine)) {
        TGlobalText proxy, bypass;
        *proxy.Out() = machine.lpszProxy;
        *bypass.Out() = machine.lpszProxyBypass;
        if (machine.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY)
            route.Name = FirstProxyName(proxy.Text());
    }
    return route;
}

}  // namespace

HINTERNET OpenProxiedSession(const wchar_t* AUserAgent, const TProxySetting& ASetting) {
    switch (ASetting.Mode) {
        case TProxySetting::TMode::Direct:
            return WinHttpOpen(AUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0);
        case TProxySetting::TMode::Named:
            // No bypass list: IT named this proxy for every request, the local ones included.
            return WinHttpOpen(AUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, ASetting.Server.c_str(),
                               WINHTTP_NO_PROXY_BYPASS, 0);
        case TProxySetting::TMode::System:
            break;
    }
    return WinHttpOpen(AUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                       WINHTTP_NO_PROXY_BYPASS, 0);
}

TProxyRoute ProxyRouteFor(HINTERNET ASession, const TProxySetting& ASetting, const std::wstring& AUrl) {
    switch (ASetting.Mode) {
        case TProxySetting::TMode::Direct:
            return {};
        case TProxySetting::TMode::Named: {
            TProxyRoute route;
            route.Name = ASetting.Server;
            return route;
        }
        case TProxySetting::TMode::System:
            break;
    }
    return SystemRoute(ASession, AUrl);
}

HINTERNET OpenRoutedSession(const wchar_t* AUserAgent, const TProxyRoute& ARoute) {
    if (ARoute.AccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY)
        return WinHttpOpen(AUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, ARoute.Proxy.c_str(),
                           ARoute.Bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : ARoute.Bypass.c_str(), 0);
    return WinHttpOpen(AUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                       WINHTTP_NO_PROXY_BYPASS, 0);
}
