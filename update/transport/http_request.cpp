#include "update/transport/http_request.h"

#include <winsock2.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "base/error.h"
#include "base/string_convert.h"
#include "base/win32_error.h"
#include "update/transport/content_type.h"
#include "tasks/task.h"
#include "update/transport/head_wait.h"
#include "update/transport/proxy_challenge.h"
#include "update/transport/pumped_wait.h"
#include "update/transport/resume_rules.h"
#include "update/transport/tls_error_text.h"

namespace {

constexpr wchar_t kUserAgent[] = L"Aurevia-Launcher/1.0";
constexpr wchar_t kAcceptHeaders[] =
    L"Accept: application/json, text/plain; q=0.9, text/html;q=0.8,\r\n"
    L"Accept-Charset: UTF-8, *;q=0.8\r\n";
constexpr DWORD kMaxRedirects = 10;
constexpr size_t kReadChunk = 64 * 1024;
constexpr std::chrono::milliseconds kHeadSlack{1000};

// A failure of the session's set-up, which serves every request alike.
void CheckSession(BOOL ok) {
    if (!ok) throw TTransportError(GetLastError(), TErrorCategory::Other);
}

std::wstring QueryHeaderText(HINTERNET request, DWORD info) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (!WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                             WINHTTP_NO_HEADER_INDEX))
        return {};
    text.resize(size / sizeof(wchar_t));
    return text;
}

}  // namespace

TErrorCategory TransportFailureCategory(DWORD ACode, TErrorCategory AOtherwise) {
    // Wine reports a timeout with the socket's own code.
    if (ACode == ERROR_WINHTTP_TIMEOUT || ACode == WSAETIMEDOUT) return TErrorCategory::Timeout;
    if (IsTlsFailure(ACode)) return TErrorCategory::Tls;
    return AOtherwise;
}

TTransportError::TTransportError(DWORD ACode, TErrorCategory AOtherwise)
    : Error("REST request failed: " + WideToUtf8(WinHttpErrorText(ACode)),
            TransportFailureCategory(ACode, AOtherwise), WinHttpCode(ACode)) {}

TTransportError::TTransportError(DWORD ACode, TErrorCategory ACategory, const std::string& AText)
    : Error("REST request failed: " + AText, ACategory, WinHttpCode(ACode)) {}

std::string ListingTooLargeText(uint64_t ALimit) {
    return "A lista de arquivos do servidor passa de " + std::to_string(ALimit >> 20) +
           " MB: a atualização foi cancelada e nenhum arquivo foi baixado";
}

std::string DeadlineText(DWORD ADeadlineMs) {
    return "A atualização não terminou em " + std::to_string(ADeadlineMs / 1000) + " s e foi interrompida";
}

std::wstring ShortText(std::wstring AText, size_t AMax) {
    if (AText.size() <= AMax) return AText;
    size_t cut = AMax;
    // Never split a surrogate pair.
    if (cut > 0 && AText[cut - 1] >= 0xD800 && AText[cut - 1] <= 0xDBFF) --cut;
    AText.resize(cut);
    return AText + L"\u2026";
}

THttpSession::THttpSession(const TRESTTimeouts& ATimeouts, const TTransferLimits& ALimits)
    : FTimeouts(ATimeouts), FLimits(ALimits) {
    if (FLimits.DeadlineMs != 0)
        FDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(FLimits.DeadlineMs);
    FSession.reset(OpenProxiedSession(kUserAgent, ALimits.Proxy));
    if (!FSession) CheckSession(FALSE);
    if (ALimits.Connections != 0) {
        const LONG places = static_cast<LONG>(std::min<unsigned>(ALimits.Connections, 1024));
        FConnectionSlots.reset(CreateSemaphoreW(nullptr, places, places, nullptr));
        if (!FConnectionSlots) CheckSession(FALSE);
    }
    Configure(FSession.get());
}

void THttpSession::Configure(HINTERNET ASession) const {
    // WinHttpSetTimeouts alone does not bound the wait for an answer that never comes everywhere
    // (Wine); the receive-response timeout does.
    CheckSession(WinHttpSetTimeouts(ASession, 0, static_cast<int>(FTimeouts.ConnectMs),
                                    static_cast<int>(FTimeouts.ResponseMs),
                                    static_cast<int>(FTimeouts.ResponseMs)));
    DWORD responseTimeout = FTimeouts.ResponseMs;
    WinHttpSetOption(ASession, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof(responseTimeout));
    DWORD maxRedirects = kMaxRedirects;
    WinHttpSetOption(ASession, WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &maxRedirects,
                     sizeof(maxRedirects));
    if (FLimits.Connections != 0) {
        // WinHTTP's own cap, where it keeps one (Windows; Wine takes the option and ignores it). The
        // slots are what holds everywhere.
        DWORD perServer = std::min<unsigned>(FLimits.Connections, 1024);
        WinHttpSetOption(ASession, WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &perServer, sizeof(perServer));
        WinHttpSetOption(ASession, WINHTTP_OPTION_MAX_CONNS_PER_1_0_SERVER, &perServer, sizeof(perServer));
    }
}

