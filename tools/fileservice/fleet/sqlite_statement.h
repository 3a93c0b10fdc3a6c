#pragma once
// One prepared statement for one query, finalized on every path; its failures are StoreErrors that
// carry SQLite's code, so that callers tell a damaged file from a busy or interrupted one.
#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace fleet {

class StoreError : public std::runtime_error {
  public:
    enum class Kind {
        Failed,       // any other fault (a full disk, a lock held too long)
        Damaged,      // the file is not a database or its pages are corrupt
        ReadOnly,     // the file or its folder cannot be written
        Unavailable,  // the file cannot be opened or created
        Full,         // --max-db-mb reached
        MachinesCap,  // --max-machines reached and the batch names a new workstation
        Gone,         // the file open is no longer the one at the path (deleted or replaced)
        Interrupted,  // a reading ran past its deadline or its client went away
        Busy,         // every reading connection stayed in use
    };
    StoreError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    explicit StoreError(const std::string& what) : StoreError(Kind::Failed, what) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

// The kind of a failed SQLite call on `db`.
StoreError::Kind KindOf(sqlite3* db);
[[noreturn]] void Fail(sqlite3* db, const std::string& what);
void Exec(sqlite3* db, const char* sql);

class Statement {
  public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) Fail(db, "prepare");
    }
    Statement(sqlite3* db, const std::string& sql) : Statement(db, sql.c_str()) {}
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
    void Bind(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
    void Bind(int index, const std::string& text) {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void BindNull(int index) { sqlite3_bind_null(stmt_, index); }

  private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace fleet
