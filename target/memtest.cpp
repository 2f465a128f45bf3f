#include "memtest.h"

#include "console.h"
#include "mmio.h"

// The 16- and 32-bit variants share one body each; `shift` is log2 of the
// unit size in bytes (1 or 2) and picks the load width.

uint32_t store16(uint32_t address, uint32_t value) {
    write16(address, value);
    return 1;
}

uint32_t store32(uint32_t address, uint32_t value) {
    write32(address, value);
    return 1;
}

static uint32_t load(uint32_t address, uint32_t shift) {
    return shift == 2 ? read32(address) : read16(address);
}

static void trace_header(uint32_t letter, uint32_t base) {
    console_putc(letter);
    console_put_hex(base);
}

static void trace_access(uint32_t offset, uint32_t letter, uint32_t value) {
    console_putc(' ');
    console_put_hex(offset);
    console_putc(letter);
    console_put_hex(value);
    console_end_line();
}

static void trace_mismatch(uint32_t value) {
    console_putc('*');
    console_putc('r');
    console_put_hex(value);
    console_end_line();
}

enum check_outcome : uint32_t { CHECK_PASSED, CHECK_FAILED, CHECK_ABORTED };

// One pattern check: value into unit `offset`, zero into the next unit, and
// `offset` loaded after each write, so a line that floats back to its last
// driven level shows up in the second load.
static uint32_t check_pattern(uint32_t base, uint32_t offset, uint32_t shift, uint32_t value,
                              write_op write) {
    uint32_t next = offset + (1u << shift);
    if (!write(base + offset, value))
        return CHECK_ABORTED;
    trace_access(offset, 'w', value);
    uint32_t a = load(base + offset, shift);
    trace_access(offset, 'r', a);
    if (!write(base + next, 0))
        return CHECK_ABORTED;
    trace_access(next, 'w', 0);
    uint32_t b = load(base + offset, shift);
    trace_access(offset, 'r', b);
    if (a != value || b != value) {
        trace_mismatch(value);
        return CHECK_FAILED;
    }
    return CHECK_PASSED;
}

static uint32_t test_data_bus(uint32_t base, write_op write, uint32_t shift) {
    uint32_t mask = shift == 2 ? 0xFFFFFFFF : 0xFFFF;
    trace_header('D', base);
    console_end_line();
    uint32_t result = 0;
    uint32_t offset = 0;
    // Walking ones, each followed by its complement, four fresh units a bit.
    for (uint32_t p = 1; p != 0; p = (p << 1) & mask) {
        uint32_t value = p;
        for (uint32_t k = 0; k < 2; ++k, value ^= mask) {
            uint32_t outcome = check_pattern(base, offset, shift, value, write);
            if (outcome == CHECK_ABORTED)
                return TEST_ABORTED;
            if (outcome == CHECK_FAILED)
                result = value;
            offset += 2u << shift;
        }
    }
    return result;
}

uint32_t test_data_bus16(uint32_t base, write_op write) {
    return test_data_bus(base, write, 1);
}
uint32_t test_data_bus32(uint32_t base, write_op write) {
    return test_data_bus(base, write, 2);
}

// Units 0 and 2^k (flip 0) or their complements within the mask (flip = mask),
// unit k+1 of the walk holding k+1. With `write`, writes the walk; without,
// loads it back and returns the address of the last unit that differs.
static uint32_t address_phase(uint32_t base, uint32_t shift, uint32_t units, uint32_t flip,
                              write_op write) {
    uint32_t result = 0;
    uint32_t i = 0;
    for (uint32_t p = 0; p < units; p = 1u << i, ++i) {
        uint32_t offset = (flip ^ p) << shift;
        if (write) {
            if (!write(base + offset, i))
                return TEST_ABORTED;
            trace_access(offset, 'w', i);
        } else {
            uint32_t v = load(base + offset, shift);
            trace_access(offset, 'r', v);
            if (v != i) {
                result = base + offset;
                trace_mismatch(v);
            }
        }
    }
    return result;
}

static uint32_t test_address_lines(uint32_t base, uint32_t size, write_op write, uint32_t shift) {
    uint32_t units = size >> shift;
    trace_header('A', base);
    console_putc(' ');
    console_put_hex(size);
    console_end_line();
    uint32_t result = 0;
    // Low walk first, then the complement walk; the two touch disjoint units.
    for (uint32_t pass = 0; pass < 2; ++pass) {
        uint32_t flip = pass ? units - 1 : 0;
        if (address_phase(base, shift, units, flip, write) == TEST_ABORTED)
            return TEST_ABORTED;
        uint32_t failed = address_phase(base, shift, units, flip, nullptr);
        if (failed != 0)
            result = failed;
    }
    return result;
}

uint32_t test_address_lines16(uint32_t base, uint32_t size, write_op write) {
    return test_address_lines(base, size, write, 1);
}
uint32_t test_address_lines32(uint32_t base, uint32_t size, write_op write) {
    return test_address_lines(base, size, write, 2);
}
