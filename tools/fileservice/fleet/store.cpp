#include "tools/fileservice/fleet/store.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <set>
#include <utility>

namespace fleet {

StoreError::Kind KindOf(sqlite3* db) {
    switch (sqlite3_extended_errcode(db) & 0xff) {
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return StoreError::Kind::Damaged;
        case SQLITE_READONLY:
        case SQLITE_PERM:
            return StoreError::Kind::ReadOnly;
        case SQLITE_CANTOPEN:
            return StoreError::Kind::Unavailable;
        case SQLITE_FULL:
            return StoreError::Kind::Full;
        case SQLITE_INTERRUPT:
            return StoreError::Kind::Interrupted;
        default:
            return StoreError::Kind::Failed;
    }
}

void Fail(sqlite3* db, const std::string& what) {
    if (!db) throw StoreError(what + ": out of memory");
    throw StoreError(KindOf(db), what + ": " + sqlite3_errmsg(db));
}

void Exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw StoreError(KindOf(db), "database: " + text);
    }
}

namespace {

constexpr char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS reports(
  id INTEGER PRIMARY KEY, received INTEGER NOT NULL, machine TEXT NOT NULL COLLATE NOCASE,
  version TEXT NOT NULL, event TEXT NOT NULL, module TEXT NOT NULL, result TEXT NOT NULL,
  reason TEXT NOT NULL, text TEXT NOT NULL, files_listed INTEGER NOT NULL, files_fetched INTEGER NOT NULL,
  files_failed INTEGER NOT NULL, bytes INTEGER NOT NULL, duration_ms INTEGER NOT NULL, time TEXT NOT NULL,
  time_unix INTEGER NOT NULL, ring TEXT NOT NULL, rollout_number INTEGER, rollout_serial INTEGER,
  release INTEGER);
CREATE INDEX IF NOT EXISTS reports_by_machine ON reports(machine, time_unix);
CREATE INDEX IF NOT EXISTS reports_by_received ON reports(received);
CREATE TABLE IF NOT EXISTS machines(
  machine TEXT PRIMARY KEY COLLATE NOCASE, first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL,
  last_time INTEGER NOT NULL, version TEXT NOT NULL, ring TEXT NOT NULL, release INTEGER,
  rollout_number INTEGER, event TEXT NOT NULL, module TEXT NOT NULL, result TEXT NOT NULL,
  reason TEXT NOT NULL, text TEXT NOT NULL, failure_at INTEGER NOT NULL, failure_reason TEXT NOT NULL,
  failure_text TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS machines_by_ring ON machines(ring, release);
CREATE TABLE IF NOT EXISTS days(
  day TEXT NOT NULL, machine TEXT NOT NULL COLLATE NOCASE, release INTEGER NOT NULL, time INTEGER NOT NULL,
  PRIMARY KEY(day, machine)) WITHOUT ROWID;
)";

// Columns that came with the report format /2, added to a database an older service made. NULL in
// the rows before: those reports did not say.
struct AddedColumn {
    const char* table;
    const char* name;
    const char* type;
};
constexpr AddedColumn kAddedColumns[] = {
    {"reports", "staged", "INTEGER"},        {"reports", "staged_at", "INTEGER"},
    {"reports", "store_bytes", "INTEGER"},   {"reports", "wire_bytes", "INTEGER"},
    {"reports", "files_patched", "INTEGER"}, {"machines", "staged", "INTEGER"},
    {"machines", "staged_at", "INTEGER"},
};

constexpr char kInsertReport[] = R"(
INSERT INTO reports(received, machine, version, event, module, result, reason, text, files_listed,
  files_fetched, files_failed, bytes, duration_ms, time, time_unix, ring, rollout_number, rollout_serial, release,
  staged, staged_at, store_bytes, wire_bytes, files_patched)
VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22,
  ?23, ?24))";

