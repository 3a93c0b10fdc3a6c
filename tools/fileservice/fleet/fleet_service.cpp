#include "tools/fileservice/fleet/fleet_service.h"

#include <chrono>
#include <cstdio>
#include <strings.h>

#include <ctime>

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

}  // namespace

FleetService::FleetService(FleetOptions options, std::function<uint64_t()> listingWalks)
    : options_(std::move(options)),
      listingWalks_(std::move(listingWalks)),
      store_(std::make_unique<Store>(options_.database)) {
    PruneNow(Now());
    sweeper_ = std::thread([this] { SweepLoop(); });
}

FleetService::~FleetService() {
    {
        const std::lock_guard lock(sweepMutex_);
        stopping_ = true;
    }
    sweepWake_.notify_all();
    sweeper_.join();
}

void FleetService::SweepLoop() {
    std::unique_lock lock(sweepMutex_);
    while (!sweepWake_.wait_for(lock, std::chrono::hours(1), [this] { return stopping_; })) {
        lock.unlock();
        try {
            PruneNow(Now());
        } catch (const StoreError& error) {
            std::fprintf(stderr, "aurevia-fileservice: report retention: %s\n", error.what());
        }
        lock.lock();
    }
}

int64_t FleetService::PruneNow(int64_t nowUnix) {
    return store_->Prune(nowUnix - int64_t(options_.retentionDays) * 86400);
}

bool FleetService::Handles(std::string_view path) {
    const Route route = RouteOf(path);
    return route == Route::Report || route == Route::Painel || route == Route::PainelCsv ||
           route == Route::Metrics;
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
        return Report(request);
    }
    if (!read) {
        Response response = Text(405, "Use GET.\n");
        response.headers.emplace_back("Allow", "GET, HEAD");
        return response;
    }
    try {
        if (route == Route::Painel) return Painel(request.query);
        if (route == Route::PainelCsv) return Csv(request.query);
        if (route == Route::Metrics) return MetricsText();
    } catch (const StoreError& error) {
        std::fprintf(stderr, "aurevia-fileservice: fleet page: %s\n", error.what());
        return Text(503, "The report database cannot be read now.\n");
    }
    return Text(404, "Not found.\n");
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
    try {
        store_->Add(batch, Now());
    } catch (const StoreError& error) {
        std::fprintf(stderr, "aurevia-fileservice: reports not stored: %s\n", error.what());
        Response response =
            Text(503, ErrorJson("the reports could not be stored now; send them again later"), kJson);
        response.headers.emplace_back("Retry-After", "30");
        return response;
    }
    for (const fleet::Report& report : batch) metrics_.CountReports(report.result);
    return Text(200, "{\"accepted\":" + std::to_string(batch.size()) + "}", kJson);
}

Response FleetService::Painel(std::string_view query) {
    const int64_t now = Now();
    const RolloutView rollout = ReadRollout(options_.folder);
    const FleetView view = Summarize(store_->Machines(), rollout, now, options_.staleDays);
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
    input.days = store_->Days(input.dayLabels.front());
    input.search = SearchText(query);
    if (!input.search.empty()) {
        const auto rows = Matching(view, input.search);
        const MachineRow* one = rows.size() == 1 ? rows.front() : nullptr;
        for (const MachineRow* row : rows)
            if (strcasecmp(row->machine.machine.c_str(), input.search.c_str()) == 0) one = row;
        if (one) {
            input.historyMachine = one->machine.machine;
            input.history = store_->History(one->machine.machine, 50);
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

Response FleetService::Csv(std::string_view query) {
    const RolloutView rollout = ReadRollout(options_.folder);
    const FleetView view = Summarize(store_->Machines(), rollout, Now(), options_.staleDays);
    Response response =
        Text(200, RenderCsv(view, SearchText(query)), "text/csv; charset=utf-8; header=present");
    response.headers.emplace_back("Content-Disposition", "attachment; filename=\"estacoes.csv\"");
    response.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return response;
}

Response FleetService::MetricsText() {
    const RolloutView rollout = ReadRollout(options_.folder);
    const FleetView view = Summarize(store_->Machines(), rollout, Now(), options_.staleDays);
    return Text(200, metrics_.Render(listingWalks_ ? listingWalks_() : 0, view),
                "text/plain; version=0.0.4; charset=utf-8");
}

}  // namespace fleet
