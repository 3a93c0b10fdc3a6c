// The report database: a batch is stored whole or not at all, the latest state follows the reports'
// own times, and retention removes old history.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>
#include <string>

#include "tools/fileservice/fleet/fleet_query.h"
#include "tools/fileservice/fleet/store.h"
#include "tools/fileservice/fleet/store_keeper.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kNow = 1765400000;  // 2026-12-10T20:53:20Z

fleet::Report MakeReport(const std::string& machine, int64_t time, const std::string& result = "ok",
                         uint64_t release = 3) {
    fleet::Report r;
    r.machine = machine;
    r.version = "2022.2.1.1";
    r.event = "startup";
    r.result = result;
    r.reason = result == "ok" ? "none" : "fetch";
    r.text = result == "ok" ? "" : "HTTP 503";
    r.time = "(time)";
    r.timeUnix = time;
    r.ring = "geral";
    r.release = release;
    return r;
}

class StoreTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("fleet-store-" + std::to_string(::getpid()) + "-" +
                                            testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "reports.db").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs SQL on a connection of its own, as another process would.
    int64_t Query(const std::string& sql) {
        sqlite3* db = nullptr;
        sqlite3_open(path_.c_str(), &db);
        sqlite3_stmt* stmt = nullptr;
        int64_t value = -1;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            value = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return value;
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(StoreTest, ABatchThatFailsPartWayLeavesNothingBehind) {
    fleet::Store store(path_);
    store.Add({MakeReport("WS-1", kNow - 60)}, kNow);
    // A trigger stands in for any failure on the batch's second report (a full disk, a lock).
    Query(
        "CREATE TRIGGER boom BEFORE INSERT ON reports WHEN NEW.machine = 'WS-BOOM' "
        "BEGIN SELECT RAISE(ABORT, 'boom'); END");
    EXPECT_THROW(store.Add({MakeReport("WS-2", kNow - 30), MakeReport("WS-1", kNow - 20, "failed"),
                            MakeReport("WS-BOOM", kNow - 10)},
                           kNow),
                 fleet::StoreError);
    EXPECT_EQ(Query("SELECT count(*) FROM reports"), 1);
    EXPECT_EQ(Query("SELECT count(*) FROM machines"), 1);
    EXPECT_EQ(Query("SELECT count(*) FROM machines WHERE result = 'ok' AND failure_at = 0"), 1);
    // The store still takes the next batch.
    store.Add({MakeReport("WS-2", kNow)}, kNow);
    EXPECT_EQ(Query("SELECT count(*) FROM machines"), 2);
}

TEST_F(StoreTest, TheLatestStateFollowsTheReportsOwnTimes) {
    fleet::Store store(path_);
    // A failure, then a success: the failure stays as the last failure, the state is ok.
    store.Add({MakeReport("WS-1", kNow - 100, "failed", 2), MakeReport("WS-1", kNow - 50, "ok", 3)}, kNow);
    // A spooled older report arriving later changes history, not the state.
    store.Add({MakeReport("ws-1", kNow - 300, "refused", 1)}, kNow + 10);
    // A clock far ahead counts as the arrival time, so it cannot pin the state.
    store.Add({MakeReport("WS-2", kNow + 86400 * 365, "failed", 1)}, kNow);
    store.Add({MakeReport("WS-2", kNow + 5, "ok", 3)}, kNow + 5);

    std::vector<fleet::Machine> machines;
    auto reader = store.Read({});
    fleet::ForEachMachine(reader.db(), {}, kNow, 7, "", 100,
                          [&](const fleet::MachineRow& row) { machines.push_back(row.machine); });
    ASSERT_EQ(machines.size(), 2u);  // names compared without letter case
    EXPECT_EQ(machines[0].result, "ok");
    EXPECT_EQ(machines[0].release, 3u);
    EXPECT_EQ(machines[0].lastFailureAt, kNow - 100);
    EXPECT_EQ(machines[0].lastFailureReason, "fetch");
    EXPECT_EQ(machines[0].lastSeen, kNow + 10);
    EXPECT_EQ(machines[1].result, "ok");
    EXPECT_EQ(machines[1].release, 3u);

    const auto history = fleet::QueryHistory(reader.db(), "ws-1", 50);
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[0].report.timeUnix, kNow - 50);
    EXPECT_EQ(history[2].report.result, "refused");
    EXPECT_EQ(fleet::QueryHistory(reader.db(), "WS-1", 1).size(), 1u);
}

