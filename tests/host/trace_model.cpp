#include "trace_model.h"

#include <cstdio>
#include <functional>
#include <map>

namespace korvin::test {
namespace {

struct TimedOut {};

class Board {
  public:
    Board(memory tested, const Fault& fault) : memory_(tested), fault_(fault) {
        if (tested == memory::flash && breaks_flash_commands(fault.address_bit))
            fault_.flash_commands_lost = true;
    }

    std::string trace;

    void line(const char* fmt, std::uint32_t a, std::uint32_t b = 0) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, fmt, a, b);
        trace += buffer;
        trace += "\r\n";
    }

    std::uint32_t width_mask() const { return memory_ == memory::sdram ? 0xFFFFFFFFu : 0xFFFFu; }
    std::uint32_t unit_size() const { return memory_ == memory::sdram ? 4 : 2; }
    std::uint32_t base() const {
        return memory_ == memory::sdram   ? 0xA0000000u
               : memory_ == memory::flash ? 0xC0000000u
                                          : 0xC8000000u;
    }

    std::uint32_t cell_index(std::uint32_t index) const {
        if (fault_.address_bit < 0)
            return index;
        std::uint32_t bit = 1u << fault_.address_bit;
        return fault_.address_level ? index | bit : index & ~bit;
    }

    std::uint32_t bus(std::uint32_t value) const {
        if (fault_.data_bit >= 0) {
            std::uint32_t bit = 1u << fault_.data_bit;
            value = fault_.data_level ? value | bit : value & ~bit;
        }
        if (fault_.short_a >= 0) {
            std::uint32_t level = (value >> fault_.short_a) & (value >> fault_.short_b) & 1;
            value &= ~(1u << fault_.short_a | 1u << fault_.short_b);
            value |= level << fault_.short_a | level << fault_.short_b;
        }
        return value & width_mask();
    }

    std::uint32_t stored(std::uint32_t cell) const {
        auto it = cells_.find(cell);
        if (it != cells_.end())
            return it->second;
        return memory_ == memory::flash ? 0xFFFF : 0;
    }

    std::uint32_t load(std::uint32_t index) const {
        if (fault_.flash_dead)
            return 0xFFFF;
        return bus(stored(cell_index(index)));
    }

    // The write operation: a plain store for RAM, the program command and
    // its DQ7 poll for the FLASH.
    void write(std::uint32_t index, std::uint32_t value) {
        std::uint32_t cell = cell_index(index);
        if (memory_ != memory::flash) {
            cells_[cell] = value & width_mask();
            return;
        }
        if (!fault_.flash_dead && !fault_.flash_commands_lost)
            cells_[cell] = stored(cell) & value; // programming only clears bits
        if ((load(index) ^ value) & 0x80) {
            line(" T%x", base() + index * 2);
            throw TimedOut{};
        }
    }

    bool sector_blank(std::uint32_t sector_base) const {
        if (fault_.flash_dead)
            return true;
        if (bus(0xFFFF) != 0xFFFF)
            return false;
        // Only the programmed cells can read other than erased; a logical word
        // of the sector reaches cell c when c itself, or c with the stuck bit
        // flipped, lies in the sector and maps to c.
        std::uint32_t first = (sector_base - base()) / 2;
        for (const auto& [cell, value] : cells_) {
            if (value == 0xFFFF)
                continue;
            std::uint32_t flipped =
                fault_.address_bit >= 0 ? cell ^ 1u << fault_.address_bit : cell;
            for (std::uint32_t i : {cell, flipped})
                if (i >= first && i < first + 0x10000 && cell_index(i) == cell)
                    return false;
        }
        return true;
    }

    void erase_sector(std::uint32_t address) {
        std::uint32_t sector_base = address & 0xFFFE0000u;
        if (sector_blank(sector_base))
            return;
        line(" E%x", sector_base);
        std::uint32_t first = (sector_base - base()) / 2;
        if (!fault_.flash_dead && !fault_.flash_commands_lost) {
            std::uint32_t sector = cell_index(first) >> 16;
            for (auto it = cells_.begin(); it != cells_.end();)
                it = it->first >> 16 == sector ? cells_.erase(it) : std::next(it);
        }
        if (!(load(first) & 0x80)) {
            line(" T%x", sector_base);
            throw TimedOut{};
        }
    }

