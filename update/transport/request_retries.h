#pragma once
// The retry rule of update/retry_policy.h applied to the attempts of one call of the file service
// client: whether an answer or a failure is worth another attempt, and the wait before it. The wait
// keeps the calling thread's windows alive: it dispatches their messages while it lasts (the
// listing waits on the UI thread, where the window must paint, the busy panel move and clicks be
// queued as during any update). A wait that would pass the session's deadline is not begun; a quit
// request during the wait ends the call (RaiseQuitRequested) instead of another attempt.
#include <windows.h>

#include <chrono>
#include <optional>

#include "update/transport/http_request.h"
#include "update/transport/retry_policy.h"

class TRequestRetries {
  public:
    explicit TRequestRetries(const TRESTRetries& ASettings, const THttpSession* ASession = nullptr)
        : FPolicy(ASettings), FSession(ASession) {}

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
    const THttpSession* FSession;
};
