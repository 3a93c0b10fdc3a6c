#include "tools/fileservice/fleet/report_rate.h"

#include <algorithm>
#include <cmath>

#include "tools/fileservice/fleet/address_list.h"
#include "tools/fileservice/fleet/report.h"

namespace fleet {

std::string RateKey(std::string_view address) {
    const auto bytes = ParseAddress(address);
    if (!bytes) return std::string(address);
    const bool v4 = std::all_of(bytes->begin(), bytes->begin() + 10, [](uint8_t b) { return b == 0; }) &&
                    (*bytes)[10] == 0xff && (*bytes)[11] == 0xff;
    return std::string(reinterpret_cast<const char*>(bytes->data()), v4 ? 16 : 8);
}

ReportRate::ReportRate(unsigned perMinute, size_t maxAddresses)
    : perSecond_(perMinute / 60.0),
      capacity_(std::max<double>(perMinute, kFleetBatchReports)),
      maxAddresses_(std::max<size_t>(maxAddresses, 1)) {}

void ReportRate::Forget(Clock::time_point now) {
    std::erase_if(buckets_, [&](const auto& entry) {
        const double seconds = std::chrono::duration<double>(now - entry.second.at).count();
        return entry.second.tokens + seconds * perSecond_ >= capacity_;
    });
}

unsigned ReportRate::Take(std::string_view address, size_t reports, Clock::time_point now) {
    if (perSecond_ <= 0) return 0;
    const std::string key = RateKey(address);
    const std::lock_guard lock(mutex_);
    auto it = buckets_.find(key);
    if (it == buckets_.end()) {
        if (buckets_.size() >= maxAddresses_) Forget(now);
        if (buckets_.size() >= maxAddresses_) {
            ++refused_;
            return 60;
        }
        it = buckets_.emplace(key, Bucket{capacity_, now}).first;
    }
    Bucket& bucket = it->second;
    const double seconds = std::max(0.0, std::chrono::duration<double>(now - bucket.at).count());
    bucket.tokens = std::min(capacity_, bucket.tokens + seconds * perSecond_);
    bucket.at = now;
    const auto need = static_cast<double>(reports);
    if (bucket.tokens >= need) {
        bucket.tokens -= need;
        return 0;
    }
    ++refused_;
    return static_cast<unsigned>(std::max(1.0, std::ceil((need - bucket.tokens) / perSecond_)));
}

uint64_t ReportRate::Refused() const {
    const std::lock_guard lock(mutex_);
    return refused_;
}

size_t ReportRate::Tracked() const {
    const std::lock_guard lock(mutex_);
    return buckets_.size();
}

}  // namespace fleet
