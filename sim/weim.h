#pragma once
// The external interface module (WEIM): the chip-select control registers of CS0 and CS1
// (CSxU, CSxL, CSxA at 0xD8002000) and what a load or a store in each chip select's window
// does. The memory behind a chip select sees only the accesses that reach it: those of an
// enabled chip select set up as a 16-bit port. A byte access to such a port is one bus cycle
// with only the addressed lane's byte enable asserted (EB0 for an even address, EB1 for an
// odd one); it reaches only a chip that has byte enables.
#include "device.h"
#include "registers.h"

#include <cstdint>
#include <string>

namespace korvin::sim {

class weim : public device {
  public:
    static constexpr int CHIP_SELECTS = 2;
    static constexpr uint32_t CS0U = 0x00, CS0L = 0x04, CS0A = 0x08;
    static constexpr uint32_t CS1U = 0x10, CS1L = 0x14, CS1A = 0x18;

    // A 16-bit memory on a chip select, named in messages; `byte_enables` when the chip has
    // UB#/LB# wired to EB1/EB0 and so takes byte accesses.
    struct chip {
        device& memory;
        std::string name;
        bool byte_enables;
    };
    weim(chip cs0, chip cs1);
    weim(const weim&) = delete;
    weim& operator=(const weim&) = delete;

    // The control registers.
    bool refuses(uint32_t offset, unsigned width, bool write, std::string& why) const override {
        return registers_.refuses(offset, width, write, why);
    }
    uint32_t read(uint32_t offset, unsigned width) override {
        return registers_.read(offset, width);
    }
    void write(uint32_t offset, unsigned width, uint32_t value) override;
    void reset() override;

    // Chip select `cs`'s window, for the memory map.
    device& window(int cs) { return windows_[cs]; }
    // CSEN is set and the port is 16 bits wide on D15..D0.
    bool enabled(int cs) const { return enabled_[cs]; }

  private:
    class chip_select_window : public device {
      public:
        chip_select_window(weim& owner, int cs, chip c)
            : owner_(owner), cs_(cs), memory_(c.memory), name_(std::move(c.name)),
              byte_enables_(c.byte_enables) {}
        bool refuses(uint32_t offset, unsigned width, bool write, std::string& why) const override;
        uint32_t read(uint32_t offset, unsigned width) override;
        void write(uint32_t offset, unsigned width, uint32_t value) override;
        void reset() override { noted_disabled_ = false; }

      private:
        // Says once per reset that a disabled chip select does not answer.
        void note_disabled();
        weim& owner_;
        int cs_;
        device& memory_;
        std::string name_;
        bool byte_enables_;
        bool noted_disabled_ = false; // said once per reset that nothing answers
    };

    recording_registers registers_;
    chip_select_window windows_[CHIP_SELECTS];
    bool enabled_[CHIP_SELECTS] = {false, false}; // as the CSxL registers say
};

} // namespace korvin::sim
