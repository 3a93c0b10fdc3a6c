#pragma once
// The reports one client address may send per minute: a bucket per address that fills at the rate
// and holds a minute's worth (at least one whole batch), so a workstation's spooled batch always
// fits while a sender that keeps posting is told to come back later (429 with Retry-After).
// IPv6 clients are counted per /64, the block one site or host is given. The table of addresses is
// bounded: full buckets are forgotten (they are the same as none), and past the bound a new address
// is refused until some are.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace fleet {

class ReportRate {
  public:
    using Clock = std::chrono::steady_clock;
    // `perMinute` 0: no limit.
    ReportRate(unsigned perMinute, size_t maxAddresses = 100000);

    // Takes `reports` from the address's bucket: 0 when they may be stored, else the whole seconds to
    // wait before they would be.
    unsigned Take(std::string_view address, size_t reports, Clock::time_point now = Clock::now());
    // Addresses refused so far (for /healthz and the log).
    uint64_t Refused() const;
    size_t Tracked() const;

  private:
    struct Bucket {
        double tokens = 0;
        Clock::time_point at;
    };
    void Forget(Clock::time_point now);

    double perSecond_, capacity_;
    size_t maxAddresses_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
    uint64_t refused_ = 0;
};

// The key an address is counted under: itself for IPv4, its /64 for IPv6.
std::string RateKey(std::string_view address);

}  // namespace fleet
