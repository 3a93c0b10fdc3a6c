#include "tools/fileservice/fleet/metrics.h"

namespace fleet {

namespace {

constexpr std::array kRouteNames{"folderlist", "download",      "healthz", "report", "painel",
                                 "painel_csv", "painel_staged", "metrics", "other"};
constexpr std::array kResultNames{"ok", "failed", "refused"};

bool LastSegmentIs(std::string_view path, std::string_view segment) {
    if (!path.ends_with(segment)) return false;
    const size_t at = path.size() - segment.size();
    return at > 0 && path[at - 1] == '/';
}

}  // namespace

Route RouteOf(std::string_view path) {
    if (path == "/painel" || path == "/painel/") return Route::Painel;
    if (path == "/painel/estacoes.csv") return Route::PainelCsv;
    if (path == "/painel/preparadas.json") return Route::PainelStaged;
    if (path == "/metrics") return Route::Metrics;
    if (path == "/healthz") return Route::Healthz;
    if (LastSegmentIs(path, "folderlist")) return Route::Folderlist;
    if (LastSegmentIs(path, "download")) return Route::Download;
    if (LastSegmentIs(path, "report")) return Route::Report;
    return Route::Other;
}

const char* RouteName(Route route) { return kRouteNames[static_cast<size_t>(route)]; }

void Metrics::CountRequest(Route route, uint64_t bytesSent) {
    const auto i = static_cast<size_t>(route);
    requests_[i].fetch_add(1, std::memory_order_relaxed);
    bytes_[i].fetch_add(bytesSent, std::memory_order_relaxed);
}

void Metrics::CountReports(std::string_view result, uint64_t n) {
    for (size_t i = 0; i < kResultNames.size(); ++i)
        if (result == kResultNames[i]) reports_[i].fetch_add(n, std::memory_order_relaxed);
}

void Metrics::CountRefusedBatch() { refusedBatches_.fetch_add(1, std::memory_order_relaxed); }

void Metrics::CountRateLimited() { rateLimited_.fetch_add(1, std::memory_order_relaxed); }

void Metrics::CountNotStored() { notStored_.fetch_add(1, std::memory_order_relaxed); }

std::string LabelValue(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"')
            out += {'\\', c};
        else if (c == '\n')
            out += "\\n";
        else
            out.push_back(c);
    }
    return out;
}

std::string Metrics::Render(uint64_t listingWalks, const Workstations* fleet) const {
    std::string out;
    out +=
        "# HELP aurevia_http_requests_total Requests answered, by route.\n"
        "# TYPE aurevia_http_requests_total counter\n";
    for (size_t i = 0; i < kRoutes; ++i)
        out += std::string("aurevia_http_requests_total{route=\"") + kRouteNames[i] + "\"} " +
               std::to_string(requests_[i].load(std::memory_order_relaxed)) + "\n";
    out +=
        "# HELP aurevia_http_response_bytes_total Bytes sent in answers (head and body), by route.\n"
        "# TYPE aurevia_http_response_bytes_total counter\n";
    for (size_t i = 0; i < kRoutes; ++i)
        out += std::string("aurevia_http_response_bytes_total{route=\"") + kRouteNames[i] + "\"} " +
               std::to_string(bytes_[i].load(std::memory_order_relaxed)) + "\n";
    out +=
        "# HELP aurevia_listing_walks_total Walks of the served folder for listings.\n"
        "# TYPE aurevia_listing_walks_total counter\n"
        "aurevia_listing_walks_total " +
        std::to_string(listingWalks) + "\n";
    out +=
        "# HELP aurevia_reports_total Workstation reports stored since the service started, by result.\n"
        "# TYPE aurevia_reports_total counter\n";
    for (size_t i = 0; i < kResultNames.size(); ++i)
        out += std::string("aurevia_reports_total{result=\"") + kResultNames[i] + "\"} " +
               std::to_string(reports_[i].load(std::memory_order_relaxed)) + "\n";
    out +=
        "# HELP aurevia_report_batches_refused_total Report batches refused as invalid.\n"
        "# TYPE aurevia_report_batches_refused_total counter\n"
        "aurevia_report_batches_refused_total " +
        std::to_string(refusedBatches_.load()) + "\n";
    out +=
        "# HELP aurevia_report_batches_limited_total Report batches answered 429: their sender's rate was "
        "spent.\n"
        "# TYPE aurevia_report_batches_limited_total counter\n"
        "aurevia_report_batches_limited_total " +
        std::to_string(rateLimited_.load()) +
        "\n"
        "# HELP aurevia_report_batches_not_stored_total Report batches answered 503: a cap reached or the "
        "store unavailable.\n"
        "# TYPE aurevia_report_batches_not_stored_total counter\n"
        "aurevia_report_batches_not_stored_total " +
        std::to_string(notStored_.load()) + "\n";
    if (!fleet) return out;
    out +=
        "# HELP aurevia_workstations Workstations by ring and the release of their latest report.\n"
        "# TYPE aurevia_workstations gauge\n";
    for (const auto& [key, n] : fleet->byRingRelease)
        out += "aurevia_workstations{ring=\"" + LabelValue(key.first) + "\",release=\"" +
               LabelValue(key.second) + "\"} " + std::to_string(n) + "\n";
    out +=
        "# HELP aurevia_workstations_failing Workstations whose latest report failed or was refused, by "
        "ring.\n"
        "# TYPE aurevia_workstations_failing gauge\n";
    for (const auto& [ring, n] : fleet->failingByRing)
        out += "aurevia_workstations_failing{ring=\"" + LabelValue(ring) + "\"} " + std::to_string(n) + "\n";
    out +=
        "# HELP aurevia_workstations_holding_staged Workstations that said they hold their ring's staged "
        "release complete, by ring and release.\n"
        "# TYPE aurevia_workstations_holding_staged gauge\n";
    for (const auto& staged : fleet->stagedByRing)
        out += "aurevia_workstations_holding_staged{ring=\"" + LabelValue(staged.ring) + "\",release=\"" +
               std::to_string(staged.release) + "\"} " + std::to_string(staged.holding) + "\n";
    return out;
}

}  // namespace fleet
