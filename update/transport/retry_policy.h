#pragma once
// When the file service client asks again after a failed attempt, and how long it waits first.
// Portable: no windows.h.
//
// Retried: an answer 503 or 429 (the service, or a front before it, is busy and may say for how
// long in Retry-After), and a connection that is refused, reset, or closed before the answer is
// complete (an instance restarting, a front dropping connections). Not retried: timeouts. A
// request that timed out has already held its caller for the whole timeout (30 s by default, on the
// UI thread for the listing); a retry would double that while the service answers overload at once
// with 503, so a silent service is broken rather than busy. Nor name resolution, TLS and other
// failures, which asking again cannot mend.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

// The retry timing of the file service client, for both requests.
struct TRESTRetries {
    // Attempts after the first; 0 turns retrying off.
    unsigned MaxRetries = 3;
    // The wait before the first retry when the server names none; it doubles for each later retry.
    // Each wait is drawn at random between half and all of its step, and a server's Retry-After gets
    // up to half a step added, so workstations that failed together do not come back together.
    uint32_t FirstDelayMs = 1000;
    // All waits of one request together stay within this. A Retry-After that asks for more than is
    // left is not waited for: the request fails at once with the answer it has.
    uint32_t MaxTotalWaitMs = 10000;
};

class TRetryPolicy {
  public:
    // A number drawn uniformly from [0, 1).
    using TRandom = std::function<double()>;

    // Without ARandom, a generator of the calling thread seeded once from the system's entropy.
    explicit TRetryPolicy(const TRESTRetries& ASettings, TRandom ARandom = {});

    // The wait before the next attempt, counted as spent; nothing when the request must give up now.
    // ARetryAfter: the wait the server asked for, when it named one.
    std::optional<std::chrono::milliseconds> NextWait(
        std::optional<std::chrono::milliseconds> ARetryAfter = std::nullopt);

    unsigned Retries() const { return FRetries; }

  private:
    TRESTRetries FSettings;
    TRandom FRandom;
    unsigned FRetries = 0;
    uint64_t FWaitedMs = 0;
};

// Statuses that ask the client to come back later: 429 Too Many Requests, 503 Service Unavailable.
bool IsRetriedStatus(unsigned AStatus);

// Transport failures worth another attempt, by their WinHTTP or Winsock code (Wine reports some
// socket failures with the socket's own code): a refused connection (12029, 10061), a connection
// reset, aborted or closed while the request or the answer was under way (12030, 12031, 10053,
// 10054), or closed without a readable answer (12152, which a garbled answer also gives).
bool IsRetriedTransportError(uint32_t ACode);

// The wait a Retry-After value asks for: delay-seconds, or an HTTP date measured from ANow (a date
// already past asks for none). Nothing for a value that is neither.
std::optional<std::chrono::milliseconds> ParseRetryAfter(std::string_view AValue,
                                                         std::chrono::system_clock::time_point ANow);
