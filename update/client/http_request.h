#pragma once
// One GET request over a WinHTTP session of its own, with the settings every request of the file
// service client shares. Transport failures are raised as Error("REST request failed: <text>").
#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/handles.h"
#include "update/client/rest_client.h"

namespace handle_detail {
inline void WinHttpCloseIgnoringResult(HINTERNET h) { ::WinHttpCloseHandle(h); }
}  // namespace handle_detail
using unique_hinternet = UniqueResource<HINTERNET, handle_detail::WinHttpCloseIgnoringResult>;

// A transport failure: the message every request reports ("REST request failed: <text>"), and
// the WinHTTP or socket code that tells whether asking again may help.
class TTransportError : public Error {
  public:
    explicit TTransportError(DWORD ACode);
    DWORD Code() const { return FCode; }

  private:
    DWORD FCode;
};

class THttpRequest {
  public:
    // Sends the request to `url` (already normalised and percent-encoded; sent as it stands), with
    // `extraHeaders` (CRLF-terminated lines) after the common ones, and waits for the final answer's
    // status line and headers, redirects followed.
    THttpRequest(const std::wstring& url, const TRESTTimeouts& timeouts,
                 const std::wstring& extraHeaders = {});

    DWORD StatusCode() const { return FStatusCode; }
    // "Not Found" for a 404, as the server wrote it.
    const std::wstring& ReasonText() const { return FReasonText; }
    // "HTTP/1.1 503 Service Unavailable": the protocol version (only 1.0, 1.1 and 2.0 are
    // written), the status code and the reason text.
    std::wstring StatusLine() const;
    const std::string& ContentType() const { return FContentType; }
    // The body's length as the server announced it, when it did.
    std::optional<uint64_t> ContentLength() const { return FContentLength; }
    // A header of the answer by its WINHTTP_QUERY_ number (WINHTTP_QUERY_ETAG, ...); empty when
    // the answer has none.
    std::wstring Header(DWORD info) const;

    // Hands the body to `sink` piece by piece as it arrives. A connection that ends before the
    // length the server announced is a transport failure, not a short body.
    void ReadBody(const std::function<void(const char* data, size_t size)>& sink);
    std::string ReadWholeBody();

    // The body as text, decoded with the charset the answer names (UTF-8 when it names none).
    // Below 300, a binary media type without a charset yields an empty text.
    std::wstring ReadBodyText();

  private:
    unique_hinternet FSession;
    unique_hinternet FConnection;
    unique_hinternet FRequest;
    DWORD FStatusCode = 0;
    std::wstring FVersion;
    std::wstring FReasonText;
    std::string FContentType;
    std::optional<uint64_t> FContentLength;
};

// The text of a WinHTTP or system error code, for the "REST request failed: %s" message.
std::wstring WinHttpErrorText(DWORD code);

// Decodes bytes written in the charset the Content-Type names (UTF-8 when none or unknown).
std::wstring DecodeText(const std::string& bytes, std::string_view contentType);
