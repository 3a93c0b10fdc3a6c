#pragma once
// The fleet routes apart from any HTTP server: the server hands over a request's method, path,
// query and (bounded) body and sends back what comes out.
//   POST .../report             a batch of workstation reports (JSON), stored all or nothing
//   GET  /painel[?maquina=X]    the page for IT
//   GET  /painel/estacoes.csv   the workstations' table for a spreadsheet
//   GET  /metrics               Prometheus text format
#include <atomic>
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

#include "tools/fileservice/fleet/metrics.h"
#include "tools/fileservice/fleet/store.h"

namespace fleet {

struct FleetOptions {
    std::string database;    // --reports FILE
    int retentionDays = 90;  // --report-retention-days
    int staleDays = 7;       // --stale-days
    int chartDays = 14;
    std::filesystem::path folder;  // the served folder (its aurevia-rollout.json)
};

struct Request {
    std::string_view method, path, query;  // query: the raw text after "?", not decoded
    std::string_view body;
    bool bodyTooLarge = false;  // the server stopped reading past kFleetBatchBytes
};

struct Response {
    int status = 200;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

class FleetService {
  public:
    // Opens the database (StoreError) and starts the retention sweep, which runs now and hourly.
    FleetService(FleetOptions options, std::function<uint64_t()> listingWalks);
    ~FleetService();

    // True for the paths this service answers (so the server reads a POST body for them).
    static bool Handles(std::string_view path);
    // The answer for a request on one of those paths.
    Response Handle(const Request& request);

    Metrics& Counters() { return metrics_; }
    Store& Database() { return *store_; }
    // Runs the retention sweep now (tests); returns the reports deleted.
    int64_t PruneNow(int64_t nowUnix);

  private:
    Response Report(const Request& request);
    Response Painel(std::string_view query);
    Response Csv(std::string_view query);
    Response MetricsText();
    void SweepLoop();

    FleetOptions options_;
    std::function<uint64_t()> listingWalks_;
    std::unique_ptr<Store> store_;
    Metrics metrics_;
    std::mutex sweepMutex_;
    std::condition_variable sweepWake_;
    bool stopping_ = false;
    std::thread sweeper_;
};

}  // namespace fleet
