#include "pin_faults.h"

#include <cctype>

namespace korvin::sim {
namespace {

// The SDRAM's address pins in the pin word: MA<n> is bit n, BA<n> bit 13 + n.
constexpr unsigned BA0_BIT = 13;
// The board wires MA0..MA11: its SDRAM takes a 12-bit row address.
constexpr unsigned LAST_WIRED_MA = 11;

enum class net_kind { address, lane, control };

struct net {
    net_kind kind;
    std::string name; // as the schematic spells it: "MA3", "DQM2", "WE"
    unsigned index = 0;
    line_fault pin_faults::*control = nullptr;
};

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// "ma3" -> 3 after the prefix; false unless one or two digits follow.
bool numbered(const std::string& text, const char* prefix, unsigned& n) {
    const std::string p = prefix;
    if (text.compare(0, p.size(), p) != 0 || text.size() == p.size() || text.size() > p.size() + 2)
        return false;
    n = 0;
    for (std::size_t i = p.size(); i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        n = n * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return !(text.size() == p.size() + 2 && text[p.size()] == '0');
}

// What `text` names, if a net of any memory; `why` says why this memory has no such net.
bool name_net(const std::string& memory, const std::string& text, net& n, bool& exists,
              std::string& why) {
    static const struct {
        const char* name;
        line_fault pin_faults::*line;
    } CONTROLS[] = {{"cs", &pin_faults::cs},   {"oe", &pin_faults::oe},
                    {"we", &pin_faults::we},   {"ras", &pin_faults::ras},
                    {"cas", &pin_faults::cas}, {"cke", &pin_faults::cke}};
    const bool sdram = memory == "sdram", flash = memory == "flash";
    const std::string chip = sdram ? "the SDRAM" : flash ? "the FLASH" : "the SRAM";
    unsigned i = 0;
    exists = false;
    if (numbered(text, "ma", i) || numbered(text, "ba", i)) {
        n = {net_kind::address, upper(text), text[0] == 'b' ? BA0_BIT + i : i};
        if (!sdram)
            why = "MA and BA are the SDRAM's multiplexed address pins; " + chip +
                  "'s address lines are aN, its word-index bits";
        else if (text[0] == 'm' && i == LAST_WIRED_MA + 1)
            why = "MA12 is not wired: the board's SDRAM takes its 12-bit row address on A0-A11";
        else if ((text[0] == 'm' && i > LAST_WIRED_MA) || (text[0] == 'b' && i > 1))
            why = "the SDRAM's address pins are MA0-MA11, BA0 and BA1";
        else
            exists = true;
        return true;
    }
    if (numbered(text, "dqm", i) || numbered(text, "eb", i)) {
        n = {net_kind::lane, upper(text), i};
        const bool dqm = text[0] == 'd';
        if (flash)
            why = "the FLASH has no byte enables: a 16-bit NOR FLASH takes whole words";
        else if (sdram && !dqm)
            why = "the SDRAM's byte lanes are DQM0-DQM3";
        else if (!sdram && dqm)
            why = "DQM0-DQM3 are the SDRAM's byte lanes; the SRAM's byte enables are EB0 and EB1";
        else if (i > (sdram ? 3u : 1u))
            why = sdram ? "the SDRAM's byte lanes are DQM0-DQM3"
                        : "the SRAM's byte enables are EB0 and EB1";
        else
            exists = true;
        return true;
    }
    for (const auto& c : CONTROLS) {
        if (text != c.name)
            continue;
        n = {net_kind::control, upper(text), 0, c.line};
        const bool sdram_only =
            c.line == &pin_faults::ras || c.line == &pin_faults::cas || c.line == &pin_faults::cke;
        if (!sdram && sdram_only)
            why = "RAS, CAS and CKE are the SDRAM's control lines";
        else if (sdram && c.line == &pin_faults::oe)
            why = "the SDRAM has no output enable: DQM0-DQM3 turn its outputs off";
        else
            exists = true;
        return true;
    }
    return false;
}

// A stuck level or an open line on one address pin.
bool add_address_level(pin_faults& pins, uint32_t bit, line_fault level) {
    const uint32_t stuck_low = ~pins.address.keep, stuck_high = pins.address.set;
    const uint32_t taken = stuck_low | stuck_high | pins.open_address | pins.address_shorts.lines();
    const uint32_t same = level == line_fault::low    ? stuck_low
                          : level == line_fault::high ? stuck_high
                                                      : pins.open_address;
    if ((taken & bit) && !(same & bit))
        return false;
    if (level == line_fault::low)
        pins.address.keep &= ~bit;
    else if (level == line_fault::high)
        pins.address.set |= bit;
    else
        pins.open_address |= bit;
    return true;
}

} // namespace

pin_parse parse_pin_fault(const std::string& memory, const std::string& what, memory_faults& faults,
                          std::string& why) {
    const auto eq = what.find('=');
    const std::string where = what.substr(0, eq == std::string::npos ? what.size() : eq);
    const std::string how = eq == std::string::npos ? "" : what.substr(eq + 1);
    const auto tilde = where.find('~');
    net a, b;
    bool exists = false;
    if (!name_net(memory, where.substr(0, tilde), a, exists, why))
        return pin_parse::not_a_net;
    if (!exists)
        return pin_parse::refused;
    pin_faults& pins = faults.pins;

    if (tilde != std::string::npos) {
        bool b_exists = false;
        if (!name_net(memory, where.substr(tilde + 1), b, b_exists, why)) {
            why = "a short joins two lines of one kind";
            return pin_parse::refused;
        }
        if (!b_exists)
            return pin_parse::refused;
        if (a.kind != net_kind::address || b.kind != net_kind::address) {
            why = a.kind == b.kind ? "shorts of byte-lane and control lines are not modelled"
                                   : "a short joins two lines of one kind";
            return pin_parse::refused;
        }
        if (a.index == b.index) {
            why = "a line cannot be shorted to itself";
            return pin_parse::refused;
        }
        if (how != "and" && how != "or") {
            why = "a short is =and or =or";
            return pin_parse::refused;
        }
        const uint32_t pair = (1u << a.index) | (1u << b.index);
        const uint32_t held = ~pins.address.keep | pins.address.set | pins.open_address;
        if ((pair & held) || !pins.address_shorts.join(pair, how == "or")) {
            why = a.name + " or " + b.name + " already has another fault";
            return pin_parse::refused;
        }
        pins.faulty = true;
        return pin_parse::added;
    }

    const line_fault level = how == "0"      ? line_fault::low
                             : how == "1"    ? line_fault::high
                             : how == "open" ? line_fault::open
                                             : line_fault::none;
    if (level == line_fault::none) {
        why = "a line is stuck at =0 or =1, or =open";
        return pin_parse::refused;
    }
    line_fault* line = a.kind == net_kind::lane      ? &pins.lanes[a.index]
                       : a.kind == net_kind::control ? &(pins.*a.control)
                                                     : nullptr;
    const bool added = line ? (*line == line_fault::none || *line == level)
                            : add_address_level(pins, 1u << a.index, level);
    if (!added) {
        why = a.name + " already has another fault";
        return pin_parse::refused;
    }
    if (line)
        *line = level;
    pins.faulty = true;
    return pin_parse::added;
}

} // namespace korvin::sim
