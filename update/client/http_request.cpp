#include "update/client/http_request.h"

#include <winsock2.h>

#include <vector>

#include "base/error.h"
#include "base/string_convert.h"
#include "base/win32_error.h"
#include "update/client/content_type.h"
#include "update/client/tls_error_text.h"

namespace {

constexpr wchar_t kUserAgent[] = L"Aurevia-Launcher/1.0";
constexpr wchar_t kAcceptHeaders[] =
    L"Accept: application/json, text/plain; q=0.9, text/html;q=0.8,\r\n"
    L"Accept-Charset: UTF-8, *;q=0.8\r\n";
constexpr DWORD kMaxRedirects = 10;
constexpr size_t kReadChunk = 64 * 1024;

[[noreturn]] void ThrowTransportError(DWORD code) { throw TTransportError(code); }

void Check(BOOL ok) {
    if (!ok) ThrowTransportError(GetLastError());
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

TTransportError::TTransportError(DWORD ACode)
    : Error("REST request failed: " + WideToUtf8(WinHttpErrorText(ACode))), FCode(ACode) {}

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

THttpRequest::THttpRequest(const std::wstring& url, const TRESTTimeouts& timeouts,
                           const std::wstring& extraHeaders) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    Check(WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts));
    if (parts.dwHostNameLength == 0) ThrowTransportError(ERROR_WINHTTP_INVALID_URL);
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring pathAndQuery(parts.lpszUrlPath, parts.dwUrlPathLength);
    pathAndQuery.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (pathAndQuery.empty()) pathAndQuery = L"/";

    FSession.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
    if (!FSession) ThrowTransportError(GetLastError());
    // WinHttpSetTimeouts alone does not bound the wait for an answer that never comes everywhere
    // (Wine); the receive-response timeout does.
    Check(WinHttpSetTimeouts(FSession.get(), 0, static_cast<int>(timeouts.ConnectMs),
                             static_cast<int>(timeouts.ResponseMs), static_cast<int>(timeouts.ResponseMs)));
    DWORD responseTimeout = timeouts.ResponseMs;
    WinHttpSetOption(FSession.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof(responseTimeout));
    DWORD maxRedirects = kMaxRedirects;
    WinHttpSetOption(FSession.get(), WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &maxRedirects,
                     sizeof(maxRedirects));

    FConnection.reset(WinHttpConnect(FSession.get(), host.c_str(), parts.nPort, 0));
    if (!FConnection) ThrowTransportError(GetLastError());
    // The URL is percent-encoded already: WinHTTP must send it exactly as built.
    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= WINHTTP_FLAG_SECURE;
    FRequest.reset(WinHttpOpenRequest(FConnection.get(), L"GET", pathAndQuery.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!FRequest) ThrowTransportError(GetLastError());
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    WinHttpSetOption(FRequest.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy, sizeof(redirectPolicy));

    const std::wstring headers = kAcceptHeaders + extraHeaders;
    Check(WinHttpSendRequest(FRequest.get(), headers.c_str(), static_cast<DWORD>(-1L),
                             WINHTTP_NO_REQUEST_DATA, 0, 0, 0));
    Check(WinHttpReceiveResponse(FRequest.get(), nullptr));

    DWORD status = 0;
    DWORD size = sizeof(status);
    Check(WinHttpQueryHeaders(FRequest.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX));
    FStatusCode = status;
    FVersion = QueryHeaderText(FRequest.get(), WINHTTP_QUERY_VERSION);
    FReasonText = QueryHeaderText(FRequest.get(), WINHTTP_QUERY_STATUS_TEXT);
    FContentType = WideToUtf8(QueryHeaderText(FRequest.get(), WINHTTP_QUERY_CONTENT_TYPE));
    const std::wstring length = QueryHeaderText(FRequest.get(), WINHTTP_QUERY_CONTENT_LENGTH);
    if (!length.empty()) {
        try {
            FContentLength = std::stoull(length);
        } catch (const std::exception&) {
            // A malformed length is left to the transfer itself.
        }
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
    std::vector<char> buffer(kReadChunk);
    uint64_t received = 0;
    for (;;) {
        DWORD read = 0;
        Check(WinHttpReadData(FRequest.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read));
        if (read == 0) break;
        received += read;
        sink(buffer.data(), read);
    }
    if (FContentLength && received < *FContentLength) ThrowTransportError(ERROR_WINHTTP_CONNECTION_ERROR);
}

std::string THttpRequest::ReadWholeBody() {
    std::string body;
    ReadBody([&](const char* data, size_t size) { body.append(data, size); });
    return body;
}

std::wstring THttpRequest::ReadBodyText() {
    std::string body = ReadWholeBody();
    if (FStatusCode < 300 && CharsetOf(FContentType).empty() && IsBinaryMediaType(FContentType)) return {};
    return DecodeText(body, FContentType);
}
