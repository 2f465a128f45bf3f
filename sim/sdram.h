#pragma once
// The SDRAM controller (ESDCTL0, ESDCFG0, ESDMISC at 0xD8001000) and the 32 MB SDRAM behind
// it at 0xA0000000. The SDRAM holds data only once the controller has taken it through its
// start-up: precharge all banks, two auto-refreshes, load the mode register and the extended
// mode register, then normal operation with this board's geometry.
#include "bus.h"
#include "faults.h"

#include <cstdint>
#include <vector>

namespace korvin::sim {

class Sdram {
  public:
    static constexpr uint32_t size = 32u << 20;
    static constexpr uint32_t esdctl0 = 0x00, esdcfg0 = 0x04, esdmisc = 0x10;
    // ESDCTL0 in normal operation for this board: 13 rows, 9 columns, 32-bit, CAS 3, burst 8.
    static constexpr uint32_t normal_mode = 0x81126080;

    Sdram(Bus& bus, const Faults& faults);

    uint32_t controller_read(uint32_t offset, unsigned bytes);
    void controller_write(uint32_t offset, unsigned bytes, uint32_t value);
    uint32_t read(uint32_t offset, unsigned bytes);
    void write(uint32_t offset, unsigned bytes, uint32_t value);

    bool ready() const { return ready_; }
    // Board reset: the controller returns to its reset state, the array keeps its contents.
    void reset();

  private:
    uint32_t mode() const { return (ctl_ >> 28) & 7; }
    uint32_t garbage();

    Bus& bus_;
    const Faults& faults_;
    std::vector<uint32_t> cells_;
    uint32_t ctl_ = 0, cfg_ = 0, misc_ = 0;
    // Start-up progress since the last precharge-all.
    bool precharged_ = false, mode_loaded_ = false, extended_loaded_ = false, wrong_ = false;
    unsigned refreshes_ = 0;
    bool ready_ = false;
    uint32_t noise_ = 0x9E3779B9;
};

} // namespace korvin::sim