// The latest state comes from the report with the newest own time (clamped to its arrival, so a
// clock far ahead cannot pin a workstation's state): spooled reports may arrive out of order.
// Right-hand sides see the row as it was before the update. The staged release comes from the newest
// report of format /2 (?13 true): one of /1 does not say, and leaves it as it was.
constexpr char kUpsertMachine[] = R"(
INSERT INTO machines(machine, first_seen, last_seen, last_time, version, ring, release, rollout_number, event,
  module, result, reason, text, failure_at, failure_reason, failure_text, staged, staged_at)
VALUES(?1, ?2, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12,
  CASE WHEN ?10 <> 'ok' THEN ?3 ELSE 0 END, CASE WHEN ?10 <> 'ok' THEN ?11 ELSE '' END,
  CASE WHEN ?10 <> 'ok' THEN ?12 ELSE '' END, ?14, ?15)
ON CONFLICT(machine) DO UPDATE SET
  staged = CASE WHEN ?13 AND excluded.last_time >= last_time THEN excluded.staged ELSE staged END,
  staged_at = CASE WHEN ?13 AND excluded.last_time >= last_time THEN excluded.staged_at ELSE staged_at END,
  first_seen = min(first_seen, excluded.first_seen),
  last_seen = max(last_seen, excluded.last_seen),
  version = CASE WHEN excluded.last_time >= last_time THEN excluded.version ELSE version END,
  ring = CASE WHEN excluded.last_time >= last_time THEN excluded.ring ELSE ring END,
  release = CASE WHEN excluded.last_time >= last_time THEN excluded.release ELSE release END,
  rollout_number = CASE WHEN excluded.last_time >= last_time THEN excluded.rollout_number ELSE rollout_number END,
  event = CASE WHEN excluded.last_time >= last_time THEN excluded.event ELSE event END,
  module = CASE WHEN excluded.last_time >= last_time THEN excluded.module ELSE module END,
  result = CASE WHEN excluded.last_time >= last_time THEN excluded.result ELSE result END,
  reason = CASE WHEN excluded.last_time >= last_time THEN excluded.reason ELSE reason END,
  text = CASE WHEN excluded.last_time >= last_time THEN excluded.text ELSE text END,
  failure_reason = CASE WHEN excluded.failure_at > 0 AND excluded.failure_at >= failure_at
                   THEN excluded.failure_reason ELSE failure_reason END,
  failure_text = CASE WHEN excluded.failure_at > 0 AND excluded.failure_at >= failure_at
                 THEN excluded.failure_text ELSE failure_text END,
  failure_at = max(failure_at, excluded.failure_at),
  last_time = max(last_time, excluded.last_time))";

constexpr char kUpsertDay[] = R"(
INSERT INTO days(day, machine, release, time) VALUES(?1, ?2, ?3, ?4)
ON CONFLICT(day, machine) DO UPDATE SET
  release = CASE WHEN excluded.time >= time THEN excluded.release ELSE release END,
  time = max(time, excluded.time))";

constexpr char kKnownMachine[] = "SELECT 1 FROM machines WHERE machine = ?1";

sqlite3* Open(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string text = db ? sqlite3_errmsg(db) : "out of memory";
        const StoreError::Kind kind = db ? KindOf(db) : StoreError::Kind::Failed;
        sqlite3_close(db);
        throw StoreError(kind == StoreError::Kind::Failed ? StoreError::Kind::Unavailable : kind,
                         "cannot open " + path + ": " + text);
    }
    sqlite3_extended_result_codes(db, 1);
    // A writer holds the lock for a few milliseconds; a reader never waits for one under WAL, but
    // a checkpoint or a second process may make either wait briefly.
    sqlite3_busy_timeout(db, 5000);
    return db;
}

void BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

template <typename T>
void BindOptional(sqlite3_stmt* stmt, int index, const std::optional<T>& value) {
    if (value)
        sqlite3_bind_int64(stmt, index, static_cast<int64_t>(*value));
    else
        sqlite3_bind_null(stmt, index);
}

void Run(sqlite3* db, sqlite3_stmt* stmt, const char* what) {
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (rc != SQLITE_DONE) Fail(db, what);
}

