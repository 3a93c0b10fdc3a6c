#include "update/transport/retry_policy.h"

#include <algorithm>
#include <random>
#include <thread>

#include "common/instant.h"

namespace {

using std::chrono::milliseconds;

double ThreadRandom() {
    // Seeded per thread from the system's entropy and the clock, so that neither two threads nor two
    // workstations started in the same instant draw the same waits.
    thread_local std::mt19937_64 generator([] {
        std::random_device device;
        std::seed_seq seed{device(), device(),
                           static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()),
                           static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id()))};
        return std::mt19937_64(seed);
    }());
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

constexpr uint32_t kCodes[] = {
    12029,  // ERROR_WINHTTP_CANNOT_CONNECT
    12030,  // ERROR_WINHTTP_CONNECTION_ERROR
    12031,  // ERROR_INTERNET_CONNECTION_RESET
    12152,  // ERROR_WINHTTP_INVALID_SERVER_RESPONSE: also closed before the answer
    10053,  // WSAECONNABORTED
    10054,  // WSAECONNRESET
    10061,  // WSAECONNREFUSED
};

}  // namespace

TRetryPolicy::TRetryPolicy(const TRESTRetries& ASettings, TRandom ARandom)
    : FSettings(ASettings), FRandom(ARandom ? std::move(ARandom) : TRandom(ThreadRandom)) {}

std::optional<milliseconds> TRetryPolicy::NextWait(std::optional<milliseconds> ARetryAfter) {
    if (FRetries >= FSettings.MaxRetries) return std::nullopt;
    const uint64_t left = FSettings.MaxTotalWaitMs - std::min<uint64_t>(FWaitedMs, FSettings.MaxTotalWaitMs);
    if (ARetryAfter && static_cast<uint64_t>(std::max<int64_t>(ARetryAfter->count(), 0)) > left)
        return std::nullopt;
    // The step doubles with each retry; 2^20 steps are far past any sensible budget.
    const uint64_t step = static_cast<uint64_t>(FSettings.FirstDelayMs) << std::min(FRetries, 20u);
    const double spread = FRandom() * static_cast<double>(step) / 2;
    uint64_t wait = ARetryAfter ? static_cast<uint64_t>(std::max<int64_t>(ARetryAfter->count(), 0)) +
                                      static_cast<uint64_t>(spread)
                                : step / 2 + static_cast<uint64_t>(spread);
    if (wait > left) {
        // Past the budget: wait what is left, unless nothing is.
        if (left == 0) return std::nullopt;
        wait = left;
    }
    ++FRetries;
    FWaitedMs += wait;
    return milliseconds(wait);
}

bool IsRetriedStatus(unsigned AStatus) { return AStatus == 429 || AStatus == 503; }

bool IsRetriedTransportError(uint32_t ACode) {
    return std::find(std::begin(kCodes), std::end(kCodes), ACode) != std::end(kCodes);
}

std::optional<milliseconds> ParseRetryAfter(std::string_view AValue,
                                            std::chrono::system_clock::time_point ANow) {
    while (!AValue.empty() && (AValue.front() == ' ' || AValue.front() == '\t')) AValue.remove_prefix(1);
    while (!AValue.empty() && (AValue.back() == ' ' || AValue.back() == '\t')) AValue.remove_suffix(1);
    if (AValue.empty()) return std::nullopt;
    if (std::all_of(AValue.begin(), AValue.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        // Anything past a day is as good as forever, and must not overflow.
        constexpr int64_t kDay = 86400;
        int64_t seconds = 0;
        for (const char c : AValue) {
            seconds = seconds * 10 + (c - '0');
            if (seconds > kDay) break;
        }
        return milliseconds(std::min(seconds, kDay) * 1000);
    }
    const auto date = ParseHttpDate(AValue);
    if (!date) return std::nullopt;
    const std::chrono::system_clock::time_point at{std::chrono::seconds(date->unixSeconds)};
    return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(at - ANow));
}
