#include "faults.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

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

// "dN=L" or "aN=L" with N at most max_line and L 0 or 1.
bool parse_stuck(const std::string& text, unsigned max_line, stuck_lines& lines) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq + 2 != text.size())
        return false;
    const char level = text[eq + 1];
    unsigned long line = 0;
    if ((level != '0' && level != '1') || !parse_number(text.substr(1, eq - 1), 10, max_line, line))
        return false;
    const uint32_t bit = uint32_t{1} << line;
    const bool high = level == '1';
    // The same line cannot be stuck at both levels.
    if ((high && !(lines.keep & bit)) || (!high && (lines.set & bit)))
        return false;
    if (high)
        lines.set |= bit;
    else
        lines.keep &= ~bit;
    return true;
}

} // namespace

bool parse_fault(const std::string& text, fault_set& f, std::string& error) {
    error = "bad --fault '" + text + "'";
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    const std::string device = text.substr(0, colon);
    const std::string what = text.substr(colon + 1);
    if (what.empty())
        return false;

    if (device == "sdram" || device == "flash" || device == "sram") {
        const bool data = what[0] == 'd' && what != "dead";
        const bool address = what[0] == 'a';
        if (data || address) {
            unsigned max_line = 0;
            stuck_lines* lines = nullptr;
            if (device == "sdram") {
                max_line = data ? 31 : 22;
                lines = data ? &f.sdram_data : &f.sdram_address;
            } else if (device == "flash") {
                max_line = data ? 15 : 22;
                lines = data ? &f.flash_data : &f.flash_address;
            } else {
                max_line = data ? 15 : 16;
                lines = data ? &f.sram_data : &f.sram_address;
            }
            return parse_stuck(what, max_line, *lines);
        }
        if (device == "flash" && what == "dead") {
            f.flash_dead = true;
            return true;
        }
        if (device == "flash" && what.compare(0, 3, "id=") == 0) {
            const std::string ids = what.substr(3);
            const auto sep = ids.find(':');
            unsigned long m = 0, d = 0;
            if (sep == std::string::npos || !parse_number(ids.substr(0, sep), 16, 0xFFFF, m) ||
                !parse_number(ids.substr(sep + 1), 16, 0xFFFF, d))
                return false;
            f.flash_manufacturer = static_cast<uint16_t>(m);
            f.flash_device = static_cast<uint16_t>(d);
            return true;
        }
        return false;
    }
    if (device == "boot") {
        if (what == "never-wakes")
            f.boot_never_wakes = true;
        else if (what == "wake-alt")
            f.boot_wake_alt = true;
        else if (what == "refuse-write")
            f.boot_refuse_write = true;
        else if (what == "refuse-start")
            f.boot_refuse_start = true;
        else if (what.compare(0, 11, "wake-after=") == 0) {
            unsigned long n = 0;
            if (!parse_number(what.substr(11), 10, 1000000, n) || n == 0)
                return false;
            f.boot_wake_after = static_cast<unsigned>(n);
        } else
            return false;
        return true;
    }
    return false;
}

} // namespace korvin::sim