// In one transaction, so that a database is either as an older service left it or wholly current.
void AddMissingColumns(sqlite3* db) {
    std::set<std::pair<std::string, std::string>> present;
    for (const char* table : {"reports", "machines"}) {
        Statement columns(db, std::string("PRAGMA table_info(") + table + ")");
        while (columns.Step()) present.emplace(table, columns.Text(1));
    }
    std::string sql;
    for (const AddedColumn& column : kAddedColumns)
        if (!present.count({column.table, column.name}))
            sql += std::string("ALTER TABLE ") + column.table + " ADD COLUMN " + column.name + " " +
                   column.type + ";";
    if (sql.empty()) return;
    Exec(db, "BEGIN IMMEDIATE");
    try {
        Exec(db, sql.c_str());
        Exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace

std::string LocalDay(int64_t unixTime) {
    const time_t time = static_cast<time_t>(unixTime);
    std::tm parts{};
    localtime_r(&time, &parts);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &parts);
    return text;
}

Store::Store(const std::string& path, StoreLimits limits) : path_(path), limits_(limits) {
    try {
        writer_ = Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        if (sqlite3_db_readonly(writer_, "main") == 1)
            throw StoreError(StoreError::Kind::ReadOnly, path + " can only be read, not written");
        // The header is read here: a file that is not a database fails now, not at the first report.
        Exec(writer_, "SELECT count(*) FROM sqlite_master");
        // NORMAL under WAL syncs at checkpoints, not at every commit: a power cut may lose the last
        // moments of reports but never corrupts the file, and each POST does not wait for a disk.
        // The WAL is cut back after each checkpoint so that it stays small beside the size cap.
        Exec(writer_,
             "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=16777216;");
        Exec(writer_, kSchema);
        AddMissingColumns(writer_);
        {
            Statement pageSize(writer_, "PRAGMA page_size");
            const int64_t bytes = pageSize.Step() ? pageSize.Int(0) : 4096;
            const int64_t pages = std::max<int64_t>(limits_.maxBytes / std::max<int64_t>(bytes, 512), 16);
            Exec(writer_, ("PRAGMA max_page_count=" + std::to_string(pages)).c_str());
        }
        {
            Statement count(writer_, "SELECT count(*) FROM machines");
            machineCount_ = count.Step() ? count.Int(0) : 0;
        }
        for (auto [sql, stmt] :
             {std::pair{kInsertReport, &insertReport_}, std::pair{kUpsertMachine, &upsertMachine_},
              std::pair{kUpsertDay, &upsertDay_}, std::pair{kKnownMachine, &knownMachine_}})
            if (sqlite3_prepare_v3(writer_, sql, -1, SQLITE_PREPARE_PERSISTENT, stmt, nullptr) != SQLITE_OK)
                Fail(writer_, "prepare");
        for (Slot& slot : readers_) {
            slot.db = Open(path, SQLITE_OPEN_READONLY);
            // Checked every few thousand steps of a query: cheap beside the query, quick to stop it.
            sqlite3_progress_handler(slot.db, 4000, &Store::Progress, &slot);
        }
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) {
            device_ = info.st_dev;
            inode_ = info.st_ino;
        }
    } catch (...) {
        Close();
        throw;
    }
}

Store::~Store() { Close(); }

void Store::Close() {
    sqlite3_finalize(insertReport_);
    sqlite3_finalize(upsertMachine_);
    sqlite3_finalize(upsertDay_);
    sqlite3_finalize(knownMachine_);
    insertReport_ = upsertMachine_ = upsertDay_ = knownMachine_ = nullptr;
    for (Slot& slot : readers_) {
        sqlite3_close(slot.db);
        slot.db = nullptr;
    }
    sqlite3_close(writer_);
    writer_ = nullptr;
}

bool Store::StillAtPath() const {
    struct stat info {};
    return ::stat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_;
}

