// Faults on the nets of a schematic against direct accesses: the SDRAM's multiplexed address
// and bank pins, its byte masks and control lines, the WEIM chips' control lines and byte
// enables. Each row says what the chips' own facts make of it.
#include "bench.h"

#include <gtest/gtest.h>

namespace korvin::test {
namespace {

// What a load there returned before the stores: the stores never reached the chip.
constexpr uint32_t UNCHANGED = 0xDEAD0001;
// What a good chip answers, sampled twice: the loads return no stored value and differ.
constexpr uint32_t UNDEFINED = 0xDEAD0002;

constexpr uint32_t F = FLASH + 0x40, R = SRAM + 0x40, R2 = SRAM + 0x80;

TEST(PinFaults, EachKindAgainstDirectAccesses) {
    const struct {
        const char* fault;
        std::vector<access> stores; // after every chip's set-up
        unsigned bits;
        uint32_t address, loaded;
    } cases[] = {
        // A stuck address pin corrupts a row bit and a column bit at once: word 0 goes to row
        // 8, column 8, byte 0x4020 (12 rows over 9 columns of 32-bit words).
        {"sdram:ma3=1", {{32, SDRAM, 0x11111111}}, 32, SDRAM + 0x4020, 0x11111111},
        {"sdram:ma3=open", {{32, SDRAM, 0x11111111}}, 32, SDRAM + 0x4020, 0x11111111},
        {"sdram:ma3=0", {{32, SDRAM + 0x4020, 0x22222222}}, 32, SDRAM, 0x22222222},
        // MA9 carries a row bit only (the columns end at A8); MA10 a row bit and, in a read
        // or write, auto-precharge.
        {"sdram:ma9=1", {{32, SDRAM, 0x33333333}}, 32, SDRAM + 0x100000, 0x33333333},
        {"sdram:ma10=1", {{32, SDRAM, 0x44444444}}, 32, SDRAM + 0x200000, 0x44444444},
        {"sdram:ma4~ma5=and", {{32, SDRAM + 0x40, 0x55555555}}, 32, SDRAM, 0x55555555},
        {"sdram:ba0=0", {{32, SDRAM + 0x800000, 0x66666666}}, 32, SDRAM, 0x66666666},
        // The row's BA1 carries MA11 as well, the column's does not: the column command goes
        // to a bank left idle, and a load there reads what the bus last held.
        {"sdram:ba1~ma11=or",
         {{32, SDRAM + 0x400000, 0x77777777}, {32, SDRAM + 0x40, 0x88888888}},
         32,
         SDRAM + 0x400000,
         0x88888888},
        // The start-up's commands through the faults: no precharge of all banks (A10 low), the
        // extended mode register load reaching the mode register (BA1 low), a CAS latency of 2
        // or 7 (A4 low, A6 high) where the controller reads at 3.
        {"sdram:ma10=0", {{32, SDRAM, 0x99999999}}, 32, SDRAM, UNDEFINED},
        {"sdram:ba1=0", {{32, SDRAM, 0x99999999}}, 32, SDRAM, UNDEFINED},
        {"sdram:ma4=0", {{32, SDRAM, 0x99999999}}, 32, SDRAM, UNDEFINED},
        {"sdram:ma6=1", {{32, SDRAM, 0x99999999}}, 32, SDRAM, UNDEFINED},
        // A masked lane is never written and, its drivers off, reads what the bus held.
        {"sdram:dqm2=1", {{32, SDRAM, 0x11223344}, {32, SDRAM + 4, 0}}, 32, SDRAM, 0x11003344},
        {"sdram:dqm2=open",
         {{32, SDRAM, 0x11223344}, {32, SDRAM + 4, 0xAA55AA55}},
         32,
         SDRAM,
         0x11553344},
        // A lane always enabled takes a byte store to another lane, which the core drives on
        // every lane.
        {"sdram:dqm2=0",
         {{32, SDRAM, 0x11223344}, {32, SDRAM + 4, 0xAABBCCDD}, {8, SDRAM, 0x55}},
         32,
         SDRAM,
         0x11553355},
        // The chips deaf: deselected, a stuck RAS#, CAS# or WE#, no clock.
        {"sdram:cs=1", {{32, SDRAM, 1}, {32, SDRAM + 4, 2}}, 32, SDRAM, 2},
        {"sdram:ras=0", {{32, SDRAM, 1}, {32, SDRAM + 4, 2}}, 32, SDRAM, 2},
        {"sdram:we=open", {{32, SDRAM, 1}, {32, SDRAM + 4, 2}}, 32, SDRAM, 2},
        {"sdram:cke=0", {{32, SDRAM, 1}, {32, SDRAM + 4, 2}}, 32, SDRAM, 2},
        // Selected for good, clock enabled for good: what the controller drives anyway.
        {"sdram:cs=0", {{32, SDRAM, 1}, {32, SDRAM + 4, 2}}, 32, SDRAM, 1},
        {"sdram:cke=1", {{32, SDRAM, 1}, {32, SDRAM + 4, 2}}, 32, SDRAM, 1},

        // The SRAM writes while WE# is low, drives while OE# is low and WE# high.
        {"sram:we=1", {{16, R, 0x1234}}, 16, R, UNCHANGED},
        {"sram:we=0", {{16, R, 0x1234}, {16, R2, 0x5678}}, 16, R, 0x5678},
        {"sram:oe=1", {{16, R, 0x1234}, {16, R2, 0x5678}}, 16, R, 0x5678},
        {"sram:cs=open", {{16, R, 0x1234}, {16, R2, 0x5678}}, 16, R, 0x5678},
        {"sram:oe=0", {{16, R, 0x1234}, {16, R2, 0x5678}}, 16, R, 0x1234},
        {"sram:cs=0", {{16, R, 0x1234}, {16, R2, 0x5678}}, 16, R, 0x1234},
        {"sram:eb1=1", {{16, R, 0x1234}, {16, R2, 0x5678}}, 16, R, 0x5634},
        {"sram:eb0=open", {{16, R, 0x1234}, {16, R2, 0x5678}}, 16, R, 0x1278},
        {"sram:eb0=0", {{16, R, 0x1234}, {16, R2, 0x5678}}, 16, R, 0x1234},
        // The FLASH takes a write only with OE# high; the chip here starts erased.
        {"flash:we=1", concat({flash_program(F, 0x1234), FLASH_RESET}), 16, F, 0xFFFF},
        {"flash:oe=0", concat({flash_program(F, 0x1234), FLASH_RESET}), 16, F, 0xFFFF},
        {"flash:oe=1", concat({flash_program(F, 0x1234), FLASH_RESET}), 16, F, 0x00F0},
        {"flash:we=0", concat({flash_program(F, 0x1234), FLASH_RESET}), 16, F, 0x00F0},
        {"flash:cs=1", concat({flash_program(F, 0x1234), FLASH_RESET}), 16, F, 0x00F0},
        {"flash:cs=0", concat({flash_program(F, 0x1234), FLASH_RESET}), 16, F, 0x1234},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        board_bench b({c.fault});
        b.store(concat({SDRAM_STARTUP, CS0_SETUP, CS1_SETUP}));
        const uint32_t before = b.load(c.bits, c.address);
        b.store(c.stores);
        const uint32_t loaded = b.load(c.bits, c.address);
        if (c.loaded == UNCHANGED) {
            EXPECT_EQ(loaded, before);
        } else if (c.loaded == UNDEFINED) {
            EXPECT_NE(loaded, c.stores.back().value);
            EXPECT_NE(b.load(c.bits, c.address), loaded);
        } else {
            EXPECT_EQ(loaded, c.loaded);
        }
        EXPECT_EQ(b.fault(), "");
    }
}

} // namespace
} // namespace korvin::test
