// Address-line test: a unit at each power-of-two offset, written in phases.
#include "analysers.h"

#include <map>

namespace korvin {
namespace {

int popcount(std::uint32_t x) {
    int n = 0;
    for (; x; x &= x - 1)
        ++n;
    return n;
}

int lowest_bit(std::uint32_t x) {
    int k = 0;
    while (!(x & 1)) {
        x >>= 1;
        ++k;
    }
    return k;
}

// Word-index bit k in the terms of the chip's and the processor's pins.
std::string pins_of(const memory_layout& layout, int k) {
    const int shift = layout.unit_bytes == 4 ? 2 : 1;
    if (layout.word_mode_pins)
        return format("chip pin A%d (word mode) = processor line A%d", k, k + shift);
    return format("byte address bit %d = processor line A%d", k + shift, k + shift);
}

} // namespace

// A unit that reads v != expected got the write that was meant for the unit
// written with v in the same phase, so the two units' indices differ in the
// faulty line's bit. Stuck high and stuck low (and a short to another line)
// move the same writes, so the trace cannot tell them apart.
std::vector<std::string> analyse_address_lines(const trace_section& section,
                                               const memory_layout& layout,
                                               std::uint32_t faulty_data_bits) {
    std::vector<std::string> findings;
    std::map<std::uint32_t, std::uint32_t> written;       // offset -> value
    std::map<std::uint32_t, std::uint32_t> phase_offsets; // value -> offset, this phase
    bool reading = false;
    struct bit_seen {
        int count = 0;
        std::uint32_t offset = 0, value = 0;
    };
    std::map<int, bit_seen> bits;
    int from_data = 0, unexplained = 0;
    std::uint32_t first_offset = 0, first_value = 0, first_expected = 0;
    for (const trace_record& line : section.records) {
        if (line.kind == record_kind::write) {
            if (reading)
                phase_offsets.clear();
            reading = false;
            written[line.a] = line.b;
            phase_offsets[line.b] = line.a;
            continue;
        }
        if (line.kind != record_kind::read)
            continue;
        reading = true;
        auto it = written.find(line.a);
        if (it == written.end() || it->second == line.b)
            continue;
        const std::uint32_t expected = it->second;
        if (faulty_data_bits && ((expected ^ line.b) & ~faulty_data_bits) == 0) {
            ++from_data;
            continue;
        }
        auto source = phase_offsets.find(line.b);
        if (source != phase_offsets.end()) {
            const std::uint32_t moved = (line.a ^ source->second) / layout.unit_bytes;
            if (popcount(moved) == 1) {
                bit_seen& bit = bits[lowest_bit(moved)];
                if (bit.count++ == 0) {
                    bit.offset = line.a;
                    bit.value = line.b;
                }
                continue;
            }
        }
        if (unexplained++ == 0) {
            first_offset = line.a;
            first_value = line.b;
            first_expected = expected;
        }
    }
    for (const auto& [k, bit] : bits)
        findings.push_back(format("address line stuck or shorted: word-index bit %d = %s (%d %s, "
                                  "first at offset 0x%x read 0x%x)",
                                  k, pins_of(layout, k).c_str(), bit.count,
                                  plural(bit.count, "mismatch", "mismatches"), bit.offset,
                                  bit.value));
    if (unexplained > 0)
        findings.push_back(format("address-line test: %d %s that no single address line explains "
                                  "(first at offset 0x%x read 0x%x, expected 0x%x)",
                                  unexplained, plural(unexplained, "mismatch", "mismatches"),
                                  first_offset, first_value, first_expected));
    if (from_data > 0)
        findings.push_back(format("address-line test: its %d %s come from the data line fault "
                                  "above",
                                  from_data, plural(from_data, "mismatch", "mismatches")));
    return findings;
}

} // namespace korvin
