#pragma once
// The SDRAM controller: ESDCTL0/ESDCFG0/ESDMISC at 0xD8001000, and what a load or a store
// in the SDRAM's window at 0xA0000000 does. In its command modes a store sends the chips a
// precharge, an auto-refresh or a load-mode-register command, its address going out on the
// pins unshifted; in normal operation the controller maps the address to a bank, a row and
// a column by the geometry ESDCTL0 gives (rows, columns, data width) and sends the row with
// an ACTIVE and the column with the READ or WRITE, over the same pins. Loads get the chips'
// data only once the chips have been through their start-up and answer at the CAS latency
// ESDCFG0 gives; until then they return undefined bits.
#include "device.h"
#include "sdram.h"

#include <cstdint>

namespace korvin::sim {

class sdram_controller : public device {
  public:
    static constexpr uint32_t ESDCTL0 = 0x00, ESDCFG0 = 0x04, ESDMISC = 0x10;

    explicit sdram_controller(sdram& chips) : chips_(chips), window_(*this) {}
    sdram_controller(const sdram_controller&) = delete;
    sdram_controller& operator=(const sdram_controller&) = delete;

    // The registers.
    bool refuses(uint32_t offset, unsigned width, bool write, std::string& why) const override;
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;
    // The controller returns to its reset state; the chips keep their contents and mode.
    void reset() override;

    // The SDRAM's window, for the memory map.
    device& window() { return window_; }
    // In normal operation, and loads get the chips' data: the array holds data.
    bool ready() const;

    // The geometry ESDCTL0 sets: the address bits of a column and of a row, and the
    // byte-address bits of one data-path word (2 on a 32-bit path, 1 on a 16-bit one).
    struct geometry {
        unsigned columns = 0, rows = 0, unit_shift = 0;
        bool valid = false;
    };

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
    // A load or store in normal operation, pin by pin.
    uint32_t access(uint32_t offset, unsigned width, bool write, uint32_t value);
    // Whether the chips can take accesses by their word index (the fast path).
    void update_direct();

    sdram& chips_;
    sdram_window window_;
    uint32_t ctl_ = 0, cfg_ = 0, misc_ = 0;
    geometry map_;
    unsigned cas_latency_ = 0; // when the controller samples a read, from ESDCFG0
    bool direct_ = false;
};

} // namespace korvin::sim
