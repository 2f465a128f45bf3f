#include "faults.h"

#include "pin_faults.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace korvin::sim {
namespace {

bool parse_number(const std::string& text, int base, unsigned long max, unsigned long& out) {
    if (text.empty() || text.size() > 10)
        return false;
    for (char c : text) {
        const bool digit =
            base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9');
        if (!digit)
            return false;
    }
    errno = 0;
    out = std::strtoul(text.c_str(), nullptr, base);
    return errno == 0 && out <= max;
}

// "dN" or "aN" on `bus` ('d' or 'a'), N at most max_line: the line's bit.
bool parse_line(const std::string& text, char bus, unsigned max_line, uint32_t& bit) {
    unsigned long line = 0;
    if (text.size() < 2 || text[0] != bus || !parse_number(text.substr(1), 10, max_line, line))
        return false;
    bit = uint32_t{1} << line;
    return true;
}

// One memory's data or address lines, as faults on them accumulate.
struct bus_lines {
    stuck_lines& stuck;
    shorted_lines& shorted;
    uint32_t* open; // data lines only
    unsigned max_line;
};

// "dN=L" (L 0 or 1), "dN=open", "dN~dM=and" or "dN~dM=or", or the same with 'a'. A line
// takes one kind of fault: stuck at one level, open, or shorted of one kind.
bool parse_line_fault(const std::string& text, bus_lines lines) {
    const auto eq = text.find('=');
    if (eq == std::string::npos)
        return false;
    const std::string where = text.substr(0, eq), how = text.substr(eq + 1);
    const char bus = text[0];
    const uint32_t shorted = lines.shorted.lines();
    const uint32_t stuck = ~lines.stuck.keep | lines.stuck.set;
    const uint32_t open = lines.open ? *lines.open : 0;

    const auto tilde = where.find('~');
    if (tilde != std::string::npos) {
        uint32_t a = 0, b = 0;
        if (!parse_line(where.substr(0, tilde), bus, lines.max_line, a) ||
            !parse_line(where.substr(tilde + 1), bus, lines.max_line, b) || a == b ||
            (how != "and" && how != "or") || ((a | b) & (stuck | open)))
            return false;
        return lines.shorted.join(a | b, how == "or");
    }
    uint32_t bit = 0;
    if (!parse_line(where, bus, lines.max_line, bit))
        return false;
    if (how == "open") {
        if (!lines.open || (bit & (stuck | shorted)))
            return false;
        *lines.open |= bit;
        return true;
    }
    if ((how != "0" && how != "1") || (bit & (open | shorted)))
        return false;
    const bool high = how == "1";
    // The same line cannot be stuck at both levels.
    if ((high && !(lines.stuck.keep & bit)) || (!high && (lines.stuck.set & bit)))
        return false;
    if (high)
        lines.stuck.set |= bit;
    else
        lines.stuck.keep &= ~bit;
    return true;
}

// The memories by name. Their widths: SDRAM 32 data lines and 2^23 32-bit words, FLASH 16
// data lines and 2^23 16-bit words, SRAM 16 data lines and 2^17 16-bit words.
struct memory_lines {
    const char* name;
    memory_faults fault_set::*faults;
    unsigned last_data_line, last_address_line;
    uint32_t base, words; // for cell faults
    unsigned unit;
};
constexpr memory_lines MEMORIES[] = {
    {"sdram", &fault_set::sdram, 31, 22, 0xA0000000, 1u << 23, 4},
    {"flash", &fault_set::flash, 15, 22, 0xC0000000, 1u << 23, 2},
    {"sram", &fault_set::sram, 15, 16, 0xC8000000, 1u << 17, 2},
};

// "cell=..." (cell_faults.h): the text after "cell=".
bool parse_memory_cell_fault(const std::string& what, const memory_lines& memory, fault_set& f) {
    memory_faults& faults = f.*memory.faults;
    if (memory.words == 0 ||
        !parse_cell_fault(what, memory.base, memory.words, memory.unit, faults.cells))
        return false;
    // A FLASH cell is only written by program and erase: a bit that will not erase (=0)
    // or will not program (=1), nothing else.
    const cell_fault::kind kind = faults.cells.list.back().what;
    if (memory.faults == &fault_set::flash && kind != cell_fault::kind::stuck_low &&
        kind != cell_fault::kind::stuck_high) {
        faults.cells.list.pop_back();
        return false;
    }
    return true;
}

// "dN..." or "aN...": a fault on one of the memory's lines.
bool parse_memory_fault(const std::string& what, const memory_lines& memory, fault_set& f) {
    memory_faults& faults = f.*memory.faults;
    wire_faults& wires = faults.wires;
    const bool data = what[0] == 'd';
    if (!parse_line_fault(what,
                          {data ? faults.data : faults.address, data ? wires.data : wires.address,
                           data ? &wires.open_data : nullptr,
                           data ? memory.last_data_line : memory.last_address_line}))
        return false;
    wires.faulty = wires.open_data != 0 || wires.data.any() || wires.address.any();
    return true;
}

// "dead" or "id=MMMM:DDDD".
bool parse_flash_chip_fault(const std::string& what, flash_chip_faults& chip) {
    if (what == "dead") {
        chip.dead = true;
        return true;
    }
    if (what.compare(0, 3, "id=") != 0)
        return false;
    const std::string ids = what.substr(3);
    const auto sep = ids.find(':');
    unsigned long m = 0, d = 0;
    if (sep == std::string::npos || !parse_number(ids.substr(0, sep), 16, 0xFFFF, m) ||
        !parse_number(ids.substr(sep + 1), 16, 0xFFFF, d))
        return false;
    chip.manufacturer = static_cast<uint16_t>(m);
    chip.device = static_cast<uint16_t>(d);
    return true;
}

bool parse_boot_fault(const std::string& what, boot_faults& boot) {
    if (what == "never-wakes")
        boot.never_wakes = true;
    else if (what == "wake-alt")
        boot.wake_alt = true;
    else if (what == "refuse-write")
        boot.refuse_write = true;
    else if (what == "refuse-start")
        boot.refuse_start = true;
    else if (what.compare(0, 11, "wake-after=") == 0) {
        unsigned long n = 0;
        if (!parse_number(what.substr(11), 10, 1000000, n) || n == 0)
            return false;
        boot.wake_after = static_cast<unsigned>(n);
    } else
        return false;
    return true;
}

} // namespace

