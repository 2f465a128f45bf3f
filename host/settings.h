#pragma once
// The run settings, filled from the command line and read by the test run.
#include <cstdint>
#include <string>
#include <vector>

namespace korvin {

// How long a working board can stay silent during the test run. The longest
// silence is a quiet FLASH test: 17 sector erases (sector 0 twice, the
// sectors of the 2 x 7 address-test words above the first 128 KB, and the
// top sector) at up to 3.5 s each in the common NOR datasheets, about 60 s,
// plus the program polls and one bounded poll of at least 10 s that runs out.
constexpr int DEFAULT_SILENCE_SECONDS = 120;

// The three memories of the board, in the order a run tests them.
enum class memory { sdram, flash, sram };

// One of the bench monitor's operations for the engineer at the bench.
struct bench_operation {
    enum class kind { peek, poke, dump } what;
    std::uint32_t address = 0;
    unsigned width = 0;       // bytes; 0: the memory's own width
    std::uint32_t value = 0;  // poke
    std::uint32_t length = 0; // dump, bytes
};

struct run_settings {
    std::int32_t port_number = 1;
    std::string port_path; // set when -p names a device ("/dev/ttyUSB0")
    bool test_sdram = true;
    bool test_flash = true;
    bool test_sram = true;
    bool continuous = false;
    bool verbose = false;
    // The production-line options, all long ones.
    bool diagnose = false;   // --diagnose: name the faulty lines after each "failed"
    std::string report_path; // --report FILE: JUnit XML (JSON for *.json) after every pass
    bool strict = false;     // --strict: status 2 when a test failed
    int wait_seconds = 0;    // --wait SECONDS: bound on the wake-up; 0 waits for ever
    // --timeout SECONDS: how long the board may send nothing during the test run
    int timeout_seconds = DEFAULT_SILENCE_SECONDS;
    // --report-dir DIR: each board's JUnit XML, JSON report and log, named
    // after the time, the port, the board's number and ID (record_name)
    std::string report_dir;
    // The station and the runs it starts, one per board.
    bool station = false;           // --station
    std::vector<std::string> ports; // every -p argument in order: the station's ports
    unsigned long count = 0;        // --count N: the station ends after N boards
    bool events = false;            // --events: standard output carries events alone
    bool ask_board = false;         // --ask-board: "N ID" from standard input at the wake
    bool until_swapped = false;     // --until-swapped: after the run, watch for the swap
    unsigned long board_number = 0; // --board-number N
    std::string board_id;           // --board-id ID
    std::string record_base;        // set at the wake: the report directory's name for the records
    std::string record_url;         // --record URL: every run into that results store
    // The bench monitor's options: they download the bench image instead.
    bool full = false;            // --full: each memory's full test after its test
    bool probe_flash = false;     // --probe-flash: a FLASH that took no command is probed
    std::uint32_t full_range = 0; // --full-range BYTES: from each memory's base; 0 all of it
    std::vector<bench_operation> bench_operations; // --peek, --poke, --dump in order
};

} // namespace korvin