TEST_F(StoreTest, RetentionDeletesOldHistoryAndForgottenWorkstations) {
    fleet::Store store(path_);
    const int64_t day = 86400;
    store.Add({MakeReport("WS-OLD", kNow - 100 * day)}, kNow - 100 * day);
    store.Add({MakeReport("WS-BOTH", kNow - 95 * day)}, kNow - 95 * day);
    store.Add({MakeReport("WS-BOTH", kNow - day)}, kNow - day);
    store.Add({MakeReport("WS-NEW", kNow)}, kNow);
    EXPECT_EQ(store.Prune(kNow - 90 * day), 2);
    EXPECT_EQ(Query("SELECT count(*) FROM reports"), 2);
    EXPECT_EQ(Query("SELECT count(*) FROM machines WHERE machine = 'WS-OLD'"), 0);
    EXPECT_EQ(Query("SELECT count(*) FROM machines"), 2);
    EXPECT_EQ(Query("SELECT count(*) FROM days WHERE machine = 'WS-OLD'"), 0);
    sqlite3* db = nullptr;
    sqlite3_open(path_.c_str(), &db);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &stmt, nullptr);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "wal");
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

}  // namespace

namespace {

// Senders at once share commits; a batch that fails among them is undone alone and reported to its
// own sender, while every other batch is stored whole.
TEST_F(StoreTest, ConcurrentBatchesAreStoredWholeAndAFailingOneAlone) {
    fleet::Store store(path_);
    store.Add({MakeReport("WS-0", kNow)}, kNow);
    Query(
        "CREATE TRIGGER boom BEFORE INSERT ON reports WHEN NEW.machine = 'WS-BOOM' "
        "BEGIN SELECT RAISE(ABORT, 'boom'); END");
    constexpr int kThreads = 8, kBatches = 40;
    std::atomic<int> refused{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int b = 0; b < kBatches; ++b) {
                std::vector<fleet::Report> batch;
                for (int i = 0; i < 3; ++i)
                    batch.push_back(
                        MakeReport("WS-" + std::to_string(t) + "-" + std::to_string(b), kNow + i));
                if (t == 3 && b % 10 == 5) batch.push_back(MakeReport("WS-BOOM", kNow));
                try {
                    store.Add(batch, kNow);
                } catch (const fleet::StoreError&) {
                    ++refused;
                }
            }
        });
    for (auto& sender : senders) sender.join();
    EXPECT_EQ(refused, 4);
    EXPECT_EQ(Query("SELECT count(*) FROM reports"), 1 + (kThreads * kBatches - 4) * 3);
    EXPECT_EQ(
        Query("SELECT count(*) FROM reports WHERE machine IN ('WS-3-5', 'WS-3-15', 'WS-3-25', 'WS-3-35')"),
        0);
    EXPECT_EQ(Query("SELECT count(*) FROM machines"), 1 + kThreads * kBatches - 4);
}

}  // namespace

