#pragma once
// Which proxy a request goes through, and the session that carries it. A named proxy or DIRECT is
// the session's own access type; the system's settings are looked up per server: the user's
// Internet settings (a PAC file's URL, automatic detection (WPAD), a manual proxy), and when they
// say nothing, WinHTTP's own default (netsh winhttp).
#include <windows.h>
#include <winhttp.h>

#include <string>

#include "update/transport/proxy_setting.h"

// What a request to one server is told about proxies.
struct TProxyRoute {
    // False: the session's access type decides (a named proxy, DIRECT, or WinHTTP's default).
    bool Override = false;
    DWORD AccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;  // NAMED_PROXY or NO_PROXY when Override
    std::wstring Proxy;                               // "host:port" list as WinHTTP takes it
    std::wstring Bypass;
    // The proxy as a message names it ("10.0.0.1:3128"; empty: no proxy); for the user's log and
    // for a refusal, never for a decision.
    std::wstring Name;
};

// WinHttpOpen with the access type of ASetting.
HINTERNET OpenProxiedSession(const wchar_t* AUserAgent, const TProxySetting& ASetting);

// The route of a request to AUrl under ASetting. For the system's settings this may download a PAC
// file or look for one (WPAD): it blocks, for seconds at worst (THttpSession runs it off the UI
// thread, once per server). ASession: the session the PAC file is fetched through.
TProxyRoute ProxyRouteFor(HINTERNET ASession, const TProxySetting& ASetting, const std::wstring& AUrl);

// A session of its own for a route that overrides (WinHttpOpen with its proxy, or none). A route is
// a session's, not a request's: Wine ignores WINHTTP_OPTION_PROXY on a request, and a session's
// connections are pooled for the requests that share it anyway.
HINTERNET OpenRoutedSession(const wchar_t* AUserAgent, const TProxyRoute& ARoute);