HINTERNET THttpSession::HandleFor(const TProxyRoute& ARoute) const {
    if (!ARoute.Override) return FSession.get();
    const std::wstring key = std::to_wstring(ARoute.AccessType) + L"|" + ARoute.Proxy + L"|" + ARoute.Bypass;
    const std::lock_guard lock(FRoutesLock);
    unique_hinternet& handle = FRoutedSessions[key];
    if (!handle) {
        handle.reset(OpenRoutedSession(kUserAgent, ARoute));
        if (!handle) CheckSession(FALSE);
        Configure(handle.get());
    }
    return handle.get();
}

void THttpSession::CheckDeadline() const {
    if (FDeadline && std::chrono::steady_clock::now() >= *FDeadline)
        throw Error(DeadlineText(FLimits.DeadlineMs), TErrorCategory::Timeout);
}

std::optional<std::chrono::milliseconds> THttpSession::Remaining() const {
    if (!FDeadline) return std::nullopt;
    return std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      *FDeadline - std::chrono::steady_clock::now()));
}

TConnectionSlot::~TConnectionSlot() {
    if (FSemaphore) ReleaseSemaphore(FSemaphore, 1, nullptr);
}

TConnectionSlot& TConnectionSlot::operator=(TConnectionSlot&& AOther) noexcept {
    if (this != &AOther) {
        if (FSemaphore) ReleaseSemaphore(FSemaphore, 1, nullptr);
        FSemaphore = std::exchange(AOther.FSemaphore, nullptr);
    }
    return *this;
}

TConnectionSlot THttpSession::AcquireConnection() const {
    if (!FConnectionSlots) return {};
    // A wait on a semaphore takes a place when it wakes for it.
    if (!WaitDispatchingMessages(FConnectionSlots.get(), Remaining())) {
        CheckDeadline();
        throw Error(DeadlineText(FLimits.DeadlineMs), TErrorCategory::Timeout);
    }
    return TConnectionSlot(FConnectionSlots.get());
}

TProxyRoute THttpSession::RouteFor(const std::wstring& AServer, const std::wstring& AUrl) const {
    {
        const std::lock_guard lock(FRoutesLock);
        if (const auto found = FRoutes.find(AServer); found != FRoutes.end()) return found->second;
    }
    TProxyRoute route;
    if (FLimits.Proxy.Mode != TProxySetting::TMode::System) {
        route = ProxyRouteFor(FSession.get(), FLimits.Proxy, AUrl);
    } else {
        // The lock is not held meanwhile: the UI thread must never wait on a fetch's lookup without
        // dispatching its messages. Two first requests may then both look; both find the same.
        auto found = std::make_shared<TProxyRoute>();
        const HINTERNET session = FSession.get();
        const TProxySetting setting = FLimits.Proxy;
        const std::shared_ptr<ITask> task = TTask::New([found, session, setting, AUrl] {
                                                *found = ProxyRouteFor(session, setting, AUrl);
                                            })->Start();
        // Unbounded: WinHTTP bounds the PAC file's download and the search by its own timeouts, and
        // the task reads the session, which must outlive it.
        WaitDispatchingMessages(task->EndedEvent(), std::nullopt);
        route = *found;
    }
    const std::lock_guard lock(FRoutesLock);
    return FRoutes.try_emplace(AServer, std::move(route)).first->second;
}

std::wstring WinHttpErrorText(DWORD code) {
    std::wstring text = TlsErrorText(code);
    if (!text.empty()) return text;
    if (code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST) {
        // winhttp.dll carries the texts on Windows; Wine's has no message table, but its
        // wininet.dll has the same texts for the same codes.
        if (HMODULE winhttp = GetModuleHandleW(L"winhttp.dll")) text = SystemErrorText(code, winhttp);
        if (text.empty()) {
            unique_hmodule wininet(LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE));
            if (wininet) text = SystemErrorText(code, wininet.get());
        }
    }
    if (text.empty()) text = SystemErrorText(code);
    if (text.empty()) {
        // Codes for which Wine's tables hold no text; a timeout reaches us as the socket's own.
        switch (code) {
            case WSAETIMEDOUT:
                return WinHttpErrorText(ERROR_WINHTTP_TIMEOUT);
            case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
                return L"The server response could not be parsed.";
            default:
                text = L"Error " + std::to_wstring(code);
        }
    }
    return text;
}