namespace {

// The caps: a new workstation past --max-machines is refused while known ones go on, and retention
// makes room again; past --max-db-mb every write is refused as Full and the file stays within it.
TEST_F(StoreTest, CapsRefuseNewWorkstationsAndWritesPastTheSize) {
    {
        fleet::Store store(path_, {3, int64_t(64) << 20});
        store.Add({MakeReport("WS-1", kNow - 10), MakeReport("WS-2", kNow - 10)}, kNow - 86400 * 100);
        store.Add({MakeReport("WS-3", kNow)}, kNow);
        try {
            store.Add({MakeReport("WS-3", kNow), MakeReport("WS-4", kNow)}, kNow);
            FAIL() << "a fourth workstation was stored";
        } catch (const fleet::StoreError& error) {
            EXPECT_EQ(error.kind(), fleet::StoreError::Kind::MachinesCap);
        }
        EXPECT_EQ(Query("SELECT count(*) FROM reports WHERE time_unix = " + std::to_string(kNow)), 1);
        store.Add({MakeReport("ws-1", kNow)}, kNow);  // known, in another letter case
        EXPECT_EQ(store.MachineCount(), 3);
        store.Prune(kNow - 86400 * 90);
        EXPECT_EQ(store.MachineCount(), 2);
        store.Add({MakeReport("WS-4", kNow)}, kNow);
    }
    fs::remove(path_);
    fleet::Store store(path_, {1000000, 256 * 1024});
    fleet::Report big = MakeReport("WS-X", kNow, "failed");
    big.text = std::string(200, 'x');
    int stored = 0;
    for (;; ++stored) {
        std::vector<fleet::Report> batch(50, big);
        for (size_t i = 0; i < batch.size(); ++i) batch[i].machine = "WS-" + std::to_string(stored * 50 + i);
        try {
            store.Add(batch, kNow);
        } catch (const fleet::StoreError& error) {
            EXPECT_EQ(error.kind(), fleet::StoreError::Kind::Full) << error.what();
            break;
        }
        ASSERT_LT(stored, 1000) << "the size cap never held";
    }
    EXPECT_GT(stored, 0);
    EXPECT_LE(fs::file_size(path_), 256u * 1024 + 4096);
}

// A reading stops at its deadline or when its client goes, with the kind that says which.
TEST_F(StoreTest, AReadingStopsAtItsBudget) {
    fleet::Store store(path_);
    std::vector<fleet::Report> batch;
    for (int i = 0; i < 50; ++i) batch.push_back(MakeReport("WS-" + std::to_string(i), kNow));
    store.Add(batch, kNow);
    const char* slow =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT count(*) FROM n";
    const struct {
        const char* name;
        fleet::ReadBudget budget;
    } cases[] = {
        {"deadline", {std::chrono::steady_clock::now() + std::chrono::milliseconds(50), {}}},
        {"client gone", {std::chrono::steady_clock::time_point::max(), [] { return true; }}},
    };
    for (const auto& c : cases) {
        auto reader = store.Read(c.budget);
        try {
            fleet::Statement q(reader.db(), slow);
            q.Step();
            ADD_FAILURE() << c.name << ": the query ran to its end";
        } catch (const fleet::StoreError& error) {
            EXPECT_EQ(error.kind(), fleet::StoreError::Kind::Interrupted) << c.name;
        }
    }
    // Every connection taken: the next reading is told Busy rather than queued for ever.
    auto first = store.Read({});
    auto second = store.Read({});
    EXPECT_THROW(store.Read({}, std::chrono::milliseconds(20)), fleet::StoreError);
}

// The keeper: a damaged file is moved aside and a new one started; a file deleted in use is noticed
// at the next write and opened afresh; a folder that cannot hold one leaves the store off, with why.
TEST_F(StoreTest, TheKeeperRecoversOrSaysWhy) {
    std::vector<std::string> log;
    const auto logLine = [&](const std::string& line) { log.push_back(line); };
    std::ofstream(path_) << std::string(8192, 'g');
    {
        fleet::StoreKeeper keeper(path_, {}, logLine);
        ASSERT_TRUE(keeper.Get());
        const auto state = keeper.State();
        ASSERT_EQ(state.warnings.size(), 1u);
        EXPECT_NE(state.warnings[0].find("damaged"), std::string::npos);
        int aside = 0;
        for (const auto& entry : fs::directory_iterator(dir_))
            if (entry.path().filename().string().starts_with("reports.db.damaged-")) {
                ++aside;
                EXPECT_EQ(fs::file_size(entry.path()), 8192u);
            }
        EXPECT_EQ(aside, 1);

        auto store = keeper.Get();
        store->Add({MakeReport("WS-1", kNow)}, kNow);
        fs::remove(path_);
        fs::remove(path_ + "-wal");
        fs::remove(path_ + "-shm");
        try {
            store->Add({MakeReport("WS-2", kNow)}, kNow);
            FAIL() << "a report went into a deleted file";
        } catch (const fleet::StoreError& error) {
            EXPECT_EQ(error.kind(), fleet::StoreError::Kind::Gone);
            keeper.Failed(store, error);
        }
        ASSERT_TRUE(keeper.Get());
        EXPECT_NE(keeper.Get(), store);
        keeper.Get()->Add({MakeReport("WS-2", kNow)}, kNow);
        EXPECT_EQ(Query("SELECT count(*) FROM reports"), 1);
    }
    // Retried at once here (the service waits 30 s between tries): it comes back by itself.
    fleet::StoreKeeper missing((dir_ / "no-such-folder" / "r.db").string(), {}, logLine,
                               std::chrono::seconds(0));
    EXPECT_FALSE(missing.Get());
    EXPECT_FALSE(missing.State().available);
    EXPECT_NE(missing.State().reason.find("no-such-folder"), std::string::npos);
    const size_t said = log.size();
    missing.Check();
    EXPECT_EQ(log.size(), said) << "the same reason logged again";
    fs::create_directories(dir_ / "no-such-folder");
    missing.Check();
    ASSERT_TRUE(missing.Get());
    EXPECT_TRUE(missing.State().available);
    missing.Get()->Add({MakeReport("WS-1", kNow)}, kNow);
}

}  // namespace

