#include "launcher/fleet/fleet_sender.h"

#include <windows.h>
#include <winhttp.h>

#include "base/error.h"
#include "base/handles.h"
#include "common/fleet_report_format.h"
#include "update/transport/http_request.h"
#include "update/transport/proxy_challenge.h"
#include "update/transport/proxy_route.h"

namespace {

constexpr wchar_t kUserAgent[] = L"Aurevia-Fleet/1";

// A transport failure of a report is neither a listing nor a fetch.
void Check(BOOL AOk) {
    if (!AOk) throw TTransportError(GetLastError(), TErrorCategory::Other);
}

// The answer's formats header, read into a small buffer: a longer one is no list of ours.
bool AnswerTakesFormat2(HINTERNET ARequest) {
    const std::wstring name(kFleetFormatsHeader.begin(), kFleetFormatsHeader.end());
    wchar_t value[128] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (!WinHttpQueryHeaders(ARequest, WINHTTP_QUERY_CUSTOM, name.c_str(), value, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return false;
    std::string text;
    for (size_t i = 0; i < size / sizeof(wchar_t); ++i)
        text.push_back(value[i] < 0x80 ? static_cast<char>(value[i]) : '?');
    return FleetFormatsTakeFormat2(text);
}

}  // namespace

std::wstring FleetReportUrl(const std::wstring& ABaseUrl) {
    std::wstring url = ABaseUrl;
    while (!url.empty() && (url.back() == L'/' || url.back() == L' ')) url.pop_back();
    return url + L"/report";
}

TFleetDelivery PostFleetBatch(const std::wstring& ABaseUrl, const std::string& ABody,
                              const TFleetTimeouts& ATimeouts, const TProxySetting& AProxy,
                              bool* ATakesFormat2) {
    if (ATakesFormat2) *ATakesFormat2 = false;
    const std::wstring url = FleetReportUrl(ABaseUrl);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    Check(WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts));
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
        throw TTransportError(ERROR_WINHTTP_UNRECOGNIZED_SCHEME, TErrorCategory::Other);
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

    unique_hinternet session(OpenProxiedSession(kUserAgent, AProxy));
    Check(session ? TRUE : FALSE);
    // The system's settings may name a PAC file: looked up here, on the sender's pool thread.
    const TProxyRoute route = ProxyRouteFor(session.get(), AProxy, url);
    if (route.Override) {
        session.reset(OpenRoutedSession(kUserAgent, route));
        Check(session ? TRUE : FALSE);
    }
    WinHttpSetTimeouts(session.get(), ATimeouts.ResolveMs, ATimeouts.ConnectMs, ATimeouts.SendMs,
                       ATimeouts.ReceiveMs);
    // The timeouts above do not bound the wait for an answer that never comes everywhere.
    DWORD responseTimeout = static_cast<DWORD>(ATimeouts.ReceiveMs);
    WinHttpSetOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof(responseTimeout));
    // A report goes to the address configured, not wherever a redirect points.
    DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(session.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof(redirects));
    const unique_hinternet connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    Check(connection ? TRUE : FALSE);
    const unique_hinternet request(WinHttpOpenRequest(
        connection.get(), L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
        parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
    Check(request ? TRUE : FALSE);
    const std::wstring headers = L"Content-Type: application/json\r\n";
    DWORD status = 0;
    for (bool logonOffered = false;;) {
        Check(WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                 const_cast<char*>(ABody.data()), static_cast<DWORD>(ABody.size()),
                                 static_cast<DWORD>(ABody.size()), 0));
        Check(WinHttpReceiveResponse(request.get(), nullptr));
        DWORD size = sizeof(status);
        Check(WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                  WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX));
        if (status != 407) break;
        logonOffered = OfferLogonToProxy(request.get(), route.Name, logonOffered, TErrorCategory::Other);
    }
    if (ATakesFormat2) *ATakesFormat2 = AnswerTakesFormat2(request.get());
    if (status == 400) return TFleetDelivery::Rejected;
    if (status != 200)
        throw Error("HTTP " + std::to_string(status),
                    status >= 500 ? TErrorCategory::Server : TErrorCategory::Other, HttpStatusCode(status));
    // Only the status decides: the answer's body ({"accepted":N}) is never read, so a service that
    // dribbles one holds nothing here.
    return TFleetDelivery::Accepted;
}