    std::uint32_t data_bus() {
        std::uint32_t off = unit_size(), mask = width_mask(), result = 0;
        line("D%x", base());
        std::uint32_t n = 0;
        for (std::uint32_t p = 1; p & mask; p <<= 1, n += 4) {
            std::uint32_t q = ~p & mask;
            write(n, p);
            line(" %xw%x", n * off, p);
            std::uint32_t a = load(n);
            line(" %xr%x", n * off, a);
            write(n + 1, 0);
            line(" %xw%x", (n + 1) * off, 0);
            std::uint32_t b = load(n);
            line(" %xr%x", n * off, b);
            if (a != p || b != p) {
                result = p;
                line("*r%x", p);
            }
            write(n + 2, q);
            line(" %xw%x", (n + 2) * off, q);
            std::uint32_t c = load(n + 2);
            line(" %xr%x", (n + 2) * off, c);
            write(n + 3, 0);
            line(" %xw%x", (n + 3) * off, 0);
            std::uint32_t d = load(n + 2);
            line(" %xr%x", (n + 2) * off, d);
            if (c != q || d != q) {
                result = q;
                line("*r%x", q);
            }
        }
        return result;
    }

    std::uint32_t address_lines(std::uint32_t size) {
        std::uint32_t off = unit_size(), units = size / off, mask = units - 1, result = 0;
        line("A%x %x", base(), size);
        for (std::uint32_t i = 0, j = 0; j < units; j = 1u << i, ++i) {
            write(j, i);
            line(" %xw%x", j * off, i);
        }
        for (std::uint32_t i = 0, j = 0; j < units; j = 1u << i, ++i) {
            std::uint32_t v = load(j);
            line(" %xr%x", j * off, v);
            if (v != i) {
                result = base() + j * off;
                line("*r%x", v);
            }
        }
        for (std::uint32_t i = 0, p = 0; p < units; p = 1u << i, ++i) {
            write(mask & ~p, i);
            line(" %xw%x", (mask & ~p) * off, i);
        }
        for (std::uint32_t i = 0, p = 0; p < units; p = 1u << i, ++i) {
            std::uint32_t j = mask & ~p;
            std::uint32_t v = load(j);
            line(" %xr%x", j * off, v);
            if (v != i) {
                result = base() + j * off;
                line("*r%x", v);
            }
        }
        return result;
    }

    std::uint32_t flash_test() {
        std::uint32_t result = 0;
        bool autoselect = !fault_.flash_dead && !fault_.flash_commands_lost;
        std::uint32_t manufacturer = autoselect ? bus(0x00C2) : load(0);
        if (manufacturer != 0x0001 && manufacturer != 0x00C2)
            result = 1;
        line("M%x", manufacturer);
        std::uint32_t device = autoselect ? bus(0x227E) : load(1);
        if (device != 0x227E)
            result = 2;
        line("D%x", device);
        try {
            erase_sector(0xC0000000u);
            if (data_bus())
                result = 3;
            for (std::uint32_t p = 1; p & 0x7FFFFF; p <<= 1)
                erase_sector(0xC0000000u + 2 * p);
            for (std::uint32_t p = 1; p & 0x7FFFFF; p <<= 1)
                erase_sector(0xC0000000u + 2 * (0x7FFFFF & ~p));
            if (address_lines(0x1000000))
                result = 4;
        } catch (const TimedOut&) {
            return 5;
        }
        return result;
    }

    std::uint32_t run() {
        switch (memory_) {
        case memory::sdram: {
            std::uint32_t result = data_bus() ? 1 : 0;
            return address_lines(0x2000000) ? 2 : result;
        }
        case memory::sram: {
            std::uint32_t result = data_bus() ? 1 : 0;
            return address_lines(0x40000) ? 2 : result;
        }
        case memory::flash:
            return flash_test();
        }
        return 0;
    }

  private:
    memory memory_;
    Fault fault_;
    std::map<std::uint32_t, std::uint32_t> cells_;
};

} // namespace

TraceRun run_memory_test(memory tested, const Fault& fault) {
    Board board(tested, fault);
    TraceRun run;
    run.code = board.run();
    run.trace = board.trace;
    return run;
}

} // namespace korvin::test
