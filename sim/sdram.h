#pragma once
// The board's 32 MB of SDRAM at 0xA0000000: two x16 SDR parts side by side on a 32-bit data
// path, each of 4 banks of 4096 rows of 512 columns. The controller reaches them through
// their pins: a command on CS#, RAS#, CAS#, WE# with a row, a column or a mode register value
// on A0..A11 and a bank on BA0, BA1; DQM0..DQM3 mask the byte lanes. The faults on those
// pins, on the data lines and on the word index act here.
#include "device.h"
#include "faults.h"
#include "lazy_cells.h"

#include <cstdint>

namespace korvin::sim {

class sdram : public device {
  public:
    static constexpr uint32_t SIZE = 32u << 20;
    static constexpr unsigned ROW_BITS = 12, COLUMN_BITS = 9;
    // The address pins as one word, as pin_faults counts them: MA<n> is bit n, BA<n> bit
    // BA_SHIFT + n. A10 picks all banks in a precharge and auto-precharge in a read or write.
    static constexpr unsigned BA_SHIFT = 13;
    static constexpr uint32_t A10 = 1u << 10;

    explicit sdram(const memory_faults& faults);

    // An access in normal operation at the chips' own geometry, with no fault on their pins:
    // `offset` is the byte offset into the array, the word index its row, bank and column.
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;

    // The commands as the controller drives them; `pins` is the address word. The chips see
    // them through the faults on the pins and take none while a control line keeps them deaf.
    void precharge(uint32_t pins);
    void auto_refresh();
    void load_mode(uint32_t pins);
    void activate(uint32_t pins);
    // A read of all four lanes (DQM0..DQM3 low), sampled by the controller `cas_latency`
    // clocks after the command: what the processor sees.
    uint32_t read_column(uint32_t pins, unsigned cas_latency);
    // A write of `value`, driven on every data line, that the lanes in `lanes` take (bit n:
    // lane n, its DQM low).
    void write_column(uint32_t pins, uint32_t lanes, uint32_t value);

    // Whether loads sampled `cas_latency` clocks after the read command get the chips' data:
    // the start-up is complete (all banks precharged, two auto-refreshes, then the mode and
    // extended mode registers loaded) and the mode register holds that latency.
    bool answers_at(unsigned cas_latency) const;
    // Whether a fault sits on the address pins, the byte lanes or the control lines.
    bool pins_faulty() const { return faults_.pins.any(); }
    // The word index as the test routines count it, past the faults on that count.
    uint32_t counted_index(uint32_t index) const;

    // What a load returns while the chips are not set up to answer: undefined bits.
    uint32_t undefined(unsigned width) { return xorshift(noise_) & width_mask(width); }
    // The array as the chips hold it, past every fault on the lines; `index` is
    // bank << 21 | row << 9 | column.
    uint32_t cell(uint32_t index) const { return cells_.load(index); }
    // The array and the chips' mode keep their state across a board reset: no reset().

  private:
    uint32_t index(uint32_t offset) const;
    // Accesses through shorted or open lines, off the path of a board without them.
    uint32_t wired_index(uint32_t offset) const;
    [[gnu::cold]] uint32_t read_through_wires(uint32_t offset, unsigned width);
    [[gnu::cold]] void write_through_wires(uint32_t offset, unsigned width, uint32_t value);
    // The lines in `lines` of cell `index` take `data`, through the faults of single cells.
    void store_cell(uint32_t index, uint32_t lines, uint32_t data);
    // A command reaches the chips: no stuck control line turns it into another or none.
    bool hear() const;
    // The bank a read or write on `pins` (as the chips see them) goes to, if open.
    bool open_bank(uint32_t pins, unsigned& bank) const;
    bool all_idle() const { return !(open_[0] || open_[1] || open_[2] || open_[3]); }
    bool standard_mode() const;
    static uint32_t xorshift(uint32_t& state);

    // The cells' power-up contents: random, the same on every board.
    static uint32_t power_up(uint32_t index);

    const memory_faults& faults_;
    lazy_cells<uint32_t> cells_;
    uint32_t noise_ = 0x9E3779B9;           // undefined loads come from it
    uint32_t held_ = HELD_BEFORE_ANY_STORE; // the processor's side of the data lines
    // The banks' open rows.
    bool open_[4] = {};
    uint32_t row_[4] = {};
    // The start-up since the last precharge of all banks, and its result.
    bool precharged_ = false, spoiled_ = false, mode_loaded_ = false, extended_loaded_ = false;
    unsigned refreshes_ = 0;
    bool initialised_ = false;
    uint32_t mode_ = 0; // the mode register, A11..A0
};

} // namespace korvin::sim
