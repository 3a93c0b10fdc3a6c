#pragma once
// The fleet routes apart from any HTTP server: the server hands over a request's method, path,
// query, (bounded) body and client and sends back what comes out.
//   POST .../report             a batch of workstation reports (JSON), stored all or nothing
//   GET  /painel[?maquina=X]    the page for IT
//   GET  /painel/estacoes.csv   the workstations' table for a spreadsheet
//   GET  /painel/preparadas.json per ring that stages a release, the workstations holding it
//                               (for `aurevia-publish status --fleet`)
//   GET  /metrics               Prometheus text format
// Reports are bounded end to end: a rate per client address (429), caps on workstations and on the
// database's size (503, new workstations refused rather than old ones evicted), and the page, CSV
// and metrics read by bounded SQL under a deadline, only for the addresses of --painel-allow.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tools/fileservice/fleet/address_list.h"
#include "tools/fileservice/fleet/fleet_view.h"
#include "tools/fileservice/fleet/metrics.h"
#include "tools/fileservice/fleet/report_rate.h"
#include "tools/fileservice/fleet/store.h"
#include "tools/fileservice/fleet/store_keeper.h"

namespace fleet {

struct FleetOptions {
    std::string database;    // --reports FILE
    int retentionDays = 90;  // --report-retention-days
    int staleDays = 7;       // --stale-days
    int chartDays = 14;
    std::filesystem::path folder;  // the served folder (its aurevia-rollout.json)
    StoreLimits limits;            // --max-machines, --max-db-mb
    unsigned reportRate = 120;     // --report-rate: reports per minute per client address (0: none)
    ViewLimits view;               // --painel-rows, --painel-rings, --painel-releases
    std::chrono::milliseconds renderDeadline{10000};                     // --painel-deadline
    AddressList painelAllow = AddressList::Parse("127.0.0.0/8,::1");     // --painel-allow
    AddressList trustedProxies = AddressList::Parse("127.0.0.0/8,::1");  // --trusted-proxy
    std::chrono::seconds storeRetry{30};
    std::function<void(const std::string&)> log;  // one line to the service's error log
};

struct Request {
    std::string_view method, path, query;  // query: the raw text after "?", not decoded
    std::string_view body;
    bool bodyTooLarge = false;         // the server stopped reading past kFleetBatchBytes
    std::string_view peer;             // the connection's address
    std::string_view forwardedFor;     // its X-Forwarded-For header, "" for none
    std::function<bool()> clientGone;  // true once the client has closed its connection
};

struct Response {
    int status = 200;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

class FleetService {
  public:
    // Opens the database (a store that cannot be had leaves the reports off, never the service)
    // and starts the keeper's loop: the store checked every few seconds, retention hourly.
    FleetService(FleetOptions options, std::function<uint64_t()> listingWalks);
    ~FleetService();

    // True for the paths this service answers (so the server reads a POST body for them).
    static bool Handles(std::string_view path);
    // The answer for a request on one of those paths.
    Response Handle(const Request& request);

    struct Health {
        bool stored = false;  // reports are being stored
        std::string reason;   // why not
        std::vector<std::string> warnings;
    };
    Health State() const;

    Metrics& Counters() { return metrics_; }
    // The store in service, null while there is none.
    std::shared_ptr<Store> Database() { return keeper_.Get(); }
    // Runs the retention sweep now (tests); returns the reports deleted.
    int64_t PruneNow(int64_t nowUnix);

  private:
    Response Report(const Request& request);
    Response Painel(const Request& request, Store::Reader& reader);
    Response Csv(const Request& request, Store::Reader& reader);
    Response StagedJson(Store::Reader& reader);
    Response MetricsText(Store::Reader* reader);
    Response Unstored(const std::shared_ptr<Store>& store, const StoreError& error);
    void Log(const std::string& line) const;
    void KeeperLoop();

    FleetOptions options_;
    std::function<uint64_t()> listingWalks_;
    StoreKeeper keeper_;
    ReportRate rate_;
    Metrics metrics_;
    std::atomic<bool> machinesFull_{false}, databaseFull_{false};
    std::atomic<int64_t> moreRings_{0};
    std::mutex sweepMutex_;
    std::condition_variable sweepWake_;
    bool stopping_ = false;
    std::thread keeperThread_;
};

}  // namespace fleet
