// Address-line test: a unit at each power-of-two offset, written in phases.
#include "analysers.h"
#include "line_faults.h"
#include "text.h"

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

std::string line_name(const memory_layout& layout, int k) {
    return format("word-index bit %d = %s", k, pins_of(layout, k).c_str());
}

std::string fault_name(const line_fault& f, const memory_layout& layout, bool both_kinds) {
    if (f.stuck())
        return "address line stuck or shorted: " + line_name(layout, f.x);
    return short_name("address lines", line_name(layout, f.x), line_name(layout, f.y), f,
                      both_kinds);
}

// " (3 mismatches, first at offset 0x8 read 0x2)"
std::string mismatches_seen(int count, std::uint32_t offset, std::uint32_t value) {
    return format(" (%d %s, first at offset 0x%x read 0x%x)", count,
                  plural(count, "mismatch", "mismatches"), offset, value);
}

std::string from_data_line(int mismatches) {
    return format("address-line test: its %d %s come from the data line fault above", mismatches,
                  plural(mismatches, "mismatch", "mismatches"));
}

// A unit that reads v != expected got the write that was meant for the unit
// written with v in the same phase, so the two units' indices differ in the
// faulty line's bit. Stuck high and stuck low (and a short to another line)
// move the same writes, so the trace cannot tell them apart.
std::vector<std::string> name_moved_writes(const trace_section& section,
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
        findings.push_back(fault_name({line_fault_kind::stuck_low, k, k}, layout, false) +
                           mismatches_seen(bit.count, bit.offset, bit.value));
    if (unexplained > 0)
        findings.push_back(format("address-line test: %d %s that no single address line explains "
                                  "(first at offset 0x%x read 0x%x, expected 0x%x)",
                                  unexplained, plural(unexplained, "mismatch", "mismatches"),
                                  first_offset, first_value, first_expected));
    if (from_data > 0)
        findings.push_back(from_data_line(from_data));
    return findings;
}

// The FLASH decodes word address bits 10..0 of its unlock cycles, written
// at 0x555 and 0x2AA of the programmed word's 64K-word sector: a fault that
// moves them there loses the program.
constexpr std::uint32_t SECTOR_WORDS = 0x10000;
constexpr std::uint32_t UNLOCK1 = 0x555, UNLOCK2 = 0x2AA;

bool program_reaches(const line_fault& f, std::uint32_t index) {
    const std::uint32_t sector = index & ~(SECTOR_WORDS - 1);
    return (through(f, sector | UNLOCK1) & 0x7FF) == UNLOCK1 &&
           (through(f, sector | UNLOCK2) & 0x7FF) == UNLOCK2;
}

// The value the routine writes at a unit: 0 at 0 and at the top unit, k+1
// at 2^k and at the top unit less 2^k.
std::uint32_t value_at(std::uint32_t unit, std::uint32_t units) {
    const std::uint32_t mask = units - 1;
    const std::uint32_t bits = unit > mask / 2 ? mask & ~unit : unit;
    if (bits == 0)
        return 0;
    std::uint32_t k = 0;
    while (!(bits >> k & 1))
        ++k;
    return k + 1;
}

// Whether the fault, acting on the index of every write and load of the
// section, gives the loads it shows (on the lines the data-bus test found
// sound) and the programs that completed or never did. RAM keeps the last write; a FLASH
// word, erased beforehand, the AND of what was programmed into it.
bool explains(const line_fault& f, const trace_section& section, const memory_layout& layout,
              std::uint32_t care) {
    const bool flash = layout.tested == memory::flash;
    const std::uint32_t units = section.size / layout.unit_bytes;
    std::map<std::uint32_t, std::uint32_t> held;
    auto program = [&](std::uint32_t unit, std::uint32_t value) {
        const std::uint32_t cell = through(f, unit);
        auto it = held.emplace(cell, FLASH_ERASED).first;
        if (program_reaches(f, unit))
            it->second &= value;
        return ((it->second ^ value) & 0x80) == 0; // the poll's DQ7
    };
    for (const trace_record& line : section.records) {
        const std::uint32_t unit = line.a / layout.unit_bytes;
        if (line.kind == record_kind::write) {
            if (!flash)
                held[through(f, unit)] = line.b;
            else if (!program(unit, line.b))
                return false;
        } else if (line.kind == record_kind::read) {
            auto it = held.find(through(f, unit));
            const std::uint32_t expected = it != held.end() ? it->second : FLASH_ERASED;
            if ((it != held.end() || flash) && ((expected ^ line.b) & care) != 0)
                return false;
        } else if (line.kind == record_kind::poll_timeout && flash && line.a >= layout.base) {
            const std::uint32_t at = (line.a - layout.base) / layout.unit_bytes;
            if (program(at, value_at(at, units)))
                return false;
        }
    }
    return true;
}

} // namespace

// The mismatches no data line explains, weighed against every single stuck
// or shorted word-index line. A stuck line alone keeps its own finding.
std::vector<std::string> analyse_address_lines(const trace_section& section,
                                               const memory_layout& layout,
                                               std::uint32_t faulty_data_bits) {
    const std::uint32_t care = all_lines(layout.data_lines) & ~faulty_data_bits;
    const std::uint32_t units = section.size / layout.unit_bytes;
    int address_bits = 0;
    while (address_bits < 31 && (1u << address_bits) < units)
        ++address_bits;
    int wrong = 0, from_data = 0;
    bool timed_out = false;
    std::uint32_t first_offset = 0, first_value = 0;
    std::map<std::uint32_t, std::uint32_t> written;
    for (const trace_record& line : section.records) {
        if (line.kind == record_kind::write)
            written[line.a] = line.b;
        timed_out |= line.kind == record_kind::poll_timeout;
        if (line.kind != record_kind::read)
            continue;
        auto it = written.find(line.a);
        if (it == written.end() || it->second == line.b)
            continue;
        if (((it->second ^ line.b) & care) == 0) {
            ++from_data;
        } else if (wrong++ == 0) {
            first_offset = line.a;
            first_value = line.b;
        }
    }
    if ((wrong == 0 && !timed_out) || units < 8 || (units & (units - 1)) != 0)
        return name_moved_writes(section, layout, faulty_data_bits);

    // Stuck low and stuck high move the same writes: a line is weighed at
    // the first level that fits.
    const fault_search search{address_bits, /*open=*/false, /*one_level=*/true};
    const std::vector<line_fault> fits = fitting_faults(
        search, [&](const line_fault& f) { return explains(f, section, layout, care); });
    if (fits.empty() || wrong == 0 || (fits.size() == 1 && fits[0].stuck()))
        return name_moved_writes(section, layout, faulty_data_bits);

    const std::vector<std::string> names =
        candidate_names(fits, [&](const line_fault& f, bool both_kinds) {
            return fault_name(f, layout, both_kinds);
        });
    std::vector<std::string> findings;
    findings.push_back(alternatives(names) + (names.size() > 1 ? ": the trace fits each" : "") +
                       mismatches_seen(wrong, first_offset, first_value));
    if (from_data > 0)
        findings.push_back(from_data_line(from_data));
    return findings;
}

} // namespace korvin
