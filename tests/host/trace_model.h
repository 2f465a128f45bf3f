#pragma once
// A model of the monitor's memory tests over a faulty memory: it runs the
// data-bus and address-line routines (and the FLASH identification, erase
// plan and completion polls) and returns the result code and the trace text
// the monitor would send in verbose mode.
#include <cstdint>
#include <string>

#include "diagnose.h"

namespace korvin::test {

struct Fault {
    int data_bit = -1; // stuck data line, or -1
    int data_level = 0;
    int address_bit = -1; // stuck word-index bit, or -1
    int address_level = 0;
    int short_a = -1, short_b = -1; // two data lines that read as their AND
    // FLASH: the chip ignores commands (dead, or unlock cycles not reaching it)
    // and reads float high.
    bool flash_dead = false;
    // FLASH: unlock cycles go astray, so commands are ignored but the array
    // still reads.
    bool flash_commands_lost = false;
};

struct TraceRun {
    std::uint32_t code = 0;
    std::string trace;
};

TraceRun run_memory_test(memory tested, const Fault& fault);

// Whether a stuck word-index bit of the FLASH also moves its command cycles
// (the unlock addresses 0x555 and 0x2AA use word-index bits 0 to 10).
inline bool breaks_flash_commands(int address_bit) {
    return address_bit >= 0 && address_bit <= 10;
}

} // namespace korvin::test
