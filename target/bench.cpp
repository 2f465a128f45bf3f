// The bench commands. Every address is checked against the board's memory
// windows before it is touched: the image installs no exception vectors, so
// an access where nothing answers would end in a data abort, not an answer.
#include "bench.h"

#include "bench_flash.h"
#include "console.h"
#include "imx27.h"
#include "mmio.h"
#include "setup.h"

namespace {

// The board's memory windows and the access widths their buses take (bit w
// set: width w bytes); the WEIM's chips are 16-bit ports, and only the SRAM
// has byte enables (UB#, LB#). Kept in code, not in a table, so that the
// image's constants stay in its literal pools.
constexpr uint32_t ANY_WIDTH = (1u << 1) | (1u << 2) | (1u << 4);
constexpr uint32_t HALF_WORDS = 1u << 2;
constexpr uint32_t BYTES_AND_HALF_WORDS = (1u << 1) | (1u << 2);
constexpr uint32_t SDRAM_SIZE = 0x2000000;
constexpr uint32_t FLASH_SIZE = 0x1000000;
constexpr uint32_t FLASH_SECTOR = 0x20000;
constexpr uint32_t SRAM_SIZE = 0x40000;
constexpr uint32_t IRAM_BASE = 0xFFFF4C00;

// Findings a test sends at most; the result says when there were more.
constexpr uint32_t MAX_FINDINGS = 32;

// The arguments, fixed-length hexadecimal in either case; a bad digit is
// remembered and the rest still read, so the host and board stay in step.
struct arguments {
    uint32_t bad = 0;
    uint32_t hex(uint32_t digits) {
        uint32_t v = 0;
        for (; digits != 0; --digits) {
            uint32_t c = console_getc();
            uint32_t d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
                d = (c | 0x20) - 'a' + 10;
            else {
                bad = 1;
                d = 0;
            }
            v = (v << 4) | d;
        }
        return v;
    }
};

uint32_t load(uint32_t address, uint32_t width) {
    if (width == 4)
        return read32(address);
    return width == 2 ? read16(address) : read8(address);
}

void store(uint32_t address, uint32_t width, uint32_t value) {
    if (width == 4)
        write32(address, value);
    else if (width == 2)
        write16(address, value);
    else
        write8(address, value);
}

uint32_t width_mask(uint32_t width) {
    return width == 4 ? 0xFFFFFFFF : (1u << (width * 8)) - 1;
}

// 0 when [address, address + length) lies in one window that takes the
// width (and is RAM when need_ram), else the code that says why not.
uint32_t check(uint32_t address, uint32_t length, uint32_t width, uint32_t need_ram) {
    if (width != 1 && width != 2 && width != 4)
        return BENCH_BAD_RANGE;
    uint32_t base = SDRAM_BASE, size = SDRAM_SIZE, widths = ANY_WIDTH, ram = 1;
    if (address - FLASH_BASE < FLASH_SIZE) {
        base = FLASH_BASE;
        size = FLASH_SIZE;
        widths = HALF_WORDS;
        ram = 0;
    } else if (address - SRAM_BASE < SRAM_SIZE) {
        base = SRAM_BASE;
        size = SRAM_SIZE;
        widths = BYTES_AND_HALF_WORDS;
    } else if (address >= IRAM_BASE) {
        base = IRAM_BASE;
        size = 0 - IRAM_BASE;
        ram = 0;
    } else if (address - SDRAM_BASE >= SDRAM_SIZE) {
        return BENCH_NO_MEMORY;
    }
    const uint32_t offset = address - base;
    if (!(widths & (1u << width)))
        return BENCH_WRONG_WIDTH;
    if (address & (width - 1))
        return BENCH_UNALIGNED;
    if (length == 0 || (length & (width - 1)) || length > size - offset)
        return BENCH_BAD_RANGE;
    if (need_ram && !ram)
        return BENCH_NOT_RAM;
    return BENCH_DONE;
}

struct findings {
    uint32_t count = 0;
    // Starts a finding line with its letter; false once the limit is reached.
    bool open(uint32_t letter) {
        if (++count > MAX_FINDINGS)
            return false;
        console_putc(letter);
        return true;
    }
    uint32_t result() const {
        if (count == 0)
            return BENCH_DONE;
        return count > MAX_FINDINGS ? BENCH_FOUND_MORE : BENCH_FOUND;
    }
};

// " address expected read" and the line end.
void finding_tail(uint32_t address, uint32_t expected, uint32_t got) {
    console_putc(' ');
    bench_put_fixed(address, 8);
    console_putc(' ');
    bench_put_fixed(expected, 8);
    console_putc(' ');
    bench_put_fixed(got, 8);
    console_end_line();
}

// March C-: {any(w0); up(r0,w1); up(r1,w0); down(r0,w1); down(r1,w0); any(r0)}
// with 0 and all ones as the data. Finds stuck cells, transition faults,
// coupling between words and address-decoder faults in 10 accesses a unit.
uint32_t march(uint32_t base, uint32_t length, uint32_t width) {
    const uint32_t ones = width_mask(width);
    const uint32_t last = base + length - width;
    findings found;
    for (uint32_t a = base; a <= last && a >= base; a += width)
        store(a, width, 0);
    // Elements 1 to 4: read `expect`, write its complement.
    for (uint32_t element = 1; element <= 4; ++element) {
        const uint32_t expect = (element & 1) ? 0 : ones;
        const uint32_t down = element >= 3;
        uint32_t a = down ? last : base;
        // The width is 1, 2 or 4 bytes: width >> 1 is its log2.
        for (uint32_t n = length >> (width >> 1); n != 0; --n) {
            uint32_t got = load(a, width);
            if (got != expect && found.open('F')) {
                console_putc('0' + element);
                finding_tail(a, expect, got);
            }
            store(a, width, expect ^ ones);
            a = down ? a - width : a + width;
        }
    }
    for (uint32_t a = base; a <= last && a >= base; a += width) {
        uint32_t got = load(a, width);
        if (got != 0 && found.open('F')) {
            console_putc('5');
            finding_tail(a, 0, got);
        }
    }
    return found.result();
}

// Each narrower store into one unit (an SDRAM word, an SRAM halfword) must
// change its own lanes and no other: a data mask or byte enable stuck active
// lets a narrow store write a lane it does not address (the core drives the
// data on every lane).
uint32_t lane_test(uint32_t unit, uint32_t unit_width) {
    findings found;
    const uint32_t all = width_mask(unit_width);
    for (uint32_t width = 1; width < unit_width; width <<= 1) {
        for (uint32_t offset = 0; offset < unit_width; offset += width) {
            const uint32_t lanes = width_mask(width) << (offset * 8);
            for (uint32_t k = 0; k < 2; ++k) {
                const uint32_t background = k ? all : 0;
                const uint32_t data = (background ? 0x3C5A3C5A : 0xC3A5C3A5) & all;
                store(unit, unit_width, background);
                store(unit + offset, width, data >> (offset * 8));
                const uint32_t expected = (background & ~lanes) | (data & lanes);
                const uint32_t got = load(unit, unit_width);
                if (got != expected && found.open('L')) {
                    console_putc('0' + width);
                    console_putc('0' + offset);
                    finding_tail(unit, expected, got);
                }
            }
        }
    }
    return found.result();
}

// Which units of [base, base + length) disturb the unit `victim`: each is
// taken from 0 to all ones with the victim at 0, then back with the victim at
// all ones; a victim that changes names the unit.
uint32_t coupling_search(uint32_t victim, uint32_t base, uint32_t length, uint32_t width) {
    const uint32_t ones = width_mask(width);
    findings found;
    for (uint32_t a = base, n = length >> (width >> 1); n != 0; --n, a += width) {
        if (a == victim)
            continue;
        store(a, width, 0);
        store(victim, width, 0);
        store(a, width, ones);
        const uint32_t rose = load(victim, width);
        store(victim, width, ones);
        store(a, width, 0);
        const uint32_t fell = load(victim, width);
        if ((rose != 0 || fell != ones) && found.open('C')) {
            console_putc(' ');
            bench_put_fixed(a, 8);
            finding_tail(victim, rose, fell);
        }
    }
    return found.result();
}

void dump(uint32_t address, uint32_t length, uint32_t width) {
    for (uint32_t n = 0; n < length; n += width) {
        if (n != 0 && (n & 15) == 0)
            console_end_line();
        else if (n != 0)
            console_putc(' ');
        bench_put_fixed(load(address + n, width), width * 2);
    }
    console_end_line();
}

} // namespace

