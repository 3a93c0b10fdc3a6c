#pragma once
// The fleet's reports in SQLite: every report's history (kept for the retention period) and each
// workstation's latest state. One connection writes, behind a mutex (SQLite serialises writers
// anyway; the mutex keeps the server's threads from spinning on the busy timeout); a few others read
// for the page, the CSV and the metrics, which WAL lets run beside a write. The store is bounded:
// at most `maxMachines` workstations (a report of a new one is refused past that, none is evicted)
// and `maxBytes` of database file (SQLite's page limit: a write past it fails as Full).
#include <sqlite3.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/fileservice/fleet/report.h"
#include "tools/fileservice/fleet/sqlite_statement.h"

namespace fleet {

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
    // The staged release its newest report of format /2 said it holds complete, and since when.
    std::optional<uint64_t> staged;
    int64_t stagedAt = 0;
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
    bool others = false;  // the releases beyond those the chart shows, together
};

struct StoreLimits {
    int64_t maxMachines = 50000;
    int64_t maxBytes = int64_t(1024) << 20;
};

// What one reading may spend: it is interrupted (StoreError Interrupted) past the deadline or as
// soon as `clientGone` says the client that asked for it has left.
struct ReadBudget {
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    std::function<bool()> clientGone;
};

class Store {
  public:
    static constexpr size_t kReaders = 2;

    // Opens or creates the database (WAL, a busy timeout). Throws StoreError: Damaged for a file
    // that is not a sound database, ReadOnly for one that cannot be written, Unavailable when it
    // cannot be opened or created.
    explicit Store(const std::string& path, StoreLimits limits = {});
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Keeps a batch in one transaction: all of it, or (StoreError) none of it.
    void Add(const std::vector<Report>& batch, int64_t receivedUnix);

    // Deletes the history received before `beforeUnix`, and workstations last seen before it.
    // Returns the reports deleted.
    int64_t Prune(int64_t beforeUnix);

    // One of the reading connections for one rendering, interrupted as its budget says.
    class Reader {
      public:
        Reader(Reader&& other) noexcept : store_(other.store_), slot_(other.slot_) { other.store_ = nullptr; }
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        Reader& operator=(Reader&&) = delete;
        ~Reader();
        sqlite3* db() const;

      private:
        friend class Store;
        Reader(Store* store, size_t slot) : store_(store), slot_(slot) {}
        Store* store_;
        size_t slot_;
    };
    // Waits up to `wait` for a free reading connection; StoreError Busy when none frees.
    Reader Read(ReadBudget budget, std::chrono::milliseconds wait = std::chrono::milliseconds(2000));

    // False once the file at the path is no longer the one open: deleted, or replaced by another.
    bool StillAtPath() const;
    const std::string& Path() const { return path_; }
    // Workstations known, as of the last write or prune.
    int64_t MachineCount() const { return machineCount_.load(); }
    const StoreLimits& Limits() const { return limits_; }
    // The database file's size in bytes (pages in use and free).
    int64_t FileBytes();

  private:
    struct Pending {
        const std::vector<Report>* batch;
        int64_t receivedUnix;
        bool done = false;
        std::string error;  // empty: stored
        StoreError::Kind kind = StoreError::Kind::Failed;
    };
    struct Slot {
        sqlite3* db = nullptr;
        bool busy = false;
        ReadBudget budget;
    };
    void Close();
    void WriteBatch(const std::vector<Report>& batch, int64_t receivedUnix, int64_t& machines);
    void WriteGroup(const std::vector<Pending*>& group);
    static int Progress(void* slot);

    std::string path_;
    StoreLimits limits_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::atomic<int64_t> machineCount_{0};
    sqlite3* writer_ = nullptr;
    std::mutex writeMutex_;
    std::mutex queueMutex_;  // guards queue_, writing_ and every queued Pending
    std::condition_variable written_;
    std::vector<Pending*> queue_;
    bool writing_ = false;
    sqlite3_stmt* insertReport_ = nullptr;
    sqlite3_stmt* upsertMachine_ = nullptr;
    sqlite3_stmt* upsertDay_ = nullptr;
    sqlite3_stmt* knownMachine_ = nullptr;
    std::mutex readMutex_;  // guards every Slot's busy and budget
    std::condition_variable readFreed_;
    std::array<Slot, kReaders> readers_;
};

// The service's local calendar day of a Unix time, "YYYY-MM-DD".
std::string LocalDay(int64_t unixTime);

}  // namespace fleet
