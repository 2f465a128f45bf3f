// The SDRAM's address-line test, by its multiplexed pins: a stuck or shorted pin moves a
// row bit and a column bit at once, a short between a bank pin and an address pin can send
// the column command to a bank the ACTIVE did not open.
#include "analysers.h"
#include "line_faults.h"
#include "sdram_pins.h"
#include "text.h"

#include <map>

namespace korvin {
namespace {

// Whether the fault, acting on every access of both routines (and on the test's first
// ordinary store, 0 at word 0, before them), gives the loads the trace shows on the lines
// in `care`. A load whose word no store reached in the test shows nothing; a lost load reads
// what the bus held: the value of the line before it.
bool explains(const line_fault& f, const parsed_test& test, const memory_layout& layout,
              std::uint32_t care) {
    if (!sdram_start_up_completes(f))
        return false;
    std::map<std::uint32_t, std::uint32_t> cells;
    std::uint32_t cell = 0, bus = 0;
    if (sdram_cell_reached(f, 0, cell))
        cells[cell] = 0;
    for (const trace_section* section : {&test.data, &test.address})
        for (const trace_record& line : section->records) {
            if (line.kind != record_kind::write && line.kind != record_kind::read)
                continue;
            const bool reached = sdram_cell_reached(f, line.a / layout.unit_bytes, cell);
            if (line.kind == record_kind::write) {
                if (reached)
                    cells[cell] = line.b;
            } else {
                const auto it = reached ? cells.find(cell) : cells.end();
                if ((!reached || it != cells.end()) &&
                    (((reached ? it->second : bus) ^ line.b) & care) != 0)
                    return false;
            }
            bus = line.b;
        }
    return true;
}

// Each pin once, with the levels at which it fits: the address-line test sees where the
// writes went, and a stuck pin sends them alike at either level unless the start-up tells
// the levels apart. An open pin floats high at the chips.
std::vector<std::string> names_of(const std::vector<line_fault>& fits, bool& one_pin) {
    std::map<int, std::string> levels;
    std::vector<line_fault> shorts;
    for (const line_fault& f : fits) {
        if (!f.stuck()) {
            shorts.push_back(f);
            continue;
        }
        const bool high = f.kind == line_fault_kind::stuck_high;
        std::string& l = levels[f.x];
        l = l.empty() ? (high ? "high or open" : "low") : "low, high or open";
    }
    std::vector<std::string> names;
    for (const auto& [pin, level] : levels)
        names.push_back(sdram_pin_name(pin) + " stuck " + level);
    for (const std::string& name : candidate_names(shorts, sdram_short_name))
        names.push_back(name);
    one_pin = levels.size() == 1 && shorts.empty();
    return names;
}

} // namespace

std::vector<std::string> analyse_sdram_address(const parsed_test& test, const memory_layout& layout,
                                               std::uint32_t faulty_data_bits) {
    const std::uint32_t care = all_lines(layout.data_lines) & ~faulty_data_bits;
    int wrong = 0;
    std::uint32_t first_offset = 0, first_value = 0, first_expected = 0;
    std::map<std::uint32_t, std::uint32_t> written;
    for (const trace_record& line : test.address.records) {
        if (line.kind == record_kind::write)
            written[line.a] = line.b;
        if (line.kind != record_kind::read)
            continue;
        const auto it = written.find(line.a);
        if (it != written.end() && ((it->second ^ line.b) & care) != 0 && wrong++ == 0) {
            first_offset = line.a;
            first_value = line.b;
            first_expected = it->second;
        }
    }
    // Mismatches the data lines explain, or none: as for any memory.
    if (wrong == 0)
        return analyse_address_lines(test.address, layout, faulty_data_bits);

    const fault_search search{SDRAM_PINS, /*open=*/false, /*one_level=*/false};
    const std::vector<line_fault> fits = fitting_faults(
        search, [&](const line_fault& f) { return explains(f, test, layout, care); });
    const std::string seen =
        format(" (%d %s, first at offset 0x%x read 0x%x)", wrong,
               plural(wrong, "mismatch", "mismatches"), first_offset, first_value);
    if (fits.empty())
        return {format("address-line test: %d %s that no single address line explains (first at "
                       "offset 0x%x read 0x%x, expected 0x%x)",
                       wrong, plural(wrong, "mismatch", "mismatches"), first_offset, first_value,
                       first_expected)};
    bool one_pin = false;
    const std::vector<std::string> names = names_of(fits, one_pin);
    if (one_pin)
        return {names.front() + ": " + sdram_pin_carries(fits.front().x) + seen};
    return {alternatives(names) + (names.size() > 1 ? ": the trace fits each" : "") + seen};
}

} // namespace korvin