std::wstring DecodeText(const std::string& bytes, std::string_view contentType) {
    if (bytes.empty()) return {};
    unsigned codePage = CodePageOfCharset(CharsetOf(contentType));
    if (codePage == 0) codePage = CP_UTF8;
    if (codePage == 1200 || codePage == 1201) {
        std::wstring text(bytes.size() / 2, L'\0');
        for (size_t i = 0; i < text.size(); ++i) {
            const auto lo = static_cast<unsigned char>(bytes[2 * i + (codePage == 1200 ? 0 : 1)]);
            const auto hi = static_cast<unsigned char>(bytes[2 * i + (codePage == 1200 ? 1 : 0)]);
            text[i] = static_cast<wchar_t>(lo | (hi << 8));
        }
        return text;
    }
    if (codePage == CP_UTF8) return Utf8ToWide(bytes);
    const int length =
        MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (length <= 0) return Utf8ToWide(bytes);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), length);
    return text;
}

THttpRequest::THttpRequest(const THttpSession& session, const std::wstring& url,
                           const std::wstring& extraHeaders, TErrorCategory failure)
    : FFailure(failure) {
    Send(session, url, extraHeaders);
}

THttpRequest::THttpRequest(const std::wstring& url, const TRESTTimeouts& timeouts,
                           const std::wstring& extraHeaders, TErrorCategory failure)
    : FFailure(failure), FOwnSession(std::make_unique<THttpSession>(timeouts, TTransferLimits{})) {
    Send(*FOwnSession, url, extraHeaders);
}

void THttpRequest::Fail(DWORD code) const { throw TTransportError(code, FFailure); }

void THttpRequest::Check(BOOL ok) const {
    if (!ok) Fail(GetLastError());
}

void THttpRequest::Send(const THttpSession& session, const std::wstring& url,
                        const std::wstring& extraHeaders) {
    FSession = &session;
    session.CheckDeadline();
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    Check(WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts));
    if (parts.dwHostNameLength == 0) Fail(ERROR_WINHTTP_INVALID_URL);
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring pathAndQuery(parts.lpszUrlPath, parts.dwUrlPathLength);
    pathAndQuery.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (pathAndQuery.empty()) pathAndQuery = L"/";

    const std::wstring scheme(parts.lpszScheme, parts.dwSchemeLength);
    const TProxyRoute route =
        session.RouteFor(scheme + L"://" + host + L":" + std::to_wstring(parts.nPort), url);
    FSlot = session.AcquireConnection();
    FConnection.reset(WinHttpConnect(session.HandleFor(route), host.c_str(), parts.nPort, 0));
    if (!FConnection) Fail(GetLastError());
    // The URL is percent-encoded already: WinHTTP must send it exactly as built.
    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= WINHTTP_FLAG_SECURE;
    FRequest.reset(WinHttpOpenRequest(FConnection.get(), L"GET", pathAndQuery.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!FRequest) Fail(GetLastError());
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    WinHttpSetOption(FRequest.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy, sizeof(redirectPolicy));
    // Near the deadline a request may wait only for what is left of it.
    if (const auto remaining = session.Remaining()) {
        const int left = static_cast<int>(std::max<int64_t>(1, remaining->count()));
        const auto bounded = [left](DWORD ms) { return std::min(left, static_cast<int>(ms)); };
        const TRESTTimeouts& t = session.Timeouts();
        WinHttpSetTimeouts(FRequest.get(), 0, bounded(t.ConnectMs), bounded(t.ResponseMs),
                           bounded(t.ResponseMs));
        DWORD responseTimeout = static_cast<DWORD>(bounded(t.ResponseMs));
        WinHttpSetOption(FRequest.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                         sizeof(responseTimeout));
    }

    // WinHTTP's own timeouts end a silent server's request first; the bound catches the server that
    // keeps the head coming a byte at a time (update/transport/head_wait.h).
    const TRESTTimeouts& timeouts = session.Timeouts();
    std::chrono::milliseconds bound{int64_t{timeouts.ConnectMs} + int64_t{timeouts.ResponseMs}};
    if (const auto remaining = session.Remaining()) bound = std::min(bound, *remaining);
    for (bool logonOffered = false;;) {
        if (!SendAndReceiveHead(FRequest, FConnection, kAcceptHeaders + extraHeaders, bound + kHeadSlack,
                                FFailure)) {
            session.CheckDeadline();
            Fail(ERROR_WINHTTP_TIMEOUT);
        }
        DWORD status = 0;
        DWORD size = sizeof(status);
        Check(WinHttpQueryHeaders(FRequest.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                  WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX));
        FStatusCode = status;
        if (status != 407) break;
        // The same request goes again with the user's logon, or the update ends here.
        logonOffered = OfferLogonToProxy(FRequest.get(), route.Name, logonOffered, FFailure);
    }
    FVersion = QueryHeaderText(FRequest.get(), WINHTTP_QUERY_VERSION);
    FReasonText = QueryHeaderText(FRequest.get(), WINHTTP_QUERY_STATUS_TEXT);
    FContentType = WideToUtf8(QueryHeaderText(FRequest.get(), WINHTTP_QUERY_CONTENT_TYPE));
    const std::wstring length = QueryHeaderText(FRequest.get(), WINHTTP_QUERY_CONTENT_LENGTH);
    if (!length.empty()) {
        // "-1", "+5", " 5" or a number past 64 bits is no length: the answer cannot be trusted.
        FContentLength = ParseContentLength(WideToUtf8(length));
        if (!FContentLength) Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
    }
}

