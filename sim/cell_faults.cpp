#include "cell_faults.h"

#include <cstdlib>

namespace korvin::sim {
namespace {

// "ADDR.BIT": the word index and the bit's mask.
bool parse_cell(const std::string& text, uint32_t base, uint32_t words, unsigned unit,
                uint32_t& index, uint32_t& bit) {
    const auto dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 >= text.size())
        return false;
    char* end = nullptr;
    const std::string where = text.substr(0, dot), which = text.substr(dot + 1);
    const unsigned long long address = std::strtoull(where.c_str(), &end, 16);
    if (*end != '\0' || address < base || (address - base) % unit != 0 ||
        (address - base) / unit >= words)
        return false;
    const unsigned long line = std::strtoul(which.c_str(), &end, 10);
    if (*end != '\0' || line >= unit * 8)
        return false;
    index = static_cast<uint32_t>((address - base) / unit);
    bit = uint32_t{1} << line;
    return true;
}

} // namespace

bool parse_cell_fault(const std::string& text, uint32_t base, uint32_t words, unsigned unit,
                      cell_faults& faults) {
    cell_fault f{};
    const auto tilde = text.find('~');
    if (tilde != std::string::npos) {
        f.what = cell_fault::kind::coupled;
        if (!parse_cell(text.substr(0, tilde), base, words, unit, f.aggressor_index,
                        f.aggressor_bit) ||
            !parse_cell(text.substr(tilde + 1), base, words, unit, f.index, f.bit) ||
            (f.index == f.aggressor_index && f.bit == f.aggressor_bit))
            return false;
        faults.list.push_back(f);
        return true;
    }
    const auto eq = text.find('=');
    if (eq == std::string::npos ||
        !parse_cell(text.substr(0, eq), base, words, unit, f.index, f.bit))
        return false;
    const std::string how = text.substr(eq + 1);
    if (how == "0")
        f.what = cell_fault::kind::stuck_low;
    else if (how == "1")
        f.what = cell_fault::kind::stuck_high;
    else if (how == "rise")
        f.what = cell_fault::kind::no_rise;
    else if (how == "fall")
        f.what = cell_fault::kind::no_fall;
    else
        return false;
    faults.list.push_back(f);
    return true;
}

} // namespace korvin::sim
