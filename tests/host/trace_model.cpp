#include "trace_model.h"

#include <cstdio>
#include <functional>
#include <map>

namespace korvin::test {
namespace {

struct timed_out_error {};

// An AMD-command-set NOR chip in 16-bit mode: the unlock cycles are decoded
// on word address bits 10..0 and data bits 7..0 only.
constexpr std::uint32_t UNLOCK1 = 0x555, UNLOCK2 = 0x2AA;
constexpr std::uint32_t SECTOR_WORDS = 0x10000;

std::uint32_t replace_pair(std::uint32_t value, int a, int b, bool wired_or) {
    if (a < 0)
        return value;
    const std::uint32_t x = value >> a & 1, y = value >> b & 1;
    const std::uint32_t level = wired_or ? (x | y) : (x & y);
    value &= ~(1u << a | 1u << b);
    return value | level << a | level << b;
}

class monitor_model {
  public:
    monitor_model(memory tested, const memory_fault& fault) : memory_(tested), fault_(fault) {}

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
        if (fault_.address_bit >= 0) {
            std::uint32_t bit = 1u << fault_.address_bit;
            index = fault_.address_level ? index | bit : index & ~bit;
        }
        return replace_pair(index, fault_.address_short_a, fault_.address_short_b,
                            fault_.address_short_or);
    }

    // The word-index bits a fault can change, for finding what reaches a cell.
    std::uint32_t address_fault_bits() const {
        std::uint32_t bits = 0;
        if (fault_.address_bit >= 0)
            bits |= 1u << fault_.address_bit;
        if (fault_.address_short_a >= 0)
            bits |= 1u << fault_.address_short_a | 1u << fault_.address_short_b;
        return bits;
    }

    // What the memory sees of a store.
    std::uint32_t to_memory(std::uint32_t value) const {
        value = replace_pair(value, fault_.short_a, fault_.short_b, fault_.short_or);
        if (fault_.open_bit >= 0)
            value |= 1u << fault_.open_bit;
        return value & width_mask();
    }

    // What the processor sees of a load.
    std::uint32_t from_memory(std::uint32_t value) const {
        if (fault_.data_bit >= 0) {
            std::uint32_t bit = 1u << fault_.data_bit;
            value = fault_.data_level ? value | bit : value & ~bit;
        }
        value = replace_pair(value, fault_.short_a, fault_.short_b, fault_.short_or);
        if (fault_.open_bit >= 0) {
            std::uint32_t bit = 1u << fault_.open_bit;
            value = (value & ~bit) | (last_store_ & bit);
        }
        return value & width_mask();
    }

    std::uint32_t stored(std::uint32_t cell) const {
        auto it = cells_.find(cell);
        if (it != cells_.end())
            return it->second;
        return memory_ == memory::flash ? 0xFFFF : 0;
    }

    std::uint32_t chip_read(std::uint32_t cell) const {
        if (memory_ == memory::flash && autoselect_) {
            const std::uint32_t codes[] = {0x00C2, 0x227E};
            return (cell & 0xFF) < 2 ? codes[cell & 0xFF] : 0;
        }
        return stored(cell);
    }

    std::uint32_t load(std::uint32_t index) const {
        if (fault_.flash_dead)
            return 0xFFFF;
        return from_memory(chip_read(cell_index(index)));
    }

    // One store by the processor.
    void store(std::uint32_t index, std::uint32_t value) {
        last_store_ = value;
        const std::uint32_t cell = cell_index(index), data = to_memory(value);
        if (memory_ != memory::flash)
            cells_[cell] = data;
        else if (!fault_.flash_dead && !fault_.flash_commands_lost)
            chip_write(cell, data);
    }

