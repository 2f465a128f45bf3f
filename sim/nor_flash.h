#pragma once
// The 16 MB NOR FLASH on chip select 0: 16-bit, 128 uniform 128 KB sectors, AMD command
// set. Commands are decoded from the chip's word address lines A10..A0 and the low data
// byte, as a x16 part does.
#include "clock.h"
#include "device.h"
#include "faults.h"
#include "lazy_cells.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace korvin::sim {

struct flash_timing {
    bool enabled = false;
    std::chrono::microseconds program{10};
    std::chrono::microseconds erase{500000};
};

class nor_flash : public device {
  public:
    static constexpr uint32_t SIZE = 16u << 20;
    static constexpr uint32_t WORDS = SIZE / 2;
    static constexpr uint32_t SECTOR_WORDS = 0x10000;

    // `lines` are the faults between processor and chip, `chip` the chip's own. `clock` is
    // read for the time an operation takes and waited on while it is polled.
    nor_flash(const memory_faults& lines, const flash_chip_faults& chip, flash_timing timing,
              const device_clock& clock);

    // `offset` is the byte offset into the chip; every access is 16-bit (the WEIM sees to it).
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;
    // Board reset: a running operation completes, the chip returns to read mode.
    void reset() override;

    // The array, as erase and program left it.
    std::vector<uint16_t> cells() const;
    bool load(const std::string& path, std::string& error);
    bool save(const std::string& path, std::string& error) const;

  private:
    enum class step { idle, unlocked1, unlocked2, program, erase1, erase2, erase3 };
    uint32_t word_index(uint32_t offset) const;
    // The same through shorted address lines.
    uint32_t wired_word_index(uint32_t offset) const;
    // What the chip drives for a load of word `w`, before any fault on the data lines.
    uint16_t read_chip(uint32_t w);
    // A load through shorted or open lines or faulty control lines, off the path of a board
    // without them.
    [[gnu::cold]] uint32_t read_through_wires(uint32_t offset);
    bool busy(time_point now) const { return operating_ && now < done_; }
    void start(bool erase, uint32_t word, uint16_t data);
    // Whether the array holds what the operation meant to leave at `word` (its sector, for
    // a sector erase; every sector when `word` is WORDS): the embedded algorithm verifies it,
    // and a cell that cannot reach its level fails it.
    bool verifies(bool erase, uint32_t word) const;
    uint16_t status();

    const memory_faults& lines_;
    const flash_chip_faults& chip_;
    flash_timing timing_;
    const device_clock& clock_;
    lazy_cells<uint16_t> cells_; // erased, until programmed
    step step_ = step::idle;
    bool autoselect_ = false;
    bool cfi_ = false; // answering the CFI query
    // The last program or erase; busy until done_. One that failed its verify stays in the
    // status state, DQ5 set once its time is up, until the reset command.
    bool operating_ = false, erasing_ = false, failed_ = false;
    uint16_t programmed_ = 0;
    time_point done_{};
    bool toggle_ = false;
    unsigned polls_ = 0;
    uint32_t held_ = HELD_BEFORE_ANY_STORE; // the processor's side of the data lines
};

} // namespace korvin::sim
