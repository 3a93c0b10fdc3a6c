#include "tools/fileservice/fleet/fleet_service.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <strings.h>

#include <ctime>

#include "tools/fileservice/fleet/fleet_query.h"
#include "common/json_writer.h"
#include "common/query_string.h"
#include "tools/fileservice/fleet/fleet_view.h"
#include "tools/fileservice/fleet/painel.h"

namespace fleet {

namespace {

constexpr char kJson[] = "application/json; charset=utf-8";

Response Text(int status, std::string body, const char* type = "text/plain; charset=utf-8") {
    Response response{status, type, std::move(body), {}};
    response.headers.emplace_back("Cache-Control", "no-store");
    return response;
}

// The sender's log shows this text; it is built from our own words and numbers only.
std::string ErrorJson(std::string_view message) {
    JsonWriter json;
    json.StartObject().Member("error", message).EndObject();
    return json.Text();
}

// The search box's text, bounded and kept to what a machine name may hold.
std::string SearchText(std::string_view query) {
    const std::string raw = QueryValue(query, "maquina").value_or("");
    std::string search;
    for (const char c : raw) {
        if (search.size() >= 63) break;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '_')
            search.push_back(c);
    }
    return search;
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// Per ring of the document that stages a release (its first `most` such rings), the workstations
// that take their release from that entry and those of them that hold the staged one complete.
// Rings beyond those the view shows are not counted (FleetView::moreRings says how many).
struct StagedRing {
    std::string ring;
    uint64_t release = 0;
    int64_t holding = 0, machines = 0;
};

std::vector<StagedRing> StagedRings(const FleetView& view, const RolloutView& rollout, size_t most) {
    std::vector<StagedRing> rings;
    for (const RingTarget& target : rollout.rings) {
        if (rings.size() >= most) break;
        if (!target.staged) continue;
        const bool seen = std::any_of(rings.begin(), rings.end(),
                                      [&](const StagedRing& ring) { return ring.ring == target.ring; });
        if (!seen) rings.push_back({target.ring, *target.staged});
    }
    for (const RingSummary& summary : view.rings) {
        if (!summary.target || !summary.target->staged) continue;
        for (StagedRing& ring : rings)
            if (ring.ring == summary.target->ring) {
                ring.holding += summary.holdingStaged;
                ring.machines += summary.machines;
            }
    }
    return rings;
}

}  // namespace

FleetService::FleetService(FleetOptions options, std::function<uint64_t()> listingWalks)
    : options_(std::move(options)),
      listingWalks_(std::move(listingWalks)),
      keeper_(
          options_.database, options_.limits, [this](const std::string& line) { Log(line); },
          options_.storeRetry),
      rate_(options_.reportRate) {
    try {
        PruneNow(Now());
    } catch (const StoreError& error) {
        Log(std::string("report retention: ") + error.what());
    }
    keeperThread_ = std::thread([this] { KeeperLoop(); });
}

FleetService::~FleetService() {
    {
        const std::lock_guard lock(sweepMutex_);
        stopping_ = true;
    }
    sweepWake_.notify_all();
    keeperThread_.join();
}

void FleetService::Log(const std::string& line) const {
    if (options_.log)
        options_.log(line);
    else
        std::fprintf(stderr, "aurevia-fileservice: %s\n", line.c_str());
}

void FleetService::KeeperLoop() {
    constexpr auto kCheck = std::chrono::seconds(5);
    constexpr auto kPrune = std::chrono::hours(1);
    auto lastPrune = std::chrono::steady_clock::now();
    std::unique_lock lock(sweepMutex_);
    while (!sweepWake_.wait_for(lock, kCheck, [this] { return stopping_; })) {
        lock.unlock();
        keeper_.Check();
        if (std::chrono::steady_clock::now() - lastPrune >= kPrune) {
            lastPrune = std::chrono::steady_clock::now();
            try {
                PruneNow(Now());
            } catch (const StoreError& error) {
                Log(std::string("report retention: ") + error.what());
            }
        }
        lock.lock();
    }
}

int64_t FleetService::PruneNow(int64_t nowUnix) {
    const std::shared_ptr<Store> store = keeper_.Get();
    if (!store) return 0;
    try {
        const int64_t deleted = store->Prune(nowUnix - int64_t(options_.retentionDays) * 86400);
        if (machinesFull_ && store->MachineCount() < options_.limits.maxMachines) {
            machinesFull_ = false;
            Log("retention made room: reports of new workstations are stored again");
        }
        if (deleted > 0 && databaseFull_.exchange(false))
            Log("retention freed room in the report database: reports are stored again");
        return deleted;
    } catch (const StoreError& error) {
        keeper_.Failed(store, error);
        throw;
    }
}

FleetService::Health FleetService::State() const {
    const StoreKeeper::Health store = keeper_.State();
    Health health{store.available, store.reason, store.warnings};
    if (!store.available) health.warnings.push_back("reports are not stored: " + store.reason);
    if (machinesFull_)
        health.warnings.push_back("the fleet view holds its most workstations (--max-machines " +
                                  std::to_string(options_.limits.maxMachines) +
                                  "): reports of new workstations are refused");
    if (databaseFull_)
        health.warnings.push_back("the report database reached its size cap (--max-db-mb " +
                                  std::to_string(options_.limits.maxBytes >> 20) +
                                  "): reports are refused until retention frees room");
    if (const int64_t more = moreRings_.load())
        health.warnings.push_back(std::to_string(more) + " rings with workstations beyond the " +
                                  std::to_string(options_.view.rings) +
                                  " the page and the metrics show (--painel-rings)");
    return health;
}

bool FleetService::Handles(std::string_view path) {
    const Route route = RouteOf(path);
    return route == Route::Report || route == Route::Painel || route == Route::PainelCsv ||
           route == Route::PainelStaged || route == Route::Metrics;
}

Response FleetService::Handle(const Request& request) {
    const Route route = RouteOf(request.path);
    const bool read = request.method == "GET" || request.method == "HEAD";
    if (route == Route::Report) {
        if (request.method != "POST") {
            Response response = Text(405, "Use POST.\n");
            response.headers.emplace_back("Allow", "POST");
            return response;
        }
        // On every answer, refusals included: a launcher learns from any of them which formats it
        // may send, and one whose batch of /2 was refused by a service without /2 sends it again as /1.
        Response response = Report(request);
        response.headers.emplace_back(std::string(kFleetFormatsHeader), std::string(kFleetFormatsTaken));
        return response;
    }
    // The page, the CSV and the metrics show the whole fleet: only IT's addresses see them, here as
    // well as at the front, so that reaching an instance directly shows nothing more.
    const std::string client = ClientAddress(request.peer, request.forwardedFor, options_.trustedProxies);
    if (!options_.painelAllow.Contains(client)) return Text(403, "Forbidden.\n");
    if (!read) {
        Response response = Text(405, "Use GET.\n");
        response.headers.emplace_back("Allow", "GET, HEAD");
        return response;
    }
    const std::shared_ptr<Store> store = keeper_.Get();
    if (!store) {
        if (route == Route::Metrics) return MetricsText(nullptr);
        Response response =
            Text(503, "O banco de relatórios não está disponível: " + keeper_.State().reason + "\n");
        response.headers.emplace_back("Retry-After", "60");
        return response;
    }
    try {
        Store::Reader reader =
            store->Read({std::chrono::steady_clock::now() + options_.renderDeadline, request.clientGone});
        if (route == Route::Painel) return Painel(request, reader);
        if (route == Route::PainelCsv) return Csv(request, reader);
        if (route == Route::PainelStaged) return StagedJson(reader);
        if (route == Route::Metrics) return MetricsText(&reader);
    } catch (const StoreError& error) {
        if (error.kind() == StoreError::Kind::Busy || error.kind() == StoreError::Kind::Interrupted) {
            const bool gone = request.clientGone && request.clientGone();
            if (!gone) Log(std::string("fleet page not rendered: ") + error.what());
            Response response = Text(503, error.kind() == StoreError::Kind::Busy
                                              ? "Outras consultas estão em andamento; tente de novo.\n"
                                              : "A consulta passou do prazo.\n");
            response.headers.emplace_back("Retry-After", "5");
            return response;
        }
        keeper_.Failed(store, error);
        Log(std::string("fleet page: ") + error.what());
        return Text(503, "O banco de relatórios não pôde ser lido agora.\n");
    }
    return Text(404, "Not found.\n");
}

Response FleetService::Unstored(const std::shared_ptr<Store>& store, const StoreError& error) {
    using Kind = StoreError::Kind;
    metrics_.CountNotStored();
    std::string message = "the reports could not be stored now; send them again later";
    std::string retry = "30";
    if (error.kind() == Kind::MachinesCap) {
        if (!machinesFull_.exchange(true))
            Log("the fleet view holds its most workstations (--max-machines " +
                std::to_string(options_.limits.maxMachines) + "): reports of new workstations are refused");
        message = "the fleet view holds its most workstations; this one is not added";
        retry = "3600";
    } else if (error.kind() == Kind::Full) {
        if (!databaseFull_.exchange(true))
            Log("the report database reached its size cap (--max-db-mb " +
                std::to_string(options_.limits.maxBytes >> 20) +
                "): reports are refused until retention frees room");
        message = "the report database is full; send them again later";
        retry = "3600";
    } else {
        keeper_.Failed(store, error);
        Log(std::string("reports not stored: ") + error.what());
    }
    Response response = Text(503, ErrorJson(message), kJson);
    response.headers.emplace_back("Retry-After", retry);
    return response;
}

Response FleetService::Report(const Request& request) {
    if (request.bodyTooLarge || request.body.size() > kFleetBatchBytes) {
        metrics_.CountRefusedBatch();
        return Text(413, ErrorJson("the batch is larger than 64 KiB"), kJson);
    }
    std::vector<fleet::Report> batch;
    try {
        batch = ParseReportBatch(request.body);
    } catch (const ReportError& error) {
        metrics_.CountRefusedBatch();
        return Text(400, ErrorJson(error.what()), kJson);
    }
    const std::string client = ClientAddress(request.peer, request.forwardedFor, options_.trustedProxies);
    if (const unsigned wait = rate_.Take(client, batch.size())) {
        metrics_.CountRateLimited();
        Response response =
            Text(429, ErrorJson("too many reports from this address; send them again later"), kJson);
        response.headers.emplace_back("Retry-After", std::to_string(wait));
        return response;
    }
    const std::shared_ptr<Store> store = keeper_.Get();
    if (!store) {
        metrics_.CountNotStored();
        Response response =
            Text(503, ErrorJson("the report database is not available; send them again later"), kJson);
        response.headers.emplace_back("Retry-After", "60");
        return response;
    }
    try {
        store->Add(batch, Now());
    } catch (const StoreError& error) {
        if (error.kind() != StoreError::Kind::Gone) return Unstored(store, error);
        // The file was deleted or replaced under the service: the batch goes into the one opened
        // afresh at the path, not into a file nobody reads, and not back to its sender.
        keeper_.Failed(store, error);
        const std::shared_ptr<Store> fresh = keeper_.Get();
        if (!fresh) return Unstored(store, error);
        try {
            fresh->Add(batch, Now());
        } catch (const StoreError& again) {
            return Unstored(fresh, again);
        }
    }
    if (databaseFull_.exchange(false)) Log("reports are stored again (the report database has room)");
    for (const fleet::Report& report : batch) metrics_.CountReports(report.result);
    return Text(200, "{\"accepted\":" + std::to_string(batch.size()) + "}", kJson);
}

Response FleetService::Painel(const Request& request, Store::Reader& reader) {
    const int64_t now = Now();
    const RolloutView rollout = ReadRollout(options_.folder);
    const std::string search = SearchText(request.query);
    const FleetView view = QueryView(reader.db(), rollout, now, options_.staleDays, options_.view, search);
    moreRings_ = view.moreRings;
    PageInput input;
    input.view = &view;
    input.rollout = &rollout;
    input.chartDays = options_.chartDays;
    // Whole days back from today's noon land inside each day even where clocks move for summer time.
    const time_t nowTime = static_cast<time_t>(now);
    std::tm today{};
    localtime_r(&nowTime, &today);
    today.tm_hour = 12;
    today.tm_min = today.tm_sec = 0;
    today.tm_isdst = -1;
    const int64_t noon = static_cast<int64_t>(mktime(&today));
    for (int back = options_.chartDays - 1; back >= 0; --back) {
        const std::string day = LocalDay(noon - int64_t(back) * 86400);
        if (input.dayLabels.empty() || input.dayLabels.back() != day) input.dayLabels.push_back(day);
    }
    input.days = QueryDays(reader.db(), input.dayLabels.front(), options_.view.releases);
    input.search = search;
    if (!search.empty()) {
        const MachineRow* one =
            view.found.total == 1 && !view.found.rows.empty() ? &view.found.rows.front() : nullptr;
        for (const MachineRow& row : view.found.rows)
            if (strcasecmp(row.machine.machine.c_str(), search.c_str()) == 0) one = &row;
        if (one) {
            input.historyMachine = one->machine.machine;
            input.history = QueryHistory(reader.db(), one->machine.machine, 50);
        }
    }
    Response response = Text(200, RenderPainel(input), "text/html; charset=utf-8");
    // No script, no frame, nothing fetched: markup that slipped through could do nothing.
    response.headers.emplace_back("Content-Security-Policy",
                                  "default-src 'none'; style-src 'unsafe-inline'; img-src data:; "
                                  "form-action 'self'; base-uri 'none'; frame-ancestors 'none'");
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    response.headers.emplace_back("Referrer-Policy", "no-referrer");
    return response;
}

Response FleetService::Csv(const Request& request, Store::Reader& reader) {
    const RolloutView rollout = ReadRollout(options_.folder);
    std::string body = CsvHeader();
    size_t rows = 0;
    const int64_t total =
        ForEachMachine(reader.db(), rollout, Now(), options_.staleDays, SearchText(request.query),
                       options_.view.csvRows, [&](const MachineRow& row) {
                           AppendCsvRow(body, row);
                           ++rows;
                       });
    AppendCsvMore(body, total - static_cast<int64_t>(rows));
    Response response = Text(200, std::move(body), "text/csv; charset=utf-8; header=present");
    response.headers.emplace_back("Content-Disposition", "attachment; filename=\"estacoes.csv\"");
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return response;
}

Response FleetService::StagedJson(Store::Reader& reader) {
    const RolloutView rollout = ReadRollout(options_.folder);
    ViewLimits limits = options_.view;
    limits.rows = 0;
    const FleetView view = QueryView(reader.db(), rollout, Now(), options_.staleDays, limits, "");
    moreRings_ = view.moreRings;
    JsonWriter json;
    json.StartObject();
    json.Member("rollout_serial", rollout.serial);
    json.Key("rings").StartArray();
    for (const StagedRing& ring : StagedRings(view, rollout, options_.view.rings)) {
        json.StartObject();
        json.Member("ring", ring.ring);
        json.Member("staged", ring.release);
        json.Member("holding", static_cast<uint64_t>(std::max<int64_t>(ring.holding, 0)));
        json.Member("workstations", static_cast<uint64_t>(std::max<int64_t>(ring.machines, 0)));
        json.EndObject();
    }
    json.EndArray();
    json.Member("more_rings", static_cast<uint64_t>(std::max<int64_t>(view.moreRings, 0)));
    json.EndObject();
    return Text(200, json.Text(), kJson);
}

Response FleetService::MetricsText(Store::Reader* reader) {
    std::optional<Metrics::Workstations> fleet;
    if (reader) {
        const RolloutView rollout = ReadRollout(options_.folder);
        ViewLimits limits = options_.view;
        limits.rows = 0;
        const FleetView view = QueryView(reader->db(), rollout, Now(), options_.staleDays, limits, "");
        moreRings_ = view.moreRings;
        std::vector<std::string> rings;
        fleet.emplace();
        for (const RingSummary& ring : view.rings) {
            rings.push_back(ring.ring);
            fleet->failingByRing.emplace_back(ring.ring, ring.failing);
        }
        if (view.moreRings > 0) {
            // A ring that a report named "outros" joins the others' line rather than repeat it.
            int64_t more = view.moreSummary.failing;
            std::erase_if(fleet->failingByRing, [&](const auto& entry) {
                if (entry.first != kOthersLabel) return false;
                more += entry.second;
                return true;
            });
            fleet->failingByRing.emplace_back(kOthersLabel, more);
        }
        fleet->byRingRelease = QueryWorkstationSeries(reader->db(), rings, options_.view.releases);
        for (const StagedRing& ring : StagedRings(view, rollout, options_.view.rings))
            fleet->stagedByRing.push_back({ring.ring, ring.release, ring.holding});
    }
    return Text(200, metrics_.Render(listingWalks_ ? listingWalks_() : 0, fleet ? &*fleet : nullptr),
                "text/plain; version=0.0.4; charset=utf-8");
}

}  // namespace fleet