    void chip_write(std::uint32_t cell, std::uint32_t data) {
        const std::uint32_t a = cell & 0x7FF, command = data & 0xFF;
        if (step_ == step::program) {
            cells_[cell] = stored(cell) & data; // programming only clears bits
            step_ = step::idle;
            return;
        }
        if (command == 0xF0) {
            step_ = step::idle;
            autoselect_ = false;
            return;
        }
        const step now = step_;
        step_ = step::idle;
        switch (now) {
        case step::idle:
            if (a == UNLOCK1 && command == 0xAA)
                step_ = step::unlocked1;
            break;
        case step::unlocked1:
            if (a == UNLOCK2 && command == 0x55)
                step_ = step::unlocked2;
            break;
        case step::unlocked2:
            if (a != UNLOCK1)
                break;
            if (command == 0x90)
                autoselect_ = true;
            else if (command == 0xA0)
                step_ = step::program;
            else if (command == 0x80)
                step_ = step::erase1;
            break;
        case step::erase1:
            if (a == UNLOCK1 && command == 0xAA)
                step_ = step::erase2;
            break;
        case step::erase2:
            if (a == UNLOCK2 && command == 0x55)
                step_ = step::erase3;
            break;
        case step::erase3:
            if (command == 0x30)
                for (auto it = cells_.begin(); it != cells_.end();)
                    it = it->first / SECTOR_WORDS == cell / SECTOR_WORDS ? cells_.erase(it)
                                                                         : std::next(it);
            break;
        case step::program:
            break;
        }
    }

    void unlock(std::uint32_t sector) {
        store(sector + UNLOCK1, 0xAA);
        store(sector + UNLOCK2, 0x55);
    }

    // DQ7 reads the complement of the data's bit 7 until the chip is done;
    // the model's chip is done at once.
    void poll(std::uint32_t index, std::uint32_t dq7) {
        if ((load(index) & 0x80) != dq7) {
            line(" T%x", base() + index * 2);
            throw timed_out_error{};
        }
    }

    // The write operation: a plain store for RAM, the program command and
    // its DQ7 poll for the FLASH.
    void write(std::uint32_t index, std::uint32_t value) {
        if (memory_ != memory::flash) {
            store(index, value);
            return;
        }
        const std::uint32_t sector = index & ~(SECTOR_WORDS - 1);
        unlock(sector);
        store(sector + UNLOCK1, 0xA0);
        store(index, value);
        poll(index, value & 0x80);
        store(sector, 0xF0);
    }

    // Whether every word of the sector loads as erased. Nothing is stored
    // during the check, so only the programmed cells can read otherwise: a
    // word reaches cell c when it is c with some of the faulty bits changed.
    bool sector_blank(std::uint32_t first) const {
        if (fault_.flash_dead)
            return true;
        if (from_memory(0xFFFF) != 0xFFFF)
            return false;
        const std::uint32_t bits = address_fault_bits();
        for (const auto& [cell, value] : cells_) {
            if (from_memory(value) == 0xFFFF)
                continue;
            for (std::uint32_t sub = bits;; sub = (sub - 1) & bits) {
                const std::uint32_t word = cell ^ sub;
                if (word / SECTOR_WORDS == first / SECTOR_WORDS && cell_index(word) == cell)
                    return false;
                if (sub == 0)
                    break;
            }
        }
        return true;
    }

    void erase_sector(std::uint32_t address) {
        const std::uint32_t sector = ((address - base()) / 2) & ~(SECTOR_WORDS - 1);
        if (sector_blank(sector))
            return;
        line(" E%x", base() + sector * 2);
        store(sector, 0xF0);
        unlock(sector);
        store(sector + UNLOCK1, 0x80);
        unlock(sector);
        store(sector, 0x30);
        poll(sector, 0x80);
        store(sector, 0xF0);
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
        unlock(0);
        store(UNLOCK1, 0x90);
        std::uint32_t manufacturer = load(0);
        if (manufacturer != 0x0001 && manufacturer != 0x00C2)
            result = 1;
        line("M%x", manufacturer);
        std::uint32_t device = load(1);
        if (device != 0x227E)
            result = 2;
        line("D%x", device);
        store(0, 0xF0);
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
        } catch (const timed_out_error&) {
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
    enum class step { idle, unlocked1, unlocked2, erase1, erase2, erase3, program };

    memory memory_;
    memory_fault fault_;
    std::map<std::uint32_t, std::uint32_t> cells_;
    std::uint32_t last_store_ = 0;
    step step_ = step::idle;
    bool autoselect_ = false;
};

} // namespace

trace_run run_memory_test(memory tested, const memory_fault& fault) {
    monitor_model board(tested, fault);
    trace_run run;
    run.code = board.run();
    run.trace = board.trace;
    return run;
}

} // namespace korvin::test
