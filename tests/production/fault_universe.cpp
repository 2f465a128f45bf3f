#include "fault_universe.h"

#include "diagnose.h"
#include "image_runner.h"
#include "monitor.h"
#include "sim/faults.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <exception>
#include <fstream>
#include <iterator>
#include <numeric>
#include <regex>
#include <set>
#include <thread>

namespace korvin::test {

const std::vector<device_case> DEVICES = {
    {"sdram",
     "Testing SDRAM... ",
     memory::sdram,
     '1',
     32,
     0,
     12,
     2,
     "dqm",
     4,
     {control_line::cs, control_line::ras, control_line::cas, control_line::we, control_line::cke}},
    {"flash",
     "Testing FLASH... ",
     memory::flash,
     '2',
     16,
     23,
     0,
     0,
     nullptr,
     0,
     {control_line::cs, control_line::oe, control_line::we}},
    {"sram",
     "Testing SRAM... ",
     memory::sram,
     '3',
     16,
     17,
     0,
     0,
     "eb",
     2,
     {control_line::cs, control_line::oe, control_line::we}},
};

const std::vector<fault_kind> FAULT_KINDS = {
    fault_kind::stuck_data,    fault_kind::data_short,    fault_kind::open_data,
    fault_kind::stuck_address, fault_kind::address_short, fault_kind::stuck_pin,
    fault_kind::pin_short,     fault_kind::open_pin,      fault_kind::stuck_bank,
    fault_kind::bank_short,    fault_kind::open_bank,     fault_kind::stuck_lane,
    fault_kind::open_lane,     fault_kind::stuck_control, fault_kind::open_control};

const char* kind_name(fault_kind kind) {
    switch (kind) {
    case fault_kind::stuck_data:
        return "data line stuck";
    case fault_kind::data_short:
        return "data lines shorted";
    case fault_kind::open_data:
        return "data line open";
    case fault_kind::stuck_address:
        return "address line stuck";
    case fault_kind::address_short:
        return "address lines shorted";
    case fault_kind::stuck_pin:
        return "address pin stuck";
    case fault_kind::pin_short:
        return "address pins shorted";
    case fault_kind::open_pin:
        return "address pin open";
    case fault_kind::stuck_bank:
        return "bank pin stuck";
    case fault_kind::bank_short:
        return "bank pin shorted";
    case fault_kind::open_bank:
        return "bank pin open";
    case fault_kind::stuck_lane:
        return "byte lane stuck";
    case fault_kind::open_lane:
        return "byte lane open";
    case fault_kind::stuck_control:
        return "control line stuck";
    case fault_kind::open_control:
        return "control line open";
    }
    return "";
}

bool fault_case::on_data_lines() const {
    return kind == fault_kind::stuck_data || kind == fault_kind::data_short ||
           kind == fault_kind::open_data;
}

namespace {

const char* const CONTROL_NAMES[] = {"cs", "oe", "we", "ras", "cas", "cke"};

// An SDRAM address or bank pin by number: "ma3", "ba1".
std::string pin_name(int pin) {
    return pin >= BANK_PIN ? "ba" + std::to_string(pin - BANK_PIN) : "ma" + std::to_string(pin);
}

} // namespace

std::string fault_case::text() const {
    const std::string memory = std::string(device->name) + ":";
    const std::string how = kind == fault_kind::open_data || kind == fault_kind::open_pin ||
                                    kind == fault_kind::open_bank ||
                                    kind == fault_kind::open_lane ||
                                    kind == fault_kind::open_control
                                ? "=open"
                                : "=" + std::to_string(level);
    const std::string wiring = level ? "=or" : "=and";
    switch (kind) {
    case fault_kind::stuck_data:
    case fault_kind::open_data:
        return memory + "d" + std::to_string(line) + how;
    case fault_kind::stuck_address:
        return memory + "a" + std::to_string(line) + how;
    case fault_kind::data_short:
        return memory + "d" + std::to_string(line) + "~d" + std::to_string(other) + wiring;
    case fault_kind::address_short:
        return memory + "a" + std::to_string(line) + "~a" + std::to_string(other) + wiring;
    case fault_kind::stuck_pin:
    case fault_kind::open_pin:
    case fault_kind::stuck_bank:
    case fault_kind::open_bank:
        return memory + pin_name(line) + how;
    case fault_kind::pin_short:
    case fault_kind::bank_short:
        return memory + pin_name(line) + "~" + pin_name(other) + wiring;
    case fault_kind::stuck_lane:
    case fault_kind::open_lane:
        return memory + device->lane_prefix + std::to_string(line) + how;
    case fault_kind::stuck_control:
    case fault_kind::open_control:
        return memory + CONTROL_NAMES[line] + how;
    }
    return "";
}

bool fault_case::invisible() const {
    const auto control = static_cast<control_line>(line);
    if (kind == fault_kind::stuck_lane)
        return level == 0;
    if (kind == fault_kind::open_control)
        return control == control_line::cke;
    if (kind != fault_kind::stuck_control)
        return false;
    return (control == control_line::cs && level == 0) ||
           (control == control_line::cke && level == 1) ||
           (control == control_line::oe && level == 0 && device->tested == memory::sram);
}

namespace {

// Both lines of a short carry the AND (or OR) of their levels.
std::uint32_t short_lines(std::uint32_t v, int a, int b, bool wired_or) {
    const bool x = (v >> a) & 1, y = (v >> b) & 1;
    const bool both = wired_or ? (x || y) : (x && y);
    const std::uint32_t mask = (1u << a) | (1u << b);
    return both ? v | mask : v & ~mask;
}

} // namespace

bool fault_case::breaks_command_cycles() const {
    if (device->tested != memory::flash)
        return false;
    if (kind == fault_kind::stuck_control || kind == fault_kind::open_control) {
        const auto control = static_cast<control_line>(line);
        const bool high = kind == fault_kind::open_control || level == 1;
        return (control == control_line::we && high) || (control == control_line::oe && !high);
    }
    // The cycles of a word program, a sector erase and a reset, by word index within the
    // sector and data; the chip decodes index bits 0 to 10 and the data's low byte.
    struct cycle {
        std::uint32_t index, data;
    };
    static const cycle CYCLES[] = {{0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0xA0}, {0x555, 0x80},
                                   {0x555, 0x30}, {0x555, 0xF0}, {0x000, 0xF0}, {0x000, 0x30}};
    // The sectors the test programs: the first, those of the address-line test's words
    // (word-index bits 16 and up select a 64K-word sector) and the top one.
    std::vector<std::uint32_t> sectors = {0, 0x7F0000};
    for (int bit = 16; bit < device->address_bits; ++bit)
        sectors.push_back(1u << bit);
    for (std::uint32_t sector : sectors)
        for (const cycle& c : CYCLES) {
            std::uint32_t index = sector | c.index, data = c.data;
            switch (kind) {
            case fault_kind::stuck_address:
                index = level ? index | (1u << line) : index & ~(1u << line);
                break;
            case fault_kind::address_short:
                index = short_lines(index, line, other, level);
                break;
            case fault_kind::data_short:
                data = short_lines(data, line, other, level);
                break;
            case fault_kind::open_data:
                data |= 1u << line; // the chip's input floats high
                break;
            default:
                break;
            }
            if (((index ^ (sector | c.index)) & 0x7FF) || ((data ^ c.data) & 0xFF))
                return true;
        }
    return false;
}

bool fault_case::merges_data_bus_units() const {
    if (device->tested != memory::flash ||
        (kind != fault_kind::stuck_address && kind != fault_kind::address_short))
        return false;
    std::set<std::uint32_t> reached;
    for (std::uint32_t word = 0; word < 64; ++word) {
        const std::uint32_t to = kind == fault_kind::address_short
                                     ? short_lines(word, line, other, level)
                                     : (level ? word | (1u << line) : word & ~(1u << line));
        if (!reached.insert(to).second || (word < 2 && to != word))
            return true;
    }
    return false;
}

bool fault_case::spoils_sdram_start_up() const {
    if (kind != fault_kind::pin_short && kind != fault_kind::bank_short)
        return false;
    const std::uint32_t a10 = 1u << 10, bank_shift = BANK_PIN;
    const auto seen = [&](std::uint32_t pins) { return short_lines(pins, line, other, level); };
    if (!(seen(a10) & a10))
        return true; // no precharge of all banks
    std::uint32_t mode = 0;
    bool mode_loaded = false, extended_loaded = false;
    for (std::uint32_t pins : {0x033u, 2u << bank_shift}) {
        const std::uint32_t at_chip = seen(pins), bank = at_chip >> bank_shift & 3;
        if (bank == 0) {
            mode = at_chip & 0xFFF;
            mode_loaded = true;
        }
        extended_loaded |= bank == 2;
    }
    return !mode_loaded || !extended_loaded || (mode >> 4 & 7) != 3 || (mode >> 7 & 3) != 0;
}

std::vector<fault_case> stuck_line_faults() {
    std::vector<fault_case> faults;
    for (const device_case& d : DEVICES)
        for (fault_kind kind : {fault_kind::stuck_data, fault_kind::stuck_address}) {
            const int lines = kind == fault_kind::stuck_data ? d.data_lines : d.address_bits;
            for (int line = 0; line < lines; ++line)
                for (int level : {0, 1})
                    faults.push_back({&d, kind, line, level});
        }
    return faults;
}

std::vector<fault_case> short_and_open_faults(bool neighbours_only) {
    std::vector<fault_case> faults;
    for (const device_case& d : DEVICES) {
        for (fault_kind kind : {fault_kind::data_short, fault_kind::address_short}) {
            const int lines = kind == fault_kind::data_short ? d.data_lines : d.address_bits;
            for (int a = 0; a < lines; ++a)
                for (int b = a + 1; b < (neighbours_only ? std::min(a + 2, lines) : lines); ++b)
                    for (int wired_or : {0, 1})
                        faults.push_back({&d, kind, a, wired_or, b});
        }
        for (int line = 0; line < d.data_lines; ++line)
            faults.push_back({&d, fault_kind::open_data, line, 1});
    }
    return faults;
}

std::vector<fault_case> net_faults(bool neighbours_only) {
    std::vector<fault_case> faults;
    for (const device_case& d : DEVICES) {
        // The SDRAM's address bus in pin order: MA0..MA11, then BA0, BA1.
        std::vector<int> pins;
        for (int n = 0; n < d.address_pins; ++n)
            pins.push_back(n);
        for (int n = 0; n < d.bank_pins; ++n)
            pins.push_back(BANK_PIN + n);
        for (int pin : pins) {
            const bool bank = pin >= BANK_PIN;
            for (int level : {0, 1})
                faults.push_back(
                    {&d, bank ? fault_kind::stuck_bank : fault_kind::stuck_pin, pin, level});
            faults.push_back({&d, bank ? fault_kind::open_bank : fault_kind::open_pin, pin, 1});
        }
        for (std::size_t i = 0; i < pins.size(); ++i)
            for (std::size_t j = i + 1;
                 j < (neighbours_only ? std::min(i + 2, pins.size()) : pins.size()); ++j)
                for (int wired_or : {0, 1}) {
                    // A bank short names its bank pin first: "ba1~ma11", "ba0~ba1".
                    const bool bank = pins[j] >= BANK_PIN;
                    const int first = bank && pins[i] < BANK_PIN ? pins[j] : pins[i];
                    const int second = first == pins[i] ? pins[j] : pins[i];
                    faults.push_back({&d, bank ? fault_kind::bank_short : fault_kind::pin_short,
                                      first, wired_or, second});
                }
        for (int lane = 0; lane < d.lanes; ++lane) {
            for (int level : {0, 1})
                faults.push_back({&d, fault_kind::stuck_lane, lane, level});
            faults.push_back({&d, fault_kind::open_lane, lane, 1});
        }
        for (control_line c : d.controls) {
            for (int level : {0, 1})
                faults.push_back({&d, fault_kind::stuck_control, static_cast<int>(c), level});
            faults.push_back({&d, fault_kind::open_control, static_cast<int>(c), 1});
        }
    }
    return faults;
}

} // namespace korvin::test
