// The background fetch's cap: a reader that reads as fast as it can, waiting as long as the bucket
// says, averages the cap; a pause gives no burst past it; no cap never waits.
#include <gtest/gtest.h>

#include "update/stream/token_bucket.h"

namespace {

// Reads ATotal bytes in AChunk pieces on a simulated clock that only moves by the waits (and AWork
// milliseconds of reading per piece); returns the milliseconds it took.
uint64_t SimulatedRead(TTokenBucket& ABucket, uint64_t ATotal, uint64_t AChunk, uint64_t AWork = 0,
                       uint64_t AStartMs = 1000) {
    uint64_t now = AStartMs;
    for (uint64_t read = 0; read < ATotal; read += AChunk) {
        now += AWork;
        now += ABucket.Take(AChunk, now);
    }
    return now - AStartMs;
}

TEST(TokenBucket, AFastReaderAveragesTheCapWithinTenPercent) {
    const struct {
        uint64_t rate, chunk, work;
    } cases[] = {
        {100 * 1024, 8 * 1024, 0},    // small pieces, an instant reader
        {100 * 1024, 64 * 1024, 3},   // pieces larger than a quarter second's budget
        {1250 * 1024, 16 * 1024, 1},  // 10 Mbit/s
        {3000, 1000, 0},              // a cap below a kilobyte a second per piece
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " B/s in " + std::to_string(c.chunk) + " B pieces");
        TTokenBucket bucket(c.rate);
        const uint64_t total = c.rate * 20;  // twenty seconds' worth
        const uint64_t ms = SimulatedRead(bucket, total, c.chunk, c.work);
        const double rate = static_cast<double>(total) * 1000.0 / static_cast<double>(ms);
        EXPECT_LE(rate, c.rate * 1.10);
        EXPECT_GE(rate, c.rate * 0.90);
    }
}

TEST(TokenBucket, APauseGivesNoBurstPastAQuarterSecond) {
    TTokenBucket bucket(40'000);
    SimulatedRead(bucket, 40'000, 4'000);
    // An hour later: only a quarter second's worth (10 000 bytes) may go without waiting.
    const uint64_t later = 1000 + 3'600'000;
    EXPECT_EQ(bucket.Take(10'000, later), 0u);
    EXPECT_EQ(bucket.Take(4'000, later), 100u);  // 4 000 bytes at 40 000 a second
}

TEST(TokenBucket, NoCapNeverWaits) {
    TTokenBucket bucket(0);
    EXPECT_FALSE(bucket.Capped());
    EXPECT_EQ(SimulatedRead(bucket, uint64_t{1} << 40, uint64_t{1} << 30), 0u);
}

}  // namespace
