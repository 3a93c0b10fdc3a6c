#pragma once
// The retry rule of update/retry_policy.h applied to the attempts of one call of the file service
// client: whether an answer or a failure is worth another attempt, and the wait before it. The wait
// blocks the calling thread, as the request itself does (for the listing that is the UI thread,
// with the busy panel showing; the rule's budget bounds it).
#include <windows.h>

#include <chrono>
#include <optional>

#include "update/client/http_request.h"
#include "update/client/retry_policy.h"

class TRequestRetries {
  public:
    explicit TRequestRetries(const TRESTRetries& ASettings) : FPolicy(ASettings) {}

    // True, after the wait, when the answer's status asks to come back later (honouring its
    // Retry-After) and the budget allows another attempt.
    bool WaitAfterAnswer(const THttpRequest& AAnswer);
    // True, after the wait, when the failure is one that another attempt may mend.
    bool WaitAfterFailure(const TTransportError& AFailure);
    // True, after the wait, when the budget allows another attempt for a reason of the caller's.
    bool WaitBeforeAnotherAttempt() { return Wait(std::nullopt); }

  private:
    bool Wait(std::optional<std::chrono::milliseconds> ARetryAfter);

    TRetryPolicy FPolicy;
};
