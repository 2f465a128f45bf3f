#pragma once
// The station: many boards at once. Each port runs one korvin process at a
// time (korvin --events --ask-board), which waits for a boot ROM, tests the
// board and ends; then the next one starts and waits for the board to be
// swapped. A board's trouble stays in its own process.
#include <string>
#include <vector>

namespace korvin {

struct station_settings {
    std::vector<std::string> ports; // -p arguments; none: every port the listing shows
    std::string test;               // "sdram", "flash" or "sram"; "" for all three
    bool diagnose = false;          // --diagnose, passed on to each board's run
    std::string report_dir;         // --report-dir: each board's records; "" for none
    unsigned long count = 0;        // --count: end after this many boards; 0 never
    bool strict = false;            // --strict: status 2 after a failed board or an error
    int timeout_seconds = 0;        // --timeout, passed on; 0 leaves korvin's default
    // --record URL, passed on: each board's run writes its own record, as it
    // goes, so that neither a station nor a board's run that dies loses one.
    std::string record_url;
};

// How often the station looks at the port listing when no -p is given.
constexpr int PORT_LISTING_MS = 1500;
// How long a port whose run could not start rests before the next try.
constexpr int RETRY_MS = 2000;
// How long boards' runs may take to stop cleanly before they are killed.
constexpr int STOP_GRACE_MS = 10000;

// Serves the ports until CTRL-C, SIGTERM or --count boards; `korvin` is the
// program each board's run starts. Reads board IDs from standard input, one
// a line. The report directory must have been checked (report_dir_writable).
// Returns the exit status: 0, or 2 with strict when any board failed or had
// an error; 1 (message printed) when there is no port to serve or the results
// store is refused. The store's spool is sent before the first board and
// after the last run has ended.
int station_main(const station_settings& settings, const std::string& korvin);

// The report directory exists or can be made, and a file can be written in it.
bool report_dir_writable(const std::string& dir);

} // namespace korvin