void bench_put_fixed(uint32_t v, uint32_t digits) {
    while (digits != 0) {
        --digits;
        uint32_t d = (v >> (digits * 4)) & 0xF;
        console_putc(d < 10 ? 0x30 + d : 0x57 + d);
    }
}

uint32_t bench_run(uint32_t command) {
    // Answers go out whether or not the trace is on.
    output_enabled = 1;
    arguments in;
    uint32_t width = 4, address = 0, length = 0, value = 0, victim = 0;
    switch (command) {
    case 'i':
        sdram_setup();
        flash_setup();
        sram_setup();
        return BENCH_DONE;
    case 'l':
        address = in.hex(8);
        break;
    case 'e':
    case 'p':
        width = 2;
        address = in.hex(8);
        length = in.hex(8);
        break;
    case 'c':
        width = in.hex(1);
        victim = in.hex(8);
        address = in.hex(8);
        length = in.hex(8);
        break;
    case 'r':
    case 'w':
    case 'd':
    case 'f':
    case 'm':
        width = in.hex(1);
        address = in.hex(8);
        length = command == 'r' || command == 'w' ? width : in.hex(8);
        if (command == 'w' || command == 'f')
            value = in.hex(8);
        break;
    default:
        return BENCH_DONE;
    }
    if (in.bad)
        return BENCH_BAD_RANGE;
    // The lane test's unit is the bus's width: an SRAM halfword, an SDRAM word.
    if (command == 'l')
        width = length = address - SRAM_BASE < SRAM_SIZE ? 2 : 4;
    const uint32_t need_ram = command == 'f' || command == 'm' || command == 'c' || command == 'l';
    uint32_t refused = check(address, length, width, need_ram);
    if (refused == BENCH_DONE && command == 'c')
        refused = check(victim, width, width, 1);
    // The FLASH's tests: in the chip, erase on whole sectors.
    if (refused == BENCH_DONE && (command == 'e' || command == 'p') &&
        (address - FLASH_BASE >= FLASH_SIZE ||
         (command == 'e' && ((address | length) & (FLASH_SECTOR - 1)))))
        refused = BENCH_BAD_RANGE;
    if (refused != BENCH_DONE)
        return refused;
    switch (command) {
    case 'r':
        bench_put_fixed(load(address, width), width * 2);
        console_end_line();
        break;
    case 'w':
        store(address, width, value);
        break;
    case 'd':
        dump(address, length, width);
        break;
    case 'f':
        for (uint32_t n = 0; n < length; n += width)
            store(address + n, width, value);
        break;
    case 'm':
        return march(address, length, width);
    case 'l':
        return lane_test(address, width);
    case 'c':
        return coupling_search(victim, address, length, width);
    case 'e':
        return bench_flash_erase(address, length);
    case 'p':
        return bench_flash_program(address, length);
    }
    return BENCH_DONE;
}