int64_t Store::FileBytes() {
    struct stat info {};
    return ::stat(path_.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
}

int Store::Progress(void* slot) {
    const ReadBudget& budget = static_cast<Slot*>(slot)->budget;
    if (std::chrono::steady_clock::now() > budget.deadline) return 1;
    return budget.clientGone && budget.clientGone() ? 1 : 0;
}

Store::Reader Store::Read(ReadBudget budget, std::chrono::milliseconds wait) {
    std::unique_lock lock(readMutex_);
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        for (size_t i = 0; i < readers_.size(); ++i) {
            if (readers_[i].busy) continue;
            readers_[i].busy = true;
            readers_[i].budget = std::move(budget);
            return Reader(this, i);
        }
        if (readFreed_.wait_until(lock, until) == std::cv_status::timeout)
            throw StoreError(StoreError::Kind::Busy, "every reading connection is in use");
    }
}

Store::Reader::~Reader() {
    if (!store_) return;
    {
        const std::lock_guard lock(store_->readMutex_);
        store_->readers_[slot_].busy = false;
        store_->readers_[slot_].budget = {};
    }
    store_->readFreed_.notify_one();
}

sqlite3* Store::Reader::db() const { return store_->readers_[slot_].db; }

void Store::WriteBatch(const std::vector<Report>& batch, int64_t receivedUnix, int64_t& machines) {
    for (const Report& r : batch) {
        sqlite3_stmt* s = knownMachine_;
        BindText(s, 1, r.machine);
        const int known = sqlite3_step(s);
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        if (known != SQLITE_ROW && known != SQLITE_DONE) Fail(writer_, "look up workstation");
        if (known == SQLITE_DONE) {
            // A new workstation past the cap is refused; the ones already known keep reporting.
            if (machines >= limits_.maxMachines)
                throw StoreError(StoreError::Kind::MachinesCap,
                                 "the fleet view holds its most workstations (" +
                                     std::to_string(limits_.maxMachines) + ")");
            ++machines;
        }
        s = insertReport_;
        sqlite3_bind_int64(s, 1, receivedUnix);
        BindText(s, 2, r.machine);
        BindText(s, 3, r.version);
        BindText(s, 4, r.event);
        BindText(s, 5, r.module);
        BindText(s, 6, r.result);
        BindText(s, 7, r.reason);
        BindText(s, 8, r.text);
        sqlite3_bind_int64(s, 9, static_cast<int64_t>(r.filesListed));
        sqlite3_bind_int64(s, 10, static_cast<int64_t>(r.filesFetched));
        sqlite3_bind_int64(s, 11, static_cast<int64_t>(r.filesFailed));
        sqlite3_bind_int64(s, 12, static_cast<int64_t>(r.bytes));
        sqlite3_bind_int64(s, 13, static_cast<int64_t>(r.durationMs));
        BindText(s, 14, r.time);
        sqlite3_bind_int64(s, 15, r.timeUnix);
        BindText(s, 16, r.ring);
        BindOptional(s, 17, r.rolloutNumber);
        BindOptional(s, 18, r.rolloutSerial);
        BindOptional(s, 19, r.release);
        BindOptional(s, 20, r.staged);
        BindOptional(s, 21, r.stagedAt.empty() ? std::nullopt : std::optional<int64_t>(r.stagedAtUnix));
        BindOptional(s, 22, r.storeBytes);
        BindOptional(s, 23, r.wireBytes);
        BindOptional(s, 24, r.filesPatched);
        Run(writer_, s, "insert report");

        const int64_t when = std::min(r.timeUnix, receivedUnix);
        s = upsertMachine_;
        BindText(s, 1, r.machine);
        sqlite3_bind_int64(s, 2, receivedUnix);
        sqlite3_bind_int64(s, 3, when);
        BindText(s, 4, r.version);
        BindText(s, 5, r.ring);
        BindOptional(s, 6, r.release);
        BindOptional(s, 7, r.rolloutNumber);
        BindText(s, 8, r.event);
        BindText(s, 9, r.module);
        BindText(s, 10, r.result);
        BindText(s, 11, r.reason);
        BindText(s, 12, r.text);
        sqlite3_bind_int(s, 13, r.format2 ? 1 : 0);
        BindOptional(s, 14, r.staged);
        BindOptional(s, 15, r.stagedAt.empty() ? std::nullopt : std::optional<int64_t>(r.stagedAtUnix));
        Run(writer_, s, "update workstation");

        s = upsertDay_;
        BindText(s, 1, LocalDay(when));
        BindText(s, 2, r.machine);
        sqlite3_bind_int64(s, 3, static_cast<int64_t>(r.release.value_or(0)));
        sqlite3_bind_int64(s, 4, when);
        Run(writer_, s, "update day");
    }
}

