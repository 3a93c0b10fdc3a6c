// The report database: a batch is stored whole or not at all, the latest state follows the reports'
// own times, and retention removes old history.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>
#include <string>

#include "tools/fileservice/fleet/store.h"

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

    const auto machines = store.Machines();
    ASSERT_EQ(machines.size(), 2u);  // names compared without letter case
    EXPECT_EQ(machines[0].result, "ok");
    EXPECT_EQ(machines[0].release, 3u);
    EXPECT_EQ(machines[0].lastFailureAt, kNow - 100);
    EXPECT_EQ(machines[0].lastFailureReason, "fetch");
    EXPECT_EQ(machines[0].lastSeen, kNow + 10);
    EXPECT_EQ(machines[1].result, "ok");
    EXPECT_EQ(machines[1].release, 3u);

    const auto history = store.History("ws-1", 50);
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[0].report.timeUnix, kNow - 50);
    EXPECT_EQ(history[2].report.result, "refused");
    EXPECT_EQ(store.History("WS-1", 1).size(), 1u);
}

TEST_F(StoreTest, RetentionDeletesOldHistoryAndForgottenWorkstations) {
    fleet::Store store(path_);
    const int64_t day = 86400;
    store.Add({MakeReport("WS-OLD", kNow - 100 * day)}, kNow - 100 * day);
    store.Add({MakeReport("WS-BOTH", kNow - 95 * day)}, kNow - 95 * day);
    store.Add({MakeReport("WS-BOTH", kNow - day)}, kNow - day);
    store.Add({MakeReport("WS-NEW", kNow)}, kNow);
    EXPECT_EQ(store.Prune(kNow - 90 * day), 2);
    EXPECT_EQ(store.ReportCount(), 2);
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
