#include "console.h"
#include "flash_chip.h"
#include "imx27.h"
#include "memtest.h"
#include "mmio.h"
#include "setup.h"
#include "tests.h"

constexpr uint32_t FLASH_SIZE = 0x1000000;
// Words in the chip minus one; must stay (FLASH_SIZE / 2) - 1.
constexpr uint32_t FLASH_WORD_MASK = 0x7FFFFF;
constexpr uint32_t FLASH_NO_RESPONSE = 5;

static void send_line(uint32_t letter, uint32_t address) {
    console_putc(' ');
    console_putc(letter);
    console_put_hex(address);
    console_end_line();
}

// Data polling: DQ7 reads the complement of the final data bit until the
// chip is done. Returns 0, after a " T<address>" line, when it never is.
static uint32_t flash_poll(uint32_t address, uint32_t dq7, uint32_t passes) {
    for (uint32_t n = passes; n != 0; --n) {
        if ((read16(address) & DQ7) == dq7)
            return 1;
    }
    send_line('T', address);
    return 0;
}

static void flash_unlock(uint32_t sector) {
    write16(sector + UNLOCK1, 0x00AA);
    write16(sector + UNLOCK2, 0x0055);
}

static uint32_t flash_program_word(uint32_t address, uint32_t value) {
    uint32_t sector = address & SECTOR_MASK;
    flash_unlock(sector);
    write16(sector + UNLOCK1, 0x00A0);
    write16(address, value);
    uint32_t done = flash_poll(address, value & DQ7, PROGRAM_POLL_PASSES);
    write16(sector, 0x00F0);
    return done;
}

// Erases the sector holding `address` unless it already reads blank.
// Returns 0 when the chip never finished the erase.
static uint32_t flash_erase_sector(uint32_t address) {
    uint32_t sector = address & SECTOR_MASK;
    uint32_t word = sector;
    while (read16(word) == ERASED) {
        word += 2;
        if (word == sector + SECTOR_SIZE)
            return 1;
    }
    send_line('E', sector);
    write16(sector, 0x00F0);
    flash_unlock(sector);
    write16(sector + UNLOCK1, 0x0080);
    flash_unlock(sector);
    write16(sector, 0x0030);
    uint32_t done = flash_poll(sector, DQ7, ERASE_POLL_PASSES);
    write16(sector, 0x00F0);
    return done;
}

static void id_line(uint32_t letter, uint32_t code) {
    console_putc(letter);
    console_put_hex(code);
    console_end_line();
}

uint32_t flash_test() {
    uint32_t result = 0;
    flash_setup();

    flash_unlock(FLASH_BASE);
    write16(FLASH_BASE + UNLOCK1, 0x0090);
    uint32_t maker = read16(FLASH_BASE);
    if (maker != 0x0001 && maker != 0x00C2)
        result = 1;
    id_line('M', maker);
    uint32_t device = read16(FLASH_BASE + 2);
    if (device != 0x227E)
        result = 2;
    id_line('D', device);
    write16(FLASH_BASE, 0x00F0);

    // Every word a test programs must lie in a sector erased since it was
    // last programmed: sector 0 for the data bus, then the sectors of the
    // address test's units 2^k and MASK & ~2^k.
    if (!flash_erase_sector(FLASH_BASE))
        return FLASH_NO_RESPONSE;
    uint32_t failed = test_data_bus16(FLASH_BASE, flash_program_word);
    if (failed == TEST_ABORTED)
        return FLASH_NO_RESPONSE;
    if (failed != 0)
        result = 3;
    for (uint32_t p = 1; p & FLASH_WORD_MASK; p <<= 1) {
        if (!flash_erase_sector(FLASH_BASE + 2 * p))
            return FLASH_NO_RESPONSE;
    }
    for (uint32_t p = 1; p & FLASH_WORD_MASK; p <<= 1) {
        if (!flash_erase_sector(FLASH_BASE + 2 * (FLASH_WORD_MASK & ~p)))
            return FLASH_NO_RESPONSE;
    }
    failed = test_address_lines16(FLASH_BASE, FLASH_SIZE, flash_program_word);
    if (failed == TEST_ABORTED)
        return FLASH_NO_RESPONSE;
    if (failed != 0)
        result = 4;
    return result;
}