void Store::Add(const std::vector<Report>& batch, int64_t receivedUnix) {
    Pending pending{&batch, receivedUnix, false, {}};
    std::unique_lock lock(queueMutex_);
    queue_.push_back(&pending);
    // Group commit: whoever finds no writer at work writes every batch queued so far in one
    // transaction, each batch under a savepoint of its own; the others wait for their outcome.
    // A commit is the costly step, so under a thousand senders this stores many batches per commit.
    while (!pending.done) {
        if (writing_) {
            written_.wait(lock);
            continue;
        }
        writing_ = true;
        std::vector<Pending*> group;
        group.swap(queue_);
        lock.unlock();
        WriteGroup(group);
        lock.lock();
        for (Pending* p : group) p->done = true;  // under the lock the waiters read it with
        writing_ = false;
        written_.notify_all();
    }
    if (!pending.error.empty()) throw StoreError(pending.kind, pending.error);
}

void Store::WriteGroup(const std::vector<Pending*>& group) {
    const std::lock_guard lock(writeMutex_);
    std::string groupError;
    StoreError::Kind groupKind = StoreError::Kind::Failed;
    int64_t machines = machineCount_;
    try {
        // A file deleted or swapped under the service would take reports that nobody ever reads.
        if (!StillAtPath())
            throw StoreError(StoreError::Kind::Gone, path_ + " was deleted or replaced while in use");
        Exec(writer_, "BEGIN IMMEDIATE");
        for (Pending* p : group) {
            Exec(writer_, "SAVEPOINT batch");
            const int64_t before = machines;
            try {
                WriteBatch(*p->batch, p->receivedUnix, machines);
                Exec(writer_, "RELEASE batch");
            } catch (const StoreError& error) {
                // This batch alone is undone; the others in the group stay.
                sqlite3_exec(writer_, "ROLLBACK TO batch; RELEASE batch", nullptr, nullptr, nullptr);
                machines = before;
                p->error = error.what();
                p->kind = error.kind();
            }
        }
        Exec(writer_, "COMMIT");
        machineCount_ = machines;
    } catch (const StoreError& error) {
        sqlite3_exec(writer_, "ROLLBACK", nullptr, nullptr, nullptr);
        groupError = error.what();
        groupKind = error.kind();
    }
    for (Pending* p : group)
        if (!groupError.empty() && p->error.empty()) {
            p->error = groupError;
            p->kind = groupKind;
        }
}

int64_t Store::Prune(int64_t beforeUnix) {
    const std::lock_guard lock(writeMutex_);
    Exec(writer_, "BEGIN IMMEDIATE");
    try {
        Statement reports(writer_, "DELETE FROM reports WHERE received < ?1");
        sqlite3_bind_int64(reports.get(), 1, beforeUnix);
        reports.Step();
        const int64_t deleted = sqlite3_changes64(writer_);
        Statement machines(writer_, "DELETE FROM machines WHERE last_seen < ?1");
        sqlite3_bind_int64(machines.get(), 1, beforeUnix);
        machines.Step();
        Statement days(writer_, "DELETE FROM days WHERE day < ?1");
        BindText(days.get(), 1, LocalDay(beforeUnix));
        days.Step();
        Statement count(writer_, "SELECT count(*) FROM machines");
        const int64_t remaining = count.Step() ? count.Int(0) : 0;
        Exec(writer_, "COMMIT");
        machineCount_ = remaining;
        return deleted;
    } catch (...) {
        sqlite3_exec(writer_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace fleet
