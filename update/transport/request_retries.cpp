#include "update/transport/request_retries.h"

#include "base/string_convert.h"
#include "update/transport/pumped_wait.h"

bool TRequestRetries::WaitAfterAnswer(const THttpRequest& AAnswer) {
    if (!IsRetriedStatus(AAnswer.StatusCode())) return false;
    return Wait(ParseRetryAfter(WideToUtf8(AAnswer.Header(WINHTTP_QUERY_RETRY_AFTER)),
                                std::chrono::system_clock::now()));
}

bool TRequestRetries::WaitAfterFailure(const TTransportError& AFailure) {
    return IsRetriedTransportError(AFailure.Code().Value) && Wait(std::nullopt);
}

bool TRequestRetries::Wait(std::optional<std::chrono::milliseconds> ARetryAfter) {
    const auto wait = FPolicy.NextWait(ARetryAfter);
    if (!wait) return false;
    if (FSession) {
        if (const auto remaining = FSession->Remaining(); remaining && *wait >= *remaining) return false;
    }
    // Closing the launcher ends the update instead of its next attempt.
    if (WaitUnlessQuitRequested(nullptr, *wait) == TPumpedWaitEnd::QuitRequested) RaiseQuitRequested();
    return true;
}
