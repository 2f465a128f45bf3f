#pragma once
// What a failed memory test's trace proves about the board: the monitor's
// write, read and mismatch lines turned into named faulty lines.
#include "settings.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvin {

// The memory fixes the unit width (SDRAM 32-bit, FLASH and SRAM 16-bit) and
// how word-index bits map to address pins. `result_code` is the monitor's answer for the test,
// `trace` the text it sent during that test (lines ended by CR LF, as relayed). Returns one
// human-readable line per finding, without indentation or line end; empty
// when the test passed. A failed test always gives at least one finding.
std::vector<std::string> diagnose(memory tested, std::uint32_t result_code,
                                  const std::string& trace);

} // namespace korvin
