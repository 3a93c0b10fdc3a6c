#pragma once
// Counters for GET /metrics (Prometheus text format 0.0.4). Routes are a fixed set, so request
// paths never become label values; ring and release labels come bounded (the rest as "outros").
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fleet {

enum class Route {
    Folderlist,
    Download,
    Healthz,
    Report,
    Painel,
    PainelCsv,
    PainelStaged,
    Metrics,
    Other,
    Count
};

// The route a request path stands for ("any prefix before the last segment" for the launcher's ones).
Route RouteOf(std::string_view path);
const char* RouteName(Route route);

class Metrics {
  public:
    void CountRequest(Route route, uint64_t bytesSent);
    void CountReports(std::string_view result, uint64_t n = 1);
    void CountRefusedBatch();
    void CountRateLimited();  // a batch answered 429
    void CountNotStored();    // a batch answered 503: a cap reached or the store unavailable

    struct Workstations {
        std::map<std::pair<std::string, std::string>, int64_t> byRingRelease;
        std::vector<std::pair<std::string, int64_t>> failingByRing;
        // Per ring of the rollout document that stages a release: the release, and the workstations
        // that said they hold it complete.
        struct Staged {
            std::string ring;
            uint64_t release = 0;
            int64_t holding = 0;
        };
        std::vector<Staged> stagedByRing;
    };
    // `listingWalks`: the listing cache's walks of the folder so far; `fleet`: null when the
    // store cannot be read (the gauges are left out then).
    std::string Render(uint64_t listingWalks, const Workstations* fleet) const;

  private:
    static constexpr size_t kRoutes = static_cast<size_t>(Route::Count);
    std::array<std::atomic<uint64_t>, kRoutes> requests_{}, bytes_{};
    std::array<std::atomic<uint64_t>, 3> reports_{};  // ok, failed, refused
    std::atomic<uint64_t> refusedBatches_{0}, rateLimited_{0}, notStored_{0};
};

// A label value with \ " and newlines escaped.
std::string LabelValue(std::string_view text);

}  // namespace fleet
