#pragma once
// The fleet's reports in SQLite: every report's history (kept for the retention period) and each
// workstation's latest state. One connection writes, behind a mutex (SQLite serialises writers
// anyway; the mutex keeps the server's threads from spinning on the busy timeout); another one,
// behind its own mutex, reads for the page, which WAL lets run beside a write.
#include <sqlite3.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/fileservice/fleet/report.h"

namespace fleet {

class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A workstation as its reports left it.
struct Machine {
    std::string machine, version, ring, event, module, result, reason, text;
    std::optional<uint64_t> release;
    std::optional<unsigned> rolloutNumber;
    int64_t firstSeen = 0, lastSeen = 0;  // when the service received its first and latest report
    int64_t lastTime = 0;                 // the latest report's own time (UTC)
    // The latest failed or refused report, also after the workstation recovered (0: never).
    int64_t lastFailureAt = 0;
    std::string lastFailureReason, lastFailureText;
};

struct StoredReport {
    int64_t received = 0;
    Report report;
};

// Per day (the service's local calendar), how many workstations reported which release: each counted
// once, with the release of its last report that day. Releases are keyed by serial, 0 for none.
struct DayCount {
    std::string day;  // YYYY-MM-DD
    uint64_t release = 0;
    int64_t machines = 0;
};

class Store {
  public:
    // Opens or creates the database (WAL, a busy timeout). Throws StoreError.
    explicit Store(const std::string& path);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Keeps a batch in one transaction: all of it, or (StoreError) none of it.
    void Add(const std::vector<Report>& batch, int64_t receivedUnix);

    // Deletes the history received before `beforeUnix`, and workstations last seen before it.
    // Returns the reports deleted.
    int64_t Prune(int64_t beforeUnix);

    std::vector<Machine> Machines();
    // The workstation's latest `limit` reports, newest first (its name matched without letter case).
    std::vector<StoredReport> History(const std::string& machine, int limit);
    std::vector<DayCount> Days(const std::string& fromDay);
    int64_t ReportCount();

  private:
    struct Pending {
        const std::vector<Report>* batch;
        int64_t receivedUnix;
        bool done = false;
        std::string error;  // empty: stored
    };
    void Close();
    void WriteBatch(const std::vector<Report>& batch, int64_t receivedUnix);
    void WriteGroup(const std::vector<Pending*>& group);

    sqlite3* writer_ = nullptr;
    sqlite3* reader_ = nullptr;
    std::mutex writeMutex_, readMutex_;
    std::mutex queueMutex_;  // guards queue_, writing_ and every queued Pending
    std::condition_variable written_;
    std::vector<Pending*> queue_;
    bool writing_ = false;
    sqlite3_stmt* insertReport_ = nullptr;
    sqlite3_stmt* upsertMachine_ = nullptr;
    sqlite3_stmt* upsertDay_ = nullptr;
};

// The service's local calendar day of a Unix time, "YYYY-MM-DD".
std::string LocalDay(int64_t unixTime);

}  // namespace fleet