std::wstring THttpRequest::Header(DWORD info) const { return QueryHeaderText(FRequest.get(), info); }

std::wstring THttpRequest::StatusLine() const {
    std::wstring line;
    if (FVersion == L"HTTP/1.0" || FVersion == L"HTTP/1.1" || FVersion == L"HTTP/2.0")
        line = FVersion + L" ";
    else if (FVersion == L"HTTP/2")
        line = L"HTTP/2.0 ";
    return line + std::to_wstring(FStatusCode) + L" " + FReasonText;
}

void THttpRequest::ReadBody(const std::function<void(const char*, size_t)>& sink) {
    using clock = std::chrono::steady_clock;
    const TTransferLimits& limits = FSession->Limits();
    std::vector<char> buffer(kReadChunk);
    uint64_t received = 0;
    // The minimum rate is checked over consecutive windows: each must bring MinBytes.
    clock::time_point windowStart = clock::now();
    uint64_t windowBytes = 0;
    for (;;) {
        // Asking what is there first makes each read return what has arrived, however little: a read
        // for a whole buffer may wait until the buffer is full, and a trickle would never be seen.
        DWORD available = 0;
        Check(WinHttpQueryDataAvailable(FRequest.get(), &available));
        if (available == 0) break;
        DWORD read = 0;
        Check(WinHttpReadData(FRequest.get(), buffer.data(),
                              static_cast<DWORD>(std::min<size_t>(available, buffer.size())), &read));
        if (read == 0) break;
        received += read;
        windowBytes += read;
        if (FContentLength && received > *FContentLength) Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
        sink(buffer.data(), read);
        const clock::time_point now = clock::now();
        if (limits.MinWindowMs != 0 && now - windowStart >= std::chrono::milliseconds(limits.MinWindowMs)) {
            if (windowBytes < limits.MinBytes)
                throw TTransportError(ERROR_WINHTTP_TIMEOUT, TErrorCategory::Timeout,
                                      "o servidor enviou menos de " + std::to_string(limits.MinBytes) +
                                          " bytes em " + std::to_string(limits.MinWindowMs / 1000) + " s");
            windowStart = now;
            windowBytes = 0;
        }
        FSession->CheckDeadline();
    }
    if (FContentLength && received < *FContentLength) Fail(ERROR_WINHTTP_CONNECTION_ERROR);
}

std::string THttpRequest::ReadWholeBody(uint64_t ALimit, const std::string& ATooLarge) {
    if (FContentLength && *FContentLength > ALimit) throw Error(ATooLarge, TErrorCategory::TooLarge);
    std::string body;
    ReadBody([&](const char* data, size_t size) {
        if (size > ALimit - body.size()) throw Error(ATooLarge, TErrorCategory::TooLarge);
        body.append(data, size);
    });
    return body;
}

std::wstring THttpRequest::ReadBodyText(uint64_t ALimit, const std::string& ATooLarge) {
    std::string body = ReadWholeBody(ALimit, ATooLarge);
    if (FStatusCode < 300 && CharsetOf(FContentType).empty() && IsBinaryMediaType(FContentType)) return {};
    return DecodeText(body, FContentType);
}

std::wstring THttpRequest::ReadErrorText() {
    std::string body;
    try {
        ReadBody([&](const char* data, size_t size) {
            body.append(data, static_cast<size_t>(std::min<uint64_t>(size, kErrorBodyLimit - body.size())));
            // What follows is not wanted: closing the request drops it with the connection.
            if (body.size() >= kErrorBodyLimit) throw std::length_error("enough");
        });
    } catch (const std::length_error&) {
    }
    // A multi-byte character cut at the end decodes to a replacement character, which ShortText drops
    // in all but the rarest case.
    return ShortText(DecodeText(body, FContentType));
}
