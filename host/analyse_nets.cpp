// The nets beside the data and address lines, from both routines' trace at once: a memory
// whose chips never drive the data lines, a byte lane that is never written nor driven, a
// memory no store reaches, an SDRAM whose loads are noise, a FLASH that answers its
// identification with the command's own data. Where nothing drives a line during a load,
// the processor reads the level it last carried: the value of the trace line before.
#include "analysers.h"
#include "line_faults.h"
#include "sdram_pins.h"
#include "text.h"

#include <map>
#include <set>

namespace korvin {
namespace {

// The autoselect command's data: the last store before the FLASH's identification loads.
constexpr std::uint32_t FLASH_AUTOSELECT = 0x0090;

struct load {
    std::uint32_t unit, value, bus; // what it read, and the level the bus held before it
    bool known;                     // a store in the test reached its unit before it
    std::uint32_t expected;         // the value of that store
    bool foreign;                   // no store in the test wrote it, nor did the bus hold it
};

struct loads_seen {
    std::vector<load> loads;
    int wrong = 0;
    std::string counted() const {
        return format("%d wrong of %d loads", wrong, static_cast<int>(loads.size()));
    }
};

// The SDRAM test's first ordinary store, 0 at word 0, comes before its routines; the SRAM's
// routines begin with a store too.
loads_seen collect(const parsed_test& test, const memory_layout& layout) {
    loads_seen seen;
    const std::uint32_t all = all_lines(layout.data_lines);
    std::map<std::uint32_t, std::uint32_t> written;
    std::set<std::uint32_t> values = {0};
    std::uint32_t bus = 0;
    for (const trace_section* section : {&test.data, &test.address})
        for (const trace_record& line : section->records) {
            const std::uint32_t unit = line.a / layout.unit_bytes, value = line.b & all;
            if (line.kind == record_kind::write) {
                written[unit] = value;
                values.insert(value);
            } else if (line.kind == record_kind::read) {
                const auto it = written.find(unit);
                const bool known = it != written.end();
                const std::uint32_t expected = known ? it->second : 0;
                seen.wrong += known && value != expected;
                const bool foreign = !values.count(value) && value != bus;
                seen.loads.push_back({unit, value, bus, known, expected, foreign});
            } else {
                continue;
            }
            bus = value;
        }
    return seen;
}

// Every load reads back the bus on the lines of `mask`, and the units' own values on the rest.
bool echoes(const loads_seen& seen, std::uint32_t mask) {
    for (const load& l : seen.loads)
        if (((l.value ^ l.bus) & mask) || (l.known && ((l.value ^ l.expected) & ~mask)))
            return false;
    return true;
}

// No store reaches the memory: a unit reads the same whatever was written to it since.
bool unwritten(const loads_seen& seen) {
    std::map<std::uint32_t, const load*> first;
    bool proven = false; // a unit read the same after another value was written to it
    for (const load& l : seen.loads) {
        const auto [it, fresh] = first.emplace(l.unit, &l);
        if (fresh)
            continue;
        if (it->second->value != l.value)
            return false;
        proven |= it->second->known && l.known && it->second->expected != l.expected;
    }
    return proven;
}

int popcount(std::uint32_t x) {
    int n = 0;
    for (; x; x &= x - 1)
        ++n;
    return n;
}

// Loads that no store, no single line and no byte lane explains: more than a lane's bits
// wrong, in a value the test never wrote.
int noisy(const loads_seen& seen) {
    int n = 0;
    for (const load& l : seen.loads)
        n += l.foreign && l.known && popcount(l.value ^ l.expected) > 8;
    return n;
}

std::string memory_name(const memory_layout& layout) {
    return layout.tested == memory::sdram   ? "SDRAM"
           : layout.tested == memory::flash ? "FLASH"
                                            : "SRAM";
}

// The control lines that keep a chip off the data lines in every load.
std::string silent_chip(const memory_layout& layout) {
    if (layout.tested == memory::sdram)
        return "SDRAM chip select CSD0 stuck high or open, or SDRAM RAS stuck low, high or open, "
               "or SDRAM CAS stuck low, high or open, or SDRAM write enable WE stuck low, high or "
               "open, or SDRAM clock enable CKE stuck low: the trace fits each: the chips never "
               "drive the data lines";
    const std::string m = memory_name(layout);
    return format("%s chip select CS%d stuck high or open, or %s output enable OE stuck high or "
                  "open, or %s write enable WE stuck low: the trace fits each: the chip never "
                  "drives the data lines",
                  m.c_str(), layout.tested == memory::flash ? 0 : 1, m.c_str(), m.c_str());
}

std::string lane_name(const memory_layout& layout, int lane) {
    if (layout.tested == memory::sdram)
        return format("SDRAM byte lane %d (DQM%d, bits %d-%d)", lane, lane, 8 * lane + 7, 8 * lane);
    return format("SRAM byte lane %d (EB%d, %s, bits %d-%d)", lane, lane, lane ? "UB#" : "LB#",
                  8 * lane + 7, 8 * lane);
}

// The SDRAM's start-up did not leave the chips answering: the single faults of the address
// and bank pins that spoil it, stuck ones by name, shorts counted.
std::string start_up_spoilers() {
    std::map<int, std::string> levels;
    int shorts = 0;
    const fault_search search{SDRAM_PINS, /*open=*/false, /*one_level=*/false};
    for (const line_fault& f :
         fitting_faults(search, [](const line_fault& f) { return !sdram_start_up_completes(f); })) {
        if (!f.stuck()) {
            ++shorts;
            continue;
        }
        std::string& l = levels[f.x];
        const bool high = f.kind == line_fault_kind::stuck_high;
        l = l.empty() ? (high ? "high or open" : "low") : "low, high or open";
    }
    std::vector<std::string> names;
    for (const auto& [pin, level] : levels)
        names.push_back(sdram_pin_name(pin) + " stuck " + level);
    names.push_back(format("one of %d shorts among the address and bank pins", shorts));
    return alternatives(names);
}

} // namespace

net_result analyse_nets(const parsed_test& test, const memory_layout& layout) {
    net_result result;
    if (layout.tested == memory::flash) {
        if (test.have_manufacturer && test.have_device && test.manufacturer == FLASH_AUTOSELECT &&
            test.device == FLASH_AUTOSELECT)
            result.findings.push_back(silent_chip(layout) +
                                      format(", its identification read back 0x%04X, the "
                                             "autoselect command's own data",
                                             FLASH_AUTOSELECT));
        return result;
    }
    const loads_seen seen = collect(test, layout);
    if (seen.wrong == 0)
        return result;
    result.settled = true;
    if (echoes(seen, all_lines(layout.data_lines))) {
        result.findings.push_back(silent_chip(layout) +
                                  ", every load reads back the last value on the bus (" +
                                  seen.counted() + ")");
        return result;
    }
    for (int lane = 0; lane < layout.data_lines / 8; ++lane)
        if (echoes(seen, 0xFFu << (8 * lane))) {
            result.findings.push_back(
                lane_name(layout, lane) +
                " stuck high or open: the lane is neither written nor driven, its loads read "
                "back the last value on the bus (" +
                seen.counted() + ")");
            return result;
        }
    if (layout.tested == memory::sram && unwritten(seen)) {
        result.findings.push_back("SRAM write enable WE stuck high or open: no store reaches the "
                                  "chip, every load reads what it held before (" +
                                  seen.counted() + ")");
        return result;
    }
    const int noise = noisy(seen);
    if (layout.tested == memory::sdram && noise >= 8 &&
        4 * noise >= static_cast<int>(seen.loads.size())) {
        result.findings.push_back(
            start_up_spoilers() +
            format(": the trace fits each: the chips did not complete their start-up or answer at "
                   "another CAS latency than the controller reads with, and loads return bits no "
                   "store wrote (%d of %d loads)",
                   noise, static_cast<int>(seen.loads.size())));
        return result;
    }
    result.settled = false;
    return result;
}

} // namespace korvin
