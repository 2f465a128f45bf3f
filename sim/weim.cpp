#include "weim.h"

#include <cstdio>

namespace korvin::sim {
namespace {

// CSxL: CSEN is bit 0; DSZ (bits 10..8) is the port size, 5 a 16-bit port on D15..D0.
constexpr uint32_t CSEN = 1;
constexpr uint32_t DSZ_SHIFT = 8, DSZ_MASK = 7, DSZ_16_BIT_LOW = 5;

bool enables_16_bit_port(uint32_t csl) {
    return (csl & CSEN) && ((csl >> DSZ_SHIFT) & DSZ_MASK) == DSZ_16_BIT_LOW;
}

} // namespace

weim::weim(chip cs0, chip cs1)
    : registers_("WEIM", {{CS0U, {"CS0U", 0}},
                          {CS0L, {"CS0L", 0}},
                          {CS0A, {"CS0A", 0}},
                          {CS1U, {"CS1U", 0}},
                          {CS1L, {"CS1L", 0}},
                          {CS1A, {"CS1A", 0}}}),
      windows_{{*this, 0, std::move(cs0)}, {*this, 1, std::move(cs1)}} {}

void weim::write(uint32_t offset, unsigned width, uint32_t value) {
    registers_.write(offset, width, value);
    enabled_[0] = enables_16_bit_port(registers_.value(CS0L));
    enabled_[1] = enables_16_bit_port(registers_.value(CS1L));
}

void weim::reset() {
    registers_.reset();
    for (auto& w : windows_)
        w.reset();
    enabled_[0] = enabled_[1] = false;
}

bool weim::chip_select_window::refuses(uint32_t offset, unsigned width, bool,
                                       std::string& why) const {
    // This board's memories are 16-bit chips; the image has no business splitting a wider
    // access, or making a narrower one to a chip without byte enables.
    if (width != 2 && !(width == 1 && byte_enables_))
        why = "the " + name_ + " is a 16-bit device";
    else if (width == 2 && (offset & 1))
        why = "unaligned 16-bit access";
    else
        return false;
    return true;
}

void weim::chip_select_window::note_disabled() {
    if (!noted_disabled_)
        std::fprintf(stderr,
                     "korvin-sim: the %s was accessed while chip select %d is not enabled as a "
                     "16-bit port; it does not answer\n",
                     name_.c_str(), cs_);
    noted_disabled_ = true;
}

uint32_t weim::chip_select_window::read(uint32_t offset, unsigned width) {
    if (owner_.enabled_[cs_])
        return memory_.read(offset, width) & (width == 1 ? 0xFF : 0xFFFF);
    note_disabled();
    return width == 1 ? 0xFF : 0xFFFF; // nothing drives the bus: it floats high
}

void weim::chip_select_window::write(uint32_t offset, unsigned width, uint32_t value) {
    if (owner_.enabled_[cs_])
        memory_.write(offset, width, value & (width == 1 ? 0xFF : 0xFFFF));
    else
        note_disabled();
}

} // namespace korvin::sim
