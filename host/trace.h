#pragma once
// The monitor's trace, as a verbose test sends it, turned into typed records:
// the routines' headers, each write, read and mismatch, and the FLASH test's
// identification, erase and poll time-out lines.
#include "settings.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvin {

enum class record_kind {
    data_header,    // "D<base>": the data-bus test begins
    address_header, // "A<base> <size>": the address-line test begins
    write,          // " <offset>w<value>"
    read,           // " <offset>r<value>"
    mismatch,       // "*r<expected>": the read before it was wrong
    manufacturer,   // "M<code>": the FLASH's manufacturer code
    device,         // "D<code>": the FLASH's device code
    erase,          // " E<address>": a sector erase begins
    poll_timeout,   // " T<address>": the FLASH never finished
    other,          // anything else (garbage, a cut line)
};

struct trace_record {
    record_kind kind = record_kind::other;
    std::uint32_t a = 0; // offset, base, code or address
    std::uint32_t b = 0; // value written or read, or the address test's size
};

// One record per line of `trace` (lines end in CR LF or LF; a last line
// without its end counts too). The FLASH's device line and the data-bus
// header share their letter: which one a "D" line is depends on the memory.
std::vector<trace_record> parse_trace(memory tested, const std::string& trace);

} // namespace korvin