namespace {

// The database as the service before report format /2 made it, with one workstation in it.
constexpr char kSchemaBeforeFormat2[] = R"(
CREATE TABLE reports(
  id INTEGER PRIMARY KEY, received INTEGER NOT NULL, machine TEXT NOT NULL COLLATE NOCASE,
  version TEXT NOT NULL, event TEXT NOT NULL, module TEXT NOT NULL, result TEXT NOT NULL,
  reason TEXT NOT NULL, text TEXT NOT NULL, files_listed INTEGER NOT NULL, files_fetched INTEGER NOT NULL,
  files_failed INTEGER NOT NULL, bytes INTEGER NOT NULL, duration_ms INTEGER NOT NULL, time TEXT NOT NULL,
  time_unix INTEGER NOT NULL, ring TEXT NOT NULL, rollout_number INTEGER, rollout_serial INTEGER,
  release INTEGER);
CREATE INDEX reports_by_machine ON reports(machine, time_unix);
CREATE INDEX reports_by_received ON reports(received);
CREATE TABLE machines(
  machine TEXT PRIMARY KEY COLLATE NOCASE, first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL,
  last_time INTEGER NOT NULL, version TEXT NOT NULL, ring TEXT NOT NULL, release INTEGER,
  rollout_number INTEGER, event TEXT NOT NULL, module TEXT NOT NULL, result TEXT NOT NULL,
  reason TEXT NOT NULL, text TEXT NOT NULL, failure_at INTEGER NOT NULL, failure_reason TEXT NOT NULL,
  failure_text TEXT NOT NULL);
CREATE INDEX machines_by_ring ON machines(ring, release);
CREATE TABLE days(
  day TEXT NOT NULL, machine TEXT NOT NULL COLLATE NOCASE, release INTEGER NOT NULL, time INTEGER NOT NULL,
  PRIMARY KEY(day, machine)) WITHOUT ROWID;
INSERT INTO reports(received, machine, version, event, module, result, reason, text, files_listed,
  files_fetched, files_failed, bytes, duration_ms, time, time_unix, ring, rollout_number, rollout_serial, release)
  VALUES(1765300000, 'WS-OLD', '2022.2.1.1', 'startup', '', 'ok', 'none', '', 1, 0, 0, 0, 5, '(time)',
         1765300000, 'piloto', 3, 7, 3);
INSERT INTO machines VALUES('WS-OLD', 1765300000, 1765300000, 1765300000, '2022.2.1.1', 'piloto', 3, 3,
  'startup', '', 'ok', 'none', '', 0, '', '');
INSERT INTO days VALUES('2026-12-09', 'WS-OLD', 3, 1765300000);
)";

fleet::Report Format2(const std::string& machine, int64_t time, std::optional<uint64_t> staged) {
    fleet::Report r = MakeReport(machine, time);
    r.ring = "piloto";
    r.format2 = true;
    r.staged = staged;
    if (staged) {
        r.stagedAt = "(staged)";
        r.stagedAtUnix = time - 600;
    }
    r.storeBytes = 80000;
    r.wireBytes = 1200;
    r.filesPatched = 2;
    return r;
}

TEST_F(StoreTest, ADatabaseOfTheServiceBeforeFormatTwoIsCarriedOver) {
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, kSchemaBeforeFormat2, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    // Opened twice: the second opening finds the columns there and changes nothing.
    for (int opening = 0; opening < 2; ++opening) {
        fleet::Store store(path_);
        EXPECT_EQ(store.MachineCount(), opening + 1);
        if (opening == 0) {
            store.Add({Format2("WS-NEW", kNow - 60, 8), Format2("WS-OLD", kNow - 60, 8)}, kNow);
            // A /1 report after a /2 one does not say what is staged: the /2 report's word stands.
            fleet::Report format1 = MakeReport("WS-OLD", kNow - 30);
            format1.ring = "piloto";
            store.Add({format1}, kNow);
        }
    }
    EXPECT_EQ(Query("SELECT count(*) FROM reports"), 4);
    EXPECT_EQ(Query("SELECT count(*) FROM reports WHERE staged IS NULL AND store_bytes IS NULL"), 2);
    EXPECT_EQ(Query("SELECT store_bytes + wire_bytes + files_patched FROM reports WHERE machine = 'WS-NEW'"),
              81202);
    EXPECT_EQ(
        Query("SELECT count(*) FROM machines WHERE staged = 8 AND staged_at = " + std::to_string(kNow - 660)),
        2);
    EXPECT_EQ(Query("SELECT result = 'ok' AND release = 3 FROM machines WHERE machine = 'WS-OLD'"), 1);

    // The page's figure: workstations of a ring holding its staged release; a later /2 report that
    // holds none takes the workstation out.
    fleet::Store store(path_);
    store.Add({Format2("WS-NEW", kNow - 10, std::nullopt)}, kNow);
    fleet::RolloutView rollout;
    rollout.present = true;
    rollout.rings.push_back({"piloto", 3, std::nullopt, 100, 8});
    auto reader = store.Read({});
    const fleet::FleetView view = fleet::QueryView(reader.db(), rollout, kNow, 7, {}, "");
    ASSERT_EQ(view.rings.size(), 1u);
    EXPECT_EQ(view.rings[0].machines, 2);
    EXPECT_EQ(view.rings[0].holdingStaged, 1);
    const auto history = fleet::QueryHistory(reader.db(), "WS-NEW", 2);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_FALSE(history[0].report.staged);
    EXPECT_EQ(history[1].report.staged, 8u);
    EXPECT_EQ(history[1].report.wireBytes, 1200u);
}

}  // namespace