bool shorted_lines::join(uint32_t pair, bool wired_or) {
    group joined{pair, wired_or};
    std::vector<group> rest;
    for (const auto& g : groups) {
        if (!(g.lines & pair)) {
            rest.push_back(g);
            continue;
        }
        if (g.wired_or != wired_or)
            return false;
        joined.lines |= g.lines;
    }
    rest.push_back(joined);
    groups = std::move(rest);
    return true;
}

bool parse_fault(const std::string& text, fault_set& f, std::string& error) {
    error = "bad --fault '" + text + "'";
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    const std::string device = text.substr(0, colon);
    const std::string what = text.substr(colon + 1);
    if (what.empty())
        return false;
    if (device == "boot")
        return parse_boot_fault(what, f.boot);
    for (const memory_lines& memory : MEMORIES) {
        if (device != memory.name)
            continue;
        if (what.compare(0, 5, "cell=") == 0)
            return parse_memory_cell_fault(what.substr(5), memory, f);
        std::string why;
        switch (parse_pin_fault(device, what, f.*memory.faults, why)) {
        case pin_parse::added:
            return true;
        case pin_parse::refused:
            error += ": " + why;
            return false;
        case pin_parse::not_a_net:
            break;
        }
        if ((what[0] == 'd' && what != "dead") || what[0] == 'a')
            return parse_memory_fault(what, memory, f);
        return device == "flash" && parse_flash_chip_fault(what, f.flash_chip);
    }
    return false;
}

} // namespace korvin::sim
