#pragma once
// Faults of single memory cells, which only a test of every location finds: a bit stuck at
// one level, a bit that cannot rise or cannot fall (a transition fault), and a coupled pair,
// where every change of one bit (the aggressor) inverts another (the victim).
#include <cstdint>
#include <string>
#include <vector>

namespace korvin::sim {

struct cell_fault {
    enum class kind { stuck_low, stuck_high, no_rise, no_fall, coupled };
    kind what;
    uint32_t index; // the cell's word index in the chip; the victim's for a coupled pair
    uint32_t bit;   // a mask of one bit
    uint32_t aggressor_index = 0, aggressor_bit = 0;
};

struct cell_faults {
    std::vector<cell_fault> list;

    bool any() const { return !list.empty(); }
    // What a load of cell `index` sees when the array holds `v`.
    uint32_t load(uint32_t index, uint32_t v) const {
        for (const cell_fault& f : list) {
            if (f.index != index)
                continue;
            if (f.what == cell_fault::kind::stuck_low)
                v &= ~f.bit;
            else if (f.what == cell_fault::kind::stuck_high)
                v |= f.bit;
        }
        return v;
    }
    // A store of `next` over `old` at `index`: returns what the cell keeps; `invert(victim,
    // bit)` inverts a victim's bit in another cell.
    template <typename Invert>
    uint32_t store(uint32_t index, uint32_t old, uint32_t next, Invert invert) const {
        uint32_t kept = next;
        for (const cell_fault& f : list) {
            if (f.index != index)
                continue;
            const bool rises = !(old & f.bit) && (next & f.bit);
            const bool falls = (old & f.bit) && !(next & f.bit);
            if ((f.what == cell_fault::kind::no_rise && rises) ||
                (f.what == cell_fault::kind::no_fall && falls))
                kept ^= f.bit;
        }
        for (const cell_fault& f : list) {
            if (f.what != cell_fault::kind::coupled || f.aggressor_index != index ||
                !((old ^ kept) & f.aggressor_bit))
                continue;
            if (f.index == index)
                kept ^= f.bit;
            else
                invert(f.index, f.bit);
        }
        return kept;
    }
};

// "ADDR.BIT=0", "=1", "=rise" (cannot rise), "=fall" (cannot fall), or "ADDR.BIT~ADDR.BIT"
// (a change of the first inverts the second); ADDR an absolute byte address in hexadecimal
// in the memory at `base` of `words` words of `unit` bytes. False on anything else.
bool parse_cell_fault(const std::string& text, uint32_t base, uint32_t words, unsigned unit,
                      cell_faults& faults);

} // namespace korvin::sim
