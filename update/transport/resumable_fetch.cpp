#include "update/transport/resumable_fetch.h"

#include <algorithm>

#include "base/error.h"
#include "base/string_convert.h"
#include "base/win32_error.h"
#include "update/stream/fetch_observer.h"
#include "update/transport/http_request.h"
#include "update/transport/request_retries.h"
#include "update/transport/resume_rules.h"
#include "update/stream/byte_sink.h"

namespace {

// The refusal or server error an answer stands for, as the download has always reported it.
[[noreturn]] void RaiseStatus(THttpRequest& request) {
    const TErrorCode status = HttpStatusCode(request.StatusCode());
    if (request.StatusCode() < 500) {
        const std::wstring text = request.ReadErrorText();
        throw Error(WideToUtf8(text.empty() ? ShortText(request.ReasonText()) : text), TErrorCategory::Fetch,
                    status);
    }
    throw Error(WideToUtf8(ShortText(request.StatusLine())), TErrorCategory::Server, status);
}

std::string HeaderUtf8(const THttpRequest& request, DWORD info) { return WideToUtf8(request.Header(info)); }

}  // namespace

void FetchResumable(const THttpSession& session, const std::wstring& url, IByteSink& sink,
                    const TRESTRetries& retries, IFetchObserver* observer, uint64_t from) {
    TRequestRetries attempts(retries, &session);
    uint64_t written = from;     // bytes in the sink, every one of them seen by the observer
    std::string validator;       // If-Range of the content in the file; empty: it cannot be continued
    bool unchanging = from > 0;  // the content cannot change under the URL: a bare Range continues it
    for (;;) {
        const bool resuming = written > 0 && (!validator.empty() || unchanging);
        try {
            std::string headers;
            if (resuming)
                headers = validator.empty() ? "Range: bytes=" + std::to_string(written) + "-\r\n"
                                            : ResumeRequestHeaders(written, validator);
            THttpRequest request(session, url, Utf8ToWide(headers), TErrorCategory::Fetch);
            if (attempts.WaitAfterAnswer(request)) continue;
            const DWORD status = request.StatusCode();
            uint64_t offset = 0;
            std::optional<uint64_t> total = request.ContentLength();
            if (resuming && (status == 206 || status == 416)) {
                const auto range = ParseContentRange(HeaderUtf8(request, WINHTTP_QUERY_CONTENT_RANGE));
                if (status == 416 || !range || range->First != written || !range->Complete ||
                    range->Last + 1 != *range->Complete) {
                    // Not all of the rest of what the file holds: the next attempt starts from the
                    // beginning.
                    validator.clear();
                    unchanging = false;
                    if (attempts.WaitBeforeAnotherAttempt()) continue;
                    if (status == 206)
                        throw TTransportError(ERROR_WINHTTP_INVALID_SERVER_RESPONSE, TErrorCategory::Fetch);
                    RaiseStatus(request);
                }
                offset = written;
                total = range->Complete;
            } else if (status >= 300) {
                RaiseStatus(request);
            } else {
                validator = ResumeValidator(HeaderUtf8(request, WINHTTP_QUERY_ACCEPT_RANGES),
                                            HeaderUtf8(request, WINHTTP_QUERY_ETAG),
                                            HeaderUtf8(request, WINHTTP_QUERY_LAST_MODIFIED),
                                            HeaderUtf8(request, WINHTTP_QUERY_DATE));
            }
            if (offset == 0) written = 0;
            if (observer) observer->Begin(offset, total);
            sink.Begin(offset, total);
            request.ReadBody([&](const char* data, size_t size) {
                if (observer) observer->Received(data, size);
                sink.Write(data, size);
                written += size;
            });
            return;
        } catch (const TTransportError& e) {
            if (attempts.WaitAfterFailure(e)) continue;
            throw;
        }
    }
}
