#pragma once
// The engineer's operations on the bench monitor: --peek, --poke and --dump,
// after the memory controllers are set up as the tests set them.
#include "settings.h"

#include <cstdint>
#include <string>

namespace korvin {

// The memory's own access width in bytes at `address`: 2 on the WEIM's
// 16-bit chips (FLASH, SRAM), 4 elsewhere.
unsigned natural_width(std::uint32_t address);

// A dump's text: one line per 16 bytes, "address: values  characters",
// from the bench monitor's dump lines of `width`-byte values (little-endian).
std::string format_dump(std::uint32_t address, unsigned width,
                        const std::vector<std::string>& lines);

// Runs the operations on a started bench monitor, printing each result;
// returns the exit status: 0, or 1 when one was refused (a bad address, said
// on standard error) or the link was lost.
int bench_session(const run_settings& settings);

} // namespace korvin
