#include "update/stream/token_bucket.h"

#include <algorithm>

TTokenBucket::TTokenBucket(uint64_t ABytesPerSecond)
    : FRate(ABytesPerSecond), FDepth(std::max<uint64_t>(ABytesPerSecond / 4, 1)), FMilliTokens(0) {}

uint64_t TTokenBucket::Take(uint64_t ABytes, uint64_t ANowMs) {
    if (FRate == 0) return 0;
    if (!FStarted) {
        // The first read starts the clock with an empty bucket: the cap holds from the first byte.
        FStarted = true;
        FLastMs = ANowMs;
    }
    if (ANowMs > FLastMs) {
        // Rate in bytes per second is also thousandths of a byte per millisecond.
        const uint64_t elapsed = ANowMs - FLastMs;
        const int64_t refill = static_cast<int64_t>(std::min<uint64_t>(elapsed * FRate, INT64_MAX / 2));
        FMilliTokens = std::min<int64_t>(FMilliTokens + refill, static_cast<int64_t>(FDepth) * 1000);
        FLastMs = ANowMs;
    }
    FMilliTokens -= static_cast<int64_t>(std::min<uint64_t>(ABytes, INT64_MAX / 2000)) * 1000;
    if (FMilliTokens >= 0) return 0;
    // The debt, paid back at the rate: ceil(debt / rate) milliseconds.
    const uint64_t debt = static_cast<uint64_t>(-FMilliTokens);
    return (debt + FRate - 1) / FRate;
}
