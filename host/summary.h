#pragma once
// What the recorded runs say: yield, the failing lines, the failed boards;
// as text for the console and as one self-contained HTML page.
#include "record.h"

#include <string>
#include <vector>

namespace korvin {

// Which runs count: started from `since` (inclusive) to `until` (exclusive),
// bounds as the store keeps times; on one station; empty for no limit.
struct summary_filter {
    std::string since, until, station;
};

// --since and --until take "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM[:SS][Z]", UTC.
// A date alone as `until` includes that whole day. False for anything else.
bool summary_time_bound(const std::string& text, bool until, std::string& bound);

struct yield_figure {
    std::string label;
    long long tested = 0; // boards' first runs with verdicts (or their tests, per memory)
    long long passed = 0;
};

struct line_count {
    std::string test, line;
    long long runs = 0; // runs with a first-pass finding on the line
};

struct failed_board {
    std::string started_at, station, port, board_id, tests;
};

struct summary_data {
    long long runs = 0, errors = 0, interrupted = 0, running = 0;
    long long boards = 0, boards_with_id = 0; // a run without a board ID is a board
    std::string first, last;                  // started_at of the first and last run
    yield_figure overall;
    std::vector<yield_figure> per_memory, per_station_port;
    bool hourly = false; // per_period by hour (all in one day) rather than by day
    std::vector<yield_figure> per_period;
    std::vector<line_count> pareto;
    long long findings_without_line = 0;
    long long failed_total = 0;
    std::vector<failed_board> failed; // the latest, at most FAILED_LISTED
};

constexpr int FAILED_LISTED = 1000;

bool summarise(record_store& store, const summary_filter& filter, summary_data& data,
               std::string& error);

std::string summary_text(const summary_data& data);
std::string summary_html(const summary_data& data, const summary_filter& filter);

// korvin --summary URL [--html FILE]: sends the store's spool first, then
// prints the summary and writes the page. The exit status: 0, or 1 with the
// reason on standard error.
int summary_main(const std::string& url, const summary_filter& filter,
                 const std::string& html_path);

// "97.5%" for 39 of 40, "-" when nothing was tested.
std::string percent_text(long long part, long long whole);

} // namespace korvin
