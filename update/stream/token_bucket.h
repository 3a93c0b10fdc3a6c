#pragma once
// A byte budget that refills at a fixed rate, for a transfer that must stay under a bandwidth cap.
// The reader takes what it has just received and waits for as long as Take says before reading on,
// so the rate averages to the cap over any span longer than the bucket's depth. Portable and driven
// by the caller's clock (milliseconds since any fixed point), so that its arithmetic is tested
// without waiting.
#include <cstdint>

class TTokenBucket {
  public:
    // ABytesPerSecond: the cap, 0 for none. The bucket holds at most a quarter second's worth: a
    // reader that paused does not get a burst past the cap when it reads on.
    explicit TTokenBucket(uint64_t ABytesPerSecond);

    bool Capped() const { return FRate != 0; }
    // Takes ABytes just received at ANowMs; returns how many milliseconds the reader waits before it
    // reads again (0 when the budget covered them).
    uint64_t Take(uint64_t ABytes, uint64_t ANowMs);

  private:
    uint64_t FRate;
    uint64_t FDepth;
    // Tokens in thousandths of a byte, so that a refill of a few milliseconds is not lost to
    // rounding; negative when the reader took more than it had.
    int64_t FMilliTokens;
    uint64_t FLastMs = 0;
    bool FStarted = false;
};
