#include "tools/fileservice/fleet/store.h"

#include <ctime>

namespace fleet {

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
CREATE TABLE IF NOT EXISTS days(
  day TEXT NOT NULL, machine TEXT NOT NULL COLLATE NOCASE, release INTEGER NOT NULL, time INTEGER NOT NULL,
  PRIMARY KEY(day, machine)) WITHOUT ROWID;
)";

constexpr char kInsertReport[] = R"(
INSERT INTO reports(received, machine, version, event, module, result, reason, text, files_listed,
  files_fetched, files_failed, bytes, duration_ms, time, time_unix, ring, rollout_number, rollout_serial, release)
VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19))";

// The latest state comes from the report with the newest own time (clamped to its arrival, so a
// clock far ahead cannot pin a workstation's state): spooled reports may arrive out of order.
// Right-hand sides see the row as it was before the update.
constexpr char kUpsertMachine[] = R"(
INSERT INTO machines(machine, first_seen, last_seen, last_time, version, ring, release, rollout_number, event,
  module, result, reason, text, failure_at, failure_reason, failure_text)
VALUES(?1, ?2, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12,
  CASE WHEN ?10 <> 'ok' THEN ?3 ELSE 0 END, CASE WHEN ?10 <> 'ok' THEN ?11 ELSE '' END,
  CASE WHEN ?10 <> 'ok' THEN ?12 ELSE '' END)
ON CONFLICT(machine) DO UPDATE SET
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

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
    throw StoreError(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

void Exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message ? message : "unknown error";
        sqlite3_free(message);
        throw StoreError(std::string("database: ") + text);
    }
}

sqlite3* Open(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string text = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw StoreError("cannot open " + path + ": " + text);
    }
    // A writer holds the lock for a few milliseconds; a reader never waits for one under WAL, but
    // a checkpoint or a second process may make either wait briefly.
    sqlite3_busy_timeout(db, 5000);
    return db;
}

// A statement for one call, finalized on every path.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) Fail(db, "prepare");
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    bool Step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) Fail(db_, "query");
        return false;
    }
    std::string Text(int column) const {
        const auto* text = sqlite3_column_text(stmt_, column);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                    : std::string();
    }
    int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool Null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

  private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

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

}  // namespace

std::string LocalDay(int64_t unixTime) {
    const time_t time = static_cast<time_t>(unixTime);
    std::tm parts{};
    localtime_r(&time, &parts);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &parts);
    return text;
}

