#pragma once
// What the monitor's memory test routines send and do on a device that works:
// the verbose trace lines and the bus accesses, written out from the
// routines' documented walk (patterns, units, phases) rather than from the
// image's code.
#include <cstdint>
#include <string>
#include <vector>

namespace korvin::test {

struct expected_walk {
    std::vector<std::string> lines; // trace lines without CR LF
    std::vector<std::string> bus;   // --trace-bus lines for plain RAM ("w16 c8000000 0001")
};

// unit: 2 or 4 bytes.
void expect_data_bus(expected_walk& e, uint32_t base, unsigned unit);
void expect_address_lines(expected_walk& e, uint32_t base, uint32_t size, unsigned unit);

std::string hex(uint32_t v); // lowercase, no leading zeros, like the monitor

} // namespace korvin::test
