#pragma once
// The run settings, filled from the command line and read by the test run.
#include <cstdint>
#include <string>

namespace korvin {

struct run_settings {
    std::int32_t port_number = 1;
    std::string port_path; // set when -p names a device ("/dev/ttyUSB0")
    bool test_sdram = true;
    bool test_flash = true;
    bool test_sram = true;
    bool continuous = false;
    bool verbose = false;
};

} // namespace korvin
