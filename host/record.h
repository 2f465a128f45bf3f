#pragma once
// The results database: every board's run, its tests and their findings, in
// SQLite (one station) or PostgreSQL (many stations on one server). Each row
// is keyed by a run key the client makes, so that writing the same thing
// again (a spool sent after a failure) never adds a second row.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvin {

// The schema this korvin writes; a store with a later one is refused.
constexpr int RECORD_SCHEMA_VERSION = 1;

// A run as the `runs` table holds it. Times are UTC, "2026-12-08T09:40:12Z".
struct record_run {
    std::string run_key; // unique, made by record_new_run_key
    std::string started_at, ended_at;
    std::string station, port;
    std::optional<std::string> board_id;
    std::optional<long long> board_number;
    std::string korvin_version;
    long long image_length = 0;
    std::string outcome = "running"; // running, passed, failed, error, interrupted
    std::optional<std::string> error;
    std::string log;
};

// One test of one pass, with what the diagnosis found.
struct record_test {
    std::string run_key;
    int pass = 1;
    std::string name;   // sdram, flash, sram
    std::string status; // passed, failed, error
    std::uint32_t result_code = 0;
    double seconds = 0;
    std::vector<std::string> findings;
};

// The line a finding names, where it names exactly one: "D5" for "data line
// D5 stuck low", "A13" for an address finding's processor line A13; empty
// when it names none or several.
std::string finding_line(const std::string& finding);

// A query's answer: rows of text columns, a missing optional for NULL.
using record_rows = std::vector<std::vector<std::optional<std::string>>>;

// An open store. Every operation returns true when the store took it and
// false with the reason otherwise; each can be repeated without harm.
class record_store {
  public:
    virtual ~record_store() = default;
    // A new run (outcome "running"); a run key already there is left alone.
    virtual bool begin_run(const record_run& run, std::string& error) = 0;
    // A test and its findings; one already there (run key, pass, name) is left alone.
    virtual bool add_test(const record_test& test, std::string& error) = 0;
    // Brings the run's end, outcome, error and log up to date.
    virtual bool update_run(const record_run& run, std::string& error) = 0;
    // A read-only query; "$1", "$2" stand for the parameters in either store.
    virtual bool query(const std::string& sql, const std::vector<std::string>& params,
                       record_rows& rows, std::string& error) = 0;
};

// Opens the store `url` names ("sqlite:PATH", "postgresql://..."), creating
// its schema on first use. Null with the reason when the store cannot be
// opened, is not korvin's, has a later schema, or is not in this build; a
// refused store is left as it was.
std::unique_ptr<record_store> open_record_store(const std::string& url, std::string& reason);

// A run key no other run has: 32 random hexadecimal digits.
std::string record_new_run_key();

// The current time, UTC, as the store keeps it.
std::string record_utc_now();

} // namespace korvin