Store::Store(const std::string& path) {
    try {
        writer_ = Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        // NORMAL under WAL syncs at checkpoints, not at every commit: a power cut may lose the last
        // moments of reports but never corrupts the file, and each POST does not wait for a disk.
        Exec(writer_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
        Exec(writer_, kSchema);
        for (auto [sql, stmt] :
             {std::pair{kInsertReport, &insertReport_}, std::pair{kUpsertMachine, &upsertMachine_},
              std::pair{kUpsertDay, &upsertDay_}})
            if (sqlite3_prepare_v3(writer_, sql, -1, SQLITE_PREPARE_PERSISTENT, stmt, nullptr) != SQLITE_OK)
                Fail(writer_, "prepare");
        reader_ = Open(path, SQLITE_OPEN_READONLY);
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
    insertReport_ = upsertMachine_ = upsertDay_ = nullptr;
    sqlite3_close(reader_);
    sqlite3_close(writer_);
    reader_ = writer_ = nullptr;
}

void Store::WriteBatch(const std::vector<Report>& batch, int64_t receivedUnix) {
    for (const Report& r : batch) {
        sqlite3_stmt* s = insertReport_;
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
    if (!pending.error.empty()) throw StoreError(pending.error);
}

void Store::WriteGroup(const std::vector<Pending*>& group) {
    const std::lock_guard lock(writeMutex_);
    std::string groupError;
    try {
        Exec(writer_, "BEGIN IMMEDIATE");
        for (Pending* p : group) {
            Exec(writer_, "SAVEPOINT batch");
            try {
                WriteBatch(*p->batch, p->receivedUnix);
                Exec(writer_, "RELEASE batch");
            } catch (const StoreError& error) {
                // This batch alone is undone; the others in the group stay.
                sqlite3_exec(writer_, "ROLLBACK TO batch; RELEASE batch", nullptr, nullptr, nullptr);
                p->error = error.what();
            }
        }
        Exec(writer_, "COMMIT");
    } catch (const StoreError& error) {
        sqlite3_exec(writer_, "ROLLBACK", nullptr, nullptr, nullptr);
        groupError = error.what();
    }
    for (Pending* p : group)
        if (!groupError.empty() && p->error.empty()) p->error = groupError;
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
        Exec(writer_, "COMMIT");
        return deleted;
    } catch (...) {
        sqlite3_exec(writer_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::vector<Machine> Store::Machines() {
    const std::lock_guard lock(readMutex_);
    Statement q(
        reader_,
        "SELECT machine, version, ring, event, module, result, reason, text, release, rollout_number, "
        "first_seen, last_seen, last_time, failure_at, failure_reason, failure_text FROM machines "
        "ORDER BY machine");
    std::vector<Machine> machines;
    while (q.Step()) {
        Machine m;
        m.machine = q.Text(0);
        m.version = q.Text(1);
        m.ring = q.Text(2);
        m.event = q.Text(3);
        m.module = q.Text(4);
        m.result = q.Text(5);
        m.reason = q.Text(6);
        m.text = q.Text(7);
        if (!q.Null(8)) m.release = static_cast<uint64_t>(q.Int(8));
        if (!q.Null(9)) m.rolloutNumber = static_cast<unsigned>(q.Int(9));
        m.firstSeen = q.Int(10);
        m.lastSeen = q.Int(11);
        m.lastTime = q.Int(12);
        m.lastFailureAt = q.Int(13);
        m.lastFailureReason = q.Text(14);
        m.lastFailureText = q.Text(15);
        machines.push_back(std::move(m));
    }
    return machines;
}

std::vector<StoredReport> Store::History(const std::string& machine, int limit) {
    const std::lock_guard lock(readMutex_);
    Statement q(reader_,
                "SELECT received, machine, version, event, module, result, reason, text, files_listed, "
                "files_fetched, files_failed, bytes, duration_ms, time, time_unix, ring, rollout_number, "
                "rollout_serial, release FROM reports WHERE machine = ?1 ORDER BY time_unix DESC, id DESC "
                "LIMIT ?2");
    BindText(q.get(), 1, machine);
    sqlite3_bind_int(q.get(), 2, limit);
    std::vector<StoredReport> history;
    while (q.Step()) {
        StoredReport s;
        s.received = q.Int(0);
        Report& r = s.report;
        r.machine = q.Text(1);
        r.version = q.Text(2);
        r.event = q.Text(3);
        r.module = q.Text(4);
        r.result = q.Text(5);
        r.reason = q.Text(6);
        r.text = q.Text(7);
        r.filesListed = static_cast<uint64_t>(q.Int(8));
        r.filesFetched = static_cast<uint64_t>(q.Int(9));
        r.filesFailed = static_cast<uint64_t>(q.Int(10));
        r.bytes = static_cast<uint64_t>(q.Int(11));
        r.durationMs = static_cast<uint64_t>(q.Int(12));
        r.time = q.Text(13);
        r.timeUnix = q.Int(14);
        r.ring = q.Text(15);
        if (!q.Null(16)) r.rolloutNumber = static_cast<unsigned>(q.Int(16));
        if (!q.Null(17)) r.rolloutSerial = static_cast<uint64_t>(q.Int(17));
        if (!q.Null(18)) r.release = static_cast<uint64_t>(q.Int(18));
        history.push_back(std::move(s));
    }
    return history;
}

std::vector<DayCount> Store::Days(const std::string& fromDay) {
    const std::lock_guard lock(readMutex_);
    Statement q(reader_,
                "SELECT day, release, count(*) FROM days WHERE day >= ?1 GROUP BY day, release ORDER BY day, "
                "release");
    BindText(q.get(), 1, fromDay);
    std::vector<DayCount> days;
    while (q.Step()) days.push_back({q.Text(0), static_cast<uint64_t>(q.Int(1)), q.Int(2)});
    return days;
}

int64_t Store::ReportCount() {
    const std::lock_guard lock(readMutex_);
    Statement q(reader_, "SELECT count(*) FROM reports");
    return q.Step() ? q.Int(0) : 0;
}

}  // namespace fleet
