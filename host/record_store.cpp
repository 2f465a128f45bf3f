// The schema and the writes, the same for both databases.
#include "record.h"
#include "record_sql.h"
#include "text.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <set>

namespace korvin {
namespace {

// Times are ISO 8601 text in UTC, so that comparing them as text orders
// them in both databases.
const char* const SCHEMA[] = {
    "CREATE TABLE korvin_schema (version INTEGER NOT NULL)",
    ("CREATE TABLE runs (id @ID@, run_key TEXT NOT NULL UNIQUE, started_at TEXT NOT NULL, "
     "ended_at TEXT, station TEXT NOT NULL, port TEXT NOT NULL, board_id TEXT, "
     "board_number BIGINT, korvin_version TEXT NOT NULL, image_length BIGINT NOT NULL, "
     "outcome TEXT NOT NULL, error TEXT, log TEXT NOT NULL)"),
    // The summary's indexes: they hold what its queries read of each run
    // and test, so that it never reads the logs.
    "CREATE INDEX runs_started_at ON runs (started_at, outcome, station, port, board_id)",
    "CREATE INDEX runs_board_id ON runs (board_id, started_at, outcome)",
    ("CREATE TABLE tests (run_id BIGINT NOT NULL REFERENCES runs (id), pass INTEGER NOT NULL, "
     "name TEXT NOT NULL, status TEXT NOT NULL, result_code BIGINT NOT NULL, "
     "seconds DOUBLE PRECISION NOT NULL, PRIMARY KEY (run_id, pass, name))"),
    ("CREATE TABLE findings (run_id BIGINT NOT NULL REFERENCES runs (id), pass INTEGER NOT NULL, "
     "test TEXT NOT NULL, text TEXT NOT NULL, line TEXT)"),
    "CREATE INDEX tests_status ON tests (run_id, pass, name, status)",
    "CREATE INDEX findings_run ON findings (run_id, pass, test)",
};

std::string with_id_type(std::string sql, const char* id_type) {
    const std::string::size_type at = sql.find("@ID@");
    if (at != std::string::npos)
        sql.replace(at, 4, id_type);
    return sql;
}

sql_params run_params(const record_run& run) {
    std::optional<std::string> number;
    if (run.board_number)
        number = std::to_string(*run.board_number);
    return {run.run_key,
            run.started_at,
            run.ended_at.empty() ? std::optional<std::string>() : run.ended_at,
            run.station,
            run.port,
            run.board_id,
            number,
            run.korvin_version,
            std::to_string(run.image_length),
            run.outcome,
            run.error,
            run.log};
}

// Text as both databases take it: valid UTF-8 without NUL. The line may
// carry any byte (a garbled trace); a byte that is not part of a UTF-8
// sequence is taken as Latin-1, as the JSON report takes it.
std::string utf8_text(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80         ? 1
                                   : (c >> 5) == 6  ? 2
                                   : (c >> 4) == 14 ? 3
                                   : (c >> 3) == 30 ? 4
                                                    : 0;
        bool valid = length > 1 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) >> 6) == 2;
        if (c == 0) {
            out += '?';
            ++i;
        } else if (length == 1 || valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
            ++i;
        }
    }
    return out;
}

sql_params utf8_params(sql_params params) {
    for (auto& p : params)
        if (p)
            p = utf8_text(*p);
    return params;
}

class sql_store : public record_store {
  public:
    explicit sql_store(std::unique_ptr<sql_connection> db) : db_(std::move(db)) {}

    // Checks the schema and creates it on first use; false with the reason.
    bool attach(std::string& reason) {
        record_rows rows;
        if (!db_->exec(db_->list_tables(), {}, &rows, reason))
            return false;
        std::set<std::string> tables;
        for (const auto& row : rows)
            if (!row.empty() && row[0])
                tables.insert(*row[0]);
        if (tables.count("korvin_schema"))
            return check_version(reason);
        const bool foreign =
            db_->owns_whole_database()
                ? !tables.empty()
                : tables.count("runs") || tables.count("tests") || tables.count("findings");
        if (foreign) {
            reason = "it holds tables that are not korvin's";
            return false;
        }
        if (!db_->prepare_for_writing(reason) ||
            !db_->exec(db_->begin_write(), {}, nullptr, reason))
            return false;
        if (!db_->lock_schema(reason))
            return finish(false, reason);
        // Another korvin may have made the schema since the look above.
        rows.clear();
        bool ok = db_->exec(db_->list_tables(), {}, &rows, reason);
        bool made = false;
        for (const auto& row : rows)
            made = made || (!row.empty() && row[0] && *row[0] == "korvin_schema");
        for (const char* statement : SCHEMA)
            ok = ok && (made ||
                        db_->exec(with_id_type(statement, db_->id_column()), {}, nullptr, reason));
        ok = ok && (made || db_->exec("INSERT INTO korvin_schema (version) VALUES ($1)",
                                      {std::to_string(RECORD_SCHEMA_VERSION)}, nullptr, reason));
        return finish(ok, reason);
    }

    bool begin_run(const record_run& run, std::string& error) override {
        return db_->exec("INSERT INTO runs (run_key, started_at, ended_at, station, port, "
                         "board_id, board_number, korvin_version, image_length, outcome, error, "
                         "log) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12) "
                         "ON CONFLICT (run_key) DO NOTHING",
                         utf8_params(run_params(run)), nullptr, error);
    }

