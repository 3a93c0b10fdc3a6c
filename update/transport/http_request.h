#pragma once
// One GET request, with the settings every request of the file service client shares, over a
// session that an update shares among all its requests (so connections and TLS sessions are reused)
// or, for a lone request, over one of its own. Transport failures are raised as
// TTransportError("REST request failed: <text>"); every failure says its category and code.
#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/error.h"
#include "base/handles.h"
#include "update/transport/proxy_route.h"
#include "update/transport/rest_client.h"

namespace handle_detail {
inline void WinHttpCloseIgnoringResult(HINTERNET h) { ::WinHttpCloseHandle(h); }
}  // namespace handle_detail
using unique_hinternet = UniqueResource<HINTERNET, handle_detail::WinHttpCloseIgnoringResult>;

// The category of a WinHTTP or socket failure: Timeout for the system's timeouts, Tls for a
// certificate or secure-channel failure, AOtherwise (what the request was for: Listing, Fetch) for
// any other.
TErrorCategory TransportFailureCategory(DWORD ACode, TErrorCategory AOtherwise);

// A transport failure: the message every request reports ("REST request failed: <text>"), and
// the WinHTTP or socket code (Code(), WinHttp) that tells whether asking again may help.
class TTransportError : public Error {
  public:
    // AOtherwise: see TransportFailureCategory.
    TTransportError(DWORD ACode, TErrorCategory AOtherwise);
    // A failure this client found itself (a body too slow), with its own text after the prefix.
    TTransportError(DWORD ACode, TErrorCategory ACategory, const std::string& AText);
};

// One of the session's ALimits.Connections places for a request under way; the place is given back
// when the slot goes.
class TConnectionSlot {
  public:
    TConnectionSlot() = default;
    explicit TConnectionSlot(HANDLE ASemaphore) : FSemaphore(ASemaphore) {}
    ~TConnectionSlot();
    TConnectionSlot(TConnectionSlot&& AOther) noexcept
        : FSemaphore(std::exchange(AOther.FSemaphore, nullptr)) {}
    TConnectionSlot& operator=(TConnectionSlot&& AOther) noexcept;
    TConnectionSlot(const TConnectionSlot&) = delete;
    TConnectionSlot& operator=(const TConnectionSlot&) = delete;

  private:
    HANDLE FSemaphore = nullptr;
};

// A WinHTTP session: its handle keeps the pool of open connections (and TLS sessions) that every
// request made through it reuses. WinHTTP sessions may be used from several threads at once.
// It opens with the proxy setting of ALimits, and caps the requests under way at once at
// ALimits.Connections.
class THttpSession {
  public:
    THttpSession(const TRESTTimeouts& ATimeouts, const TTransferLimits& ALimits);
    HINTERNET Handle() const { return FSession.get(); }
    const TRESTTimeouts& Timeouts() const { return FTimeouts; }
    const TTransferLimits& Limits() const { return FLimits; }
    // Raises the deadline's error once the update's deadline has passed.
    void CheckDeadline() const;
    // What is left of the deadline, or nothing when there is none.
    std::optional<std::chrono::milliseconds> Remaining() const;
    // Waits for a place among the session's connections (dispatching the thread's messages
    // meanwhile); raises the deadline's error when the deadline comes first.
    TConnectionSlot AcquireConnection() const;
    // The proxy route to the server of AUrl (AServer: its scheme, host and port), found once per
    // server and session; a lookup that may block (PAC, WPAD) runs off the calling thread while it
    // dispatches its messages.
    TProxyRoute RouteFor(const std::wstring& AServer, const std::wstring& AUrl) const;
    // The session handle a request on ARoute connects through: the session's own, or one opened
    // with the route's proxy (kept for the session's life, set up alike).
    HINTERNET HandleFor(const TProxyRoute& ARoute) const;

  private:
    void Configure(HINTERNET ASession) const;

    unique_hinternet FSession;
    mutable std::map<std::wstring, unique_hinternet> FRoutedSessions;
    unique_handle FConnectionSlots;
    mutable std::mutex FRoutesLock;
    mutable std::map<std::wstring, TProxyRoute> FRoutes;
    TRESTTimeouts FTimeouts;
    TTransferLimits FLimits;
    std::optional<std::chrono::steady_clock::time_point> FDeadline;
};

class THttpRequest {
  public:
    // Sends the request to `url` (already normalised and percent-encoded; sent as it stands), with
    // `extraHeaders` (CRLF-terminated lines) after the common ones, and waits for the final answer's
    // status line and headers, redirects followed. The session must outlive the request. `failure`:
    // what a failure of this request is when nothing more precise is known (Listing, Fetch).
    THttpRequest(const THttpSession& session, const std::wstring& url, const std::wstring& extraHeaders,
                 TErrorCategory failure);
    // The same over a session of its own.
    THttpRequest(const std::wstring& url, const TRESTTimeouts& timeouts, const std::wstring& extraHeaders,
                 TErrorCategory failure);

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
    // length the server announced is a transport failure, not a short body; so is a body that
    // arrives slower than the session's minimum rate, and one still arriving at its deadline.
    void ReadBody(const std::function<void(const char* data, size_t size)>& sink);
    // The whole body, at most ALimit bytes: past that (announced or received) Error(ATooLarge),
    // TooLarge.
    std::string ReadWholeBody(uint64_t ALimit, const std::string& ATooLarge);

    // The body as text, decoded with the charset the answer names (UTF-8 when it names none), at
    // most ALimit bytes of it. Below 300, a binary media type without a charset yields an empty text.
    std::wstring ReadBodyText(uint64_t ALimit, const std::string& ATooLarge);

    // The text of an error answer for a message: at most the first kErrorBodyLimit bytes are read
    // (the rest is left on the wire), and at most kErrorTextChars characters are kept.
    std::wstring ReadErrorText();

  private:
    void Send(const THttpSession& session, const std::wstring& url, const std::wstring& extraHeaders);
    [[noreturn]] void Fail(DWORD code) const;
    void Check(BOOL ok) const;

    TErrorCategory FFailure;
    std::unique_ptr<THttpSession> FOwnSession;
    const THttpSession* FSession = nullptr;
    // Given back after the request and its connection handle are closed (members go in reverse).
    TConnectionSlot FSlot;
    unique_hinternet FConnection;
    unique_hinternet FRequest;
    DWORD FStatusCode = 0;
    std::wstring FVersion;
    std::wstring FReasonText;
    std::string FContentType;
    std::optional<uint64_t> FContentLength;
};

// An error body is read up to this many bytes, and this many characters of its text reach a message
// or the log: enough for any real explanation, nothing a hostile server can fill a screen with.
constexpr uint64_t kErrorBodyLimit = 16 * 1024;
constexpr size_t kErrorTextChars = 300;
// The first AMax characters of AText, "…" marking a cut.
std::wstring ShortText(std::wstring AText, size_t AMax = kErrorTextChars);

// The text of a WinHTTP or system error code, for the "REST request failed: %s" message.
std::wstring WinHttpErrorText(DWORD code);

// Decodes bytes written in the charset the Content-Type names (UTF-8 when none or unknown).
std::wstring DecodeText(const std::string& bytes, std::string_view contentType);
