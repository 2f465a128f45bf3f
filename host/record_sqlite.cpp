// The SQLite store: one file, written by every korvin of a station at once.
#include "record_sql.h"

#include <sqlite3.h>

namespace korvin {
namespace {

// How long a writer waits for another's transaction before it gives up: far
// beyond the few milliseconds a run's writes hold the file.
constexpr int BUSY_TIMEOUT_MS = 30000;

class sqlite_connection : public sql_connection {
  public:
    explicit sqlite_connection(sqlite3* db) : db_(db) {}
    ~sqlite_connection() override { sqlite3_close(db_); }

    bool exec(const std::string& sql, const sql_params& params, record_rows* rows,
              std::string& error) override {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement,
                               nullptr) != SQLITE_OK)
            return failed(error);
        for (std::size_t i = 0; i < params.size(); ++i) {
            const int index =
                sqlite3_bind_parameter_index(statement, ("$" + std::to_string(i + 1)).c_str());
            if (index == 0)
                continue;
            if (params[i])
                sqlite3_bind_text(statement, index, params[i]->data(),
                                  static_cast<int>(params[i]->size()), SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(statement, index);
        }
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            if (!rows)
                continue;
            auto& row = rows->emplace_back();
            for (int c = 0; c < sqlite3_column_count(statement); ++c) {
                const unsigned char* text = sqlite3_column_text(statement, c);
                if (text)
                    row.emplace_back(std::string(reinterpret_cast<const char*>(text),
                                                 sqlite3_column_bytes(statement, c)));
                else
                    row.emplace_back();
            }
        }
        sqlite3_finalize(statement);
        return step == SQLITE_DONE || failed(error);
    }

    // IMMEDIATE takes the write lock at once: a reader that later wants to
    // write could otherwise deadlock with another writer.
    const char* begin_write() const override { return "BEGIN IMMEDIATE"; }
    const char* list_tables() const override {
        return "SELECT name FROM sqlite_master WHERE type = 'table'";
    }
    const char* id_column() const override { return "INTEGER PRIMARY KEY"; }
    bool owns_whole_database() const override { return true; }

    // Write-ahead logging lets the boards of a station write while the
    // summary reads; the setting stays with the file. In that mode NORMAL
    // syncs at checkpoints rather than at every commit: a crashed korvin
    // still loses nothing, a power cut at most the last commits, and the
    // file stays whole either way.
    bool prepare_for_writing(std::string& error) override {
        record_rows rows;
        return exec("PRAGMA journal_mode = WAL", {}, &rows, error) &&
               exec("PRAGMA synchronous = NORMAL", {}, nullptr, error);
    }

  private:
    bool failed(std::string& error) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    sqlite3* db_;
};

} // namespace

std::unique_ptr<sql_connection> open_sqlite(const std::string& path, std::string& reason) {
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (path.empty()) {
        reason = "sqlite: needs a file name";
        return nullptr;
    }
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        reason = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    // Each board's korvin would otherwise copy the log into the file, sync
    // it twice and delete it when it closes; the automatic checkpoint of a
    // later write does that once every thousand pages instead.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    return std::make_unique<sqlite_connection>(db);
}

} // namespace korvin
