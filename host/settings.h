#pragma once
// The run settings, filled from the command line and read by the test run.
#include <cstdint>
#include <string>

namespace korvin {

// How long a working board can stay silent during the test run. The longest
// silence is a quiet FLASH test: 17 sector erases (sector 0 twice, the
// sectors of the 2 x 7 address-test words above the first 128 KB, and the
// top sector) at up to 3.5 s each in the common NOR datasheets, about 60 s,
// plus the program polls and one bounded poll of at least 10 s that runs out.
constexpr int DEFAULT_SILENCE_SECONDS = 120;

// The three memories of the board, in the order a run tests them.
enum class memory { sdram, flash, sram };

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
};

} // namespace korvin