    bool add_test(const record_test& test, std::string& error) override {
        if (!db_->exec(db_->begin_write(), {}, nullptr, error))
            return false;
        record_rows rows;
        const std::string pass = std::to_string(test.pass);
        bool ok = db_->exec("INSERT INTO tests (run_id, pass, name, status, result_code, seconds) "
                            "SELECT id, CAST($2 AS INTEGER), $3, $4, CAST($5 AS BIGINT), "
                            "CAST($6 AS DOUBLE PRECISION) FROM runs WHERE run_key = $1 "
                            "ON CONFLICT (run_id, pass, name) DO NOTHING RETURNING run_id",
                            {test.run_key, pass, test.name, test.status,
                             std::to_string(test.result_code), seconds_text(test.seconds)},
                            &rows, error);
        if (ok && rows.empty()) {
            // Already there (a replay), or its run is missing, which no
            // ordered write can cause.
            record_rows run;
            ok = db_->exec("SELECT id FROM runs WHERE run_key = $1", {test.run_key}, &run, error);
            if (ok && run.empty()) {
                error = "no run " + test.run_key + " for the " + test.name + " test";
                ok = false;
            }
        }
        for (std::size_t i = 0; ok && !rows.empty() && i < test.findings.size(); ++i) {
            const std::string line = finding_line(test.findings[i]);
            ok = db_->exec("INSERT INTO findings (run_id, pass, test, text, line) "
                           "VALUES ($1, $2, $3, $4, $5)",
                           utf8_params({rows[0][0], pass, test.name, test.findings[i],
                                        line.empty() ? std::optional<std::string>() : line}),
                           nullptr, error);
        }
        return finish(ok, error);
    }

    bool update_run(const record_run& run, std::string& error) override {
        return db_->exec(
            "UPDATE runs SET ended_at = $2, outcome = $3, error = $4, log = $5 "
            "WHERE run_key = $1",
            utf8_params({run.run_key,
                         run.ended_at.empty() ? std::optional<std::string>() : run.ended_at,
                         run.outcome, run.error, run.log}),
            nullptr, error);
    }

    bool query(const std::string& sql, const std::vector<std::string>& params, record_rows& rows,
               std::string& error) override {
        rows.clear();
        return db_->exec(sql, utf8_params(sql_params(params.begin(), params.end())), &rows, error);
    }

  private:
    static std::string seconds_text(double seconds) {
        char text[32];
        std::snprintf(text, sizeof text, "%.6f", seconds > 0 ? seconds : 0.0);
        return text;
    }

    bool check_version(std::string& reason) {
        record_rows rows;
        if (!db_->exec("SELECT MAX(version) FROM korvin_schema", {}, &rows, reason))
            return false;
        const int version = rows.empty() || !rows[0][0] ? 0 : std::atoi(rows[0][0]->c_str());
        if (version > RECORD_SCHEMA_VERSION) {
            reason = "its schema is version " + std::to_string(version) + ", and this korvin " +
                     "knows versions up to " + std::to_string(RECORD_SCHEMA_VERSION);
            return false;
        }
        // Version 1 is the first; later schemas add their migrations here,
        // each in the write transaction that also raises the version.
        return db_->prepare_for_writing(reason);
    }

    bool finish(bool ok, std::string& error) {
        std::string ignored;
        if (ok)
            return db_->exec("COMMIT", {}, nullptr, error);
        db_->exec("ROLLBACK", {}, nullptr, ignored);
        return false;
    }

    std::unique_ptr<sql_connection> db_;
};

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

} // namespace

std::unique_ptr<record_store> open_record_store(const std::string& url, std::string& reason) {
    std::unique_ptr<sql_connection> db;
    if (starts_with(url, "sqlite:"))
        db = open_sqlite(url.substr(7), reason);
    else if (starts_with(url, "postgresql://") || starts_with(url, "postgres://"))
        db = open_postgres(url, reason);
    else
        reason = "it is neither sqlite:PATH nor postgresql://...";
    if (!db)
        return nullptr;
    auto store = std::make_unique<sql_store>(std::move(db));
    if (!store->attach(reason))
        return nullptr;
    return store;
}

std::string finding_line(const std::string& finding) {
    // Data lines are words "D5"; address findings name the chip's pins too,
    // so only "processor line A13" counts for them.
    std::set<std::string> names;
    const std::string processor = "processor line A";
    for (std::size_t i = 0; i < finding.size(); ++i) {
        const bool word_start = i == 0 || !std::isalnum(static_cast<unsigned char>(finding[i - 1]));
        std::size_t digits = 0;
        if (word_start && finding[i] == 'D') {
            digits = i + 1;
        } else if (finding.compare(i, processor.size(), processor) == 0) {
            i += processor.size() - 1;
            digits = i + 1;
        } else {
            continue;
        }
        std::size_t end = digits;
        while (end < finding.size() && std::isdigit(static_cast<unsigned char>(finding[end])))
            ++end;
        if (end > digits &&
            (end == finding.size() || !std::isalnum(static_cast<unsigned char>(finding[end]))))
            names.insert(finding.substr(i, end - i));
    }
    return names.size() == 1 ? *names.begin() : "";
}

std::string record_new_run_key() {
    std::random_device device;
    std::string key;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(device()));
        key += part;
    }
    return key;
}

std::string record_utc_now() {
    return time_text(std::time(nullptr), "%Y-%m-%dT%H:%M:%SZ", true);
}

} // namespace korvin
