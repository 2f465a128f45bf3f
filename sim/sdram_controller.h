#pragma once
// The SDRAM controller: ESDCTL0, ESDCFG0 and ESDMISC at 0xD8001000, and what a load or a store
// in the SDRAM's window at 0xA0000000 does. The SDRAM holds data only once the controller has
// taken it through its start-up: precharge all banks, two auto-refreshes, load the mode
// register and the extended mode register, then normal operation with this board's geometry.
// Until then the stores in the window are the start-up's command cycles or nothing, and
// loads return undefined bits.
#include "device.h"
#include "sdram.h"

#include <cstdint>

namespace korvin::sim {

class sdram_controller : public device {
  public:
    static constexpr uint32_t ESDCTL0 = 0x00, ESDCFG0 = 0x04, ESDMISC = 0x10;
    // ESDCTL0 in normal operation for this board: 13 rows, 9 columns, 32-bit, CAS 3, burst 8.
    static constexpr uint32_t NORMAL_MODE = 0x81126080;

    explicit sdram_controller(sdram& chips) : chips_(chips), window_(*this) {}
    sdram_controller(const sdram_controller&) = delete;
    sdram_controller& operator=(const sdram_controller&) = delete;

    // The registers.
    bool refuses(uint32_t offset, unsigned width, bool write, std::string& why) const override;
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;
    // The controller returns to its reset state; the array keeps its contents.
    void reset() override;

    // The SDRAM's window, for the memory map.
    device& window() { return window_; }
    // The start-up is complete: the array holds data.
    bool ready() const { return ready_; }

  private:
    class sdram_window : public device {
      public:
        explicit sdram_window(sdram_controller& owner) : owner_(owner) {}
        uint32_t read(uint32_t offset, unsigned width) override;
        void write(uint32_t offset, unsigned width, uint32_t value) override;

      private:
        sdram_controller& owner_;
    };

    uint32_t mode() const { return (ctl_ >> 28) & 7; }
    bool normal_operation() const;
    void command_cycle(uint32_t offset);

    sdram& chips_;
    sdram_window window_;
    uint32_t ctl_ = 0, cfg_ = 0, misc_ = 0;
    // Start-up progress since the last precharge-all.
    bool precharged_ = false, mode_loaded_ = false, extended_loaded_ = false, wrong_ = false;
    unsigned refreshes_ = 0;
    bool ready_ = false;
};

} // namespace korvin::sim
