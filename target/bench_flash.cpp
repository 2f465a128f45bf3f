#include "bench_flash.h"

#include "bench.h"
#include "console.h"
#include "flash_chip.h"
#include "imx27.h"
#include "mmio.h"

namespace {

constexpr uint32_t DQ6 = 0x40;
constexpr uint32_t DQ5 = 0x20;
constexpr uint32_t MAX_FINDINGS = 32;

void unlock(uint32_t sector) {
    write16(sector + UNLOCK1, 0x00AA);
    write16(sector + UNLOCK2, 0x0055);
}

// Done when DQ7 reads the data's bit 7, when DQ6 stops toggling (the chip is
// back in read mode), or when DQ5 says the chip gave up: a cell that will not
// program or erase fails the chip's own verify, and the chip then keeps
// showing status until the reset command that follows every poll. Either way
// the word is then what the operation left, right or wrong, and the
// read-back names a bad one. 0, after a "T address" line, when it never is.
uint32_t poll(uint32_t address, uint32_t dq7, uint32_t passes) {
    uint32_t last = read16(address);
    for (uint32_t n = passes; n != 0; --n) {
        const uint32_t now = read16(address);
        if ((now & DQ7) == dq7 || !((now ^ last) & DQ6) || (now & DQ5))
            return 1;
        last = now;
    }
    console_putc('T');
    console_putc(' ');
    bench_put_fixed(address, 8);
    console_end_line();
    return 0;
}

struct findings {
    uint32_t count = 0;
    void add(uint32_t letter, uint32_t address, uint32_t expected, uint32_t got,
             bool with_expected) {
        if (++count > MAX_FINDINGS)
            return;
        console_putc(letter);
        console_putc(' ');
        bench_put_fixed(address, 8);
        if (with_expected) {
            console_putc(' ');
            bench_put_fixed(expected, 4);
        }
        console_putc(' ');
        bench_put_fixed(got, 4);
        console_end_line();
    }
    uint32_t result() const {
        if (count == 0)
            return BENCH_DONE;
        return count > MAX_FINDINGS ? BENCH_FOUND_MORE : BENCH_FOUND;
    }
};

uint32_t pattern(uint32_t address) {
    const uint32_t index = (address - FLASH_BASE) >> 1;
    return (index ^ (index >> 16)) & 0xFFFF;
}

} // namespace

uint32_t bench_flash_erase(uint32_t address, uint32_t length) {
    findings found;
    for (uint32_t sector = address; sector - address < length; sector += SECTOR_SIZE) {
        write16(sector, 0x00F0);
        unlock(sector);
        write16(sector + UNLOCK1, 0x0080);
        unlock(sector);
        write16(sector, 0x0030);
        const uint32_t done = poll(sector, DQ7, ERASE_POLL_PASSES);
        write16(sector, 0x00F0);
        if (!done)
            return BENCH_NO_FINISH;
        for (uint32_t a = sector; a - sector < SECTOR_SIZE; a += 2) {
            const uint32_t got = read16(a);
            if (got != ERASED)
                found.add('B', a, ERASED, got, false);
        }
    }
    return found.result();
}

uint32_t bench_flash_program(uint32_t address, uint32_t length) {
    for (uint32_t a = address; a - address < length; a += 2) {
        const uint32_t sector = a & SECTOR_MASK;
        const uint32_t value = pattern(a);
        unlock(sector);
        write16(sector + UNLOCK1, 0x00A0);
        write16(a, value);
        const uint32_t done = poll(a, value & DQ7, PROGRAM_POLL_PASSES);
        write16(sector, 0x00F0);
        if (!done)
            return BENCH_NO_FINISH;
    }
    // Read back once all are programmed: a program that reached another word
    // (an address fault) shows there too.
    findings found;
    for (uint32_t a = address; a - address < length; a += 2) {
        const uint32_t got = read16(a);
        if (got != pattern(a))
            found.add('P', a, pattern(a), got, true);
    }
    return found.result();
}
