#pragma once
// The run settings, filled from the command line and read by the test run.
#include <cstdint>
#include <string>

namespace korvin {

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
    std::string report_path; // --report FILE: JUnit XML after every pass
    bool strict = false;     // --strict: status 2 when a test failed
    int wait_seconds = 0;    // --wait SECONDS: bound on the wake-up; 0 waits for ever
};

} // namespace korvin
