#pragma once
// The one error type of the launcher: an exception that carries the message shown to the user, the
// kind of failure it was and, where the system gave one, the system's own code. Whatever decides on
// a failure (the fleet view's reason, the log's category, retries) reads the kind and the code,
// never the text: the launcher's texts are Portuguese and the system's are in the workstation's
// language, so no word in them can be relied on.
// Messages are UTF-8 so that the portable code can raise them; the Windows edge converts them once.
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

// What kind of failure an error is. The words (ErrorCategoryName) are those of the fleet view.
enum class TErrorCategory : uint8_t {
    Listing,    // the source could not be listed, or its listing read
    Fetch,      // a file could not be fetched (refused, missing, cut short)
    Signature,  // no signed document, no usable key, a bad signature, a signed text that is no document
    Expired,    // a signed document past its expiry
    Replayed,   // an older release than one accepted before
    Altered,    // content that is not what was signed
    Timeout,    // the system's timeout, a server too slow, the update's deadline
    TooLarge,   // past a size cap
    Disk,       // the workstation's disk or file system refused: full, denied, held by another process
    Tls,        // a certificate or secure-channel failure
    Server,     // the server answered with an error of its own (HTTP 5xx)
    Other,      // none of the above: a fault of the program or of the system it runs on
};

// Whose numbering an error's code follows.
enum class TCodeSystem : uint8_t {
    None,
    Win32,     // GetLastError, registry and file-system results
    WinHttp,   // a WinHTTP call's failure (WinHTTP's 12xxx codes, or the socket's own 100xx under Wine)
    Http,      // the status of an HTTP answer
    NtStatus,  // a CNG call's result
};

struct TErrorCode {
    TCodeSystem System = TCodeSystem::None;
    uint32_t Value = 0;
    bool operator==(const TErrorCode&) const = default;
};

inline TErrorCode Win32Code(uint32_t AValue) { return {TCodeSystem::Win32, AValue}; }
inline TErrorCode WinHttpCode(uint32_t AValue) { return {TCodeSystem::WinHttp, AValue}; }
inline TErrorCode HttpStatusCode(uint32_t AValue) { return {TCodeSystem::Http, AValue}; }
inline TErrorCode NtStatusCode(uint32_t AValue) { return {TCodeSystem::NtStatus, AValue}; }

// "listing", "fetch", ..., "too_large", "tls", "server", "other".
std::string_view ErrorCategoryName(TErrorCategory ACategory);
// "win32:112", "winhttp:12002", "http:503", "ntstatus:0xC0000002"; "-" for none.
std::string ErrorCodeText(TErrorCode ACode);

class Error : public std::runtime_error {
  public:
    Error(const std::string& message, TErrorCategory category, TErrorCode code = {})
        : std::runtime_error(message), category_(category), code_(code) {}
    TErrorCategory Category() const { return category_; }
    TErrorCode Code() const { return code_; }

  private:
    TErrorCategory category_;
    TErrorCode code_;
};

// A failure kept after its exception has gone: the message, its category and code.
struct TFailureInfo {
    std::string Text;
    TErrorCategory Category = TErrorCategory::Other;
    TErrorCode Code;
};

// The failure an exception stands for: an Error's own; any other exception's text, as Other.
TFailureInfo FailureOf(const std::exception_ptr& AError);

// The text the top-level error display shows: the message, with a "." added when the code of its
// last character is above that of ".".
std::string TopLevelErrorText(const std::string& message);
