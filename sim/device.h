#pragma once
// What every device model offers the bus: a load and a store at an offset into the device's
// window, a reset, and a say on which accesses it takes at all. The memory map checks an
// access once with refuses() and routes only the accesses a device takes to read() and write().
//
// The models are written from the chip's and the memory devices' own facts, never from the
// host's or the boot image's headers (see README.md in this folder).
#include "clock.h"

#include <cstdint>
#include <functional>
#include <string>

namespace korvin::sim {

class device {
  public:
    virtual ~device() = default;

    // Whether the device cannot take this access, with `why` (the bad-access message) when it
    // cannot. `width` is 1, 2 or 4 bytes.
    virtual bool refuses(uint32_t /*offset*/, unsigned /*width*/, bool /*write*/,
                         std::string& /*why*/) const {
        return false;
    }
    virtual uint32_t read(uint32_t offset, unsigned width) = 0;
    virtual void write(uint32_t offset, unsigned width, uint32_t value) = 0;
    // The board's reset: what the device holds in its registers goes back to its reset state.
    virtual void reset() {}
};

// The low `width` bytes of a value.
constexpr uint32_t width_mask(unsigned width) {
    return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
}

// Time as a device sees it: the board's clock, and a way to let time pass while the program
// polls the device.
struct device_clock {
    std::function<time_point()> now = [] { return sim_clock::now(); };
    // Lets time pass until `deadline` while the serial line is serviced; false when the CPU
    // must stop (the host closed the line, or the simulator is ending). Empty: no waiting.
    std::function<bool(time_point deadline)> wait;
};

} // namespace korvin::sim
