// The board's devices behind its memory map, by the chip's addresses, without the core: the
// registers the image sets up, the SRAM's window, the faults on the memories' lines, and the
// accesses the board does not have.
#include "bench.h"
#include "sim/faults.h"
#include "sim/sram.h"

#include <gtest/gtest.h>

namespace korvin::test {
namespace {

TEST(BoardDevices, RecordedRegistersReadBack) {
    board_bench b;
    const std::vector<access> regs = {{32, 0x10000000, 0x20040304}, {32, 0x10020000, 0},
                                      {32, 0x10000004, 0xDFFBFCFB}, {32, 0x10020004, 0xFFFFFFFF},
                                      {32, 0x10027000, 0x33F08107}, {32, ESDCFG0, 0x006AC73A},
                                      {32, CS1A, 0x01000080}};
    b.store(regs);
    for (const auto& r : regs)
        EXPECT_EQ(b.load(32, r.address), r.value) << std::hex << r.address;
    EXPECT_EQ(b.fault(), "");
}

TEST(BoardDevices, SramIs256KilobytesRepeatingThroughItsWindow) {
    board_bench b;
    b.store(concat({CS1_SETUP, {{16, SRAM + 0x3FFFE, 0xBEEF}, {16, SRAM, 0x1111}}}));
    EXPECT_EQ(b.load(16, SRAM + 0x3FFFE), 0xBEEFu);
    EXPECT_EQ(b.load(16, SRAM + 0x40000), 0x1111u);
    EXPECT_EQ(b.load(16, SRAM + 0xFFFFFE), 0xBEEFu);
}

TEST(BoardDevices, StuckDataLinesShowOnLoads) {
    const struct {
        std::string fault;
        std::vector<access> setup;
        unsigned bits;
        uint32_t address;
        uint32_t written, read; // written at `address`, read back there
    } cases[] = {
        {"sdram:d3=0", SDRAM_STARTUP, 32, SDRAM + 0x40, 0xFFFFFFFF, 0xFFFFFFF7},
        {"sdram:d31=1", SDRAM_STARTUP, 32, SDRAM + 0x40, 0, 0x80000000},
        {"sdram:d9=1", SDRAM_STARTUP, 8, SDRAM + 0x41, 0, 0x02}, // byte lane 1
        {"flash:d5=0", CS0_SETUP, 16, FLASH + 0x40, 0xFFFF, 0xFFDF},
        {"flash:d12=1", CS0_SETUP, 16, FLASH + 0x40, 0x0000, 0x1000},
        {"sram:d0=0", CS1_SETUP, 16, SRAM + 0x40, 0xFFFF, 0xFFFE},
        {"sram:d15=1", CS1_SETUP, 16, SRAM + 0x40, 0, 0x8000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        board_bench b({c.fault});
        b.store(c.setup);
        if (c.address >= FLASH && c.address < SRAM) {
            if (c.written != 0xFFFF)
                b.store(concat(
                    {flash_program(c.address, static_cast<uint16_t>(c.written)), FLASH_RESET}));
        } else
            b.store({{c.bits, c.address, c.written}});
        EXPECT_EQ(b.load(c.bits, c.address), c.read);
    }
}

TEST(BoardDevices, StuckAddressLinesAliasWords) {
    // Word-index bit 5 stuck: the word at index 0 and the one at index 32 are one cell.
    const struct {
        std::string fault;
        std::vector<access> setup;
        uint32_t base;
        unsigned bits, unit;
    } cases[] = {
        {"sdram:a5=1", SDRAM_STARTUP, SDRAM, 32, 4},
        {"sdram:a5=0", SDRAM_STARTUP, SDRAM, 32, 4},
        {"sram:a5=1", CS1_SETUP, SRAM, 16, 2},
        {"sram:a5=0", CS1_SETUP, SRAM, 16, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        board_bench b({c.fault});
        b.store(
            concat({c.setup, {{c.bits, c.base, 0x0101}, {c.bits, c.base + 32 * c.unit, 0x0202}}}));
        EXPECT_EQ(b.load(c.bits, c.base), 0x0202u);
        EXPECT_EQ(b.load(c.bits, c.base + 4 * c.unit), b.load(c.bits, c.base + 36 * c.unit));
    }
}

TEST(BoardDevices, ShortedAndOpenLinesThroughTheMap) {
    constexpr uint32_t R = SRAM + 0x40;
    const struct {
        std::string fault;
        std::vector<access> stores; // after the set-up
        uint32_t address, loaded;   // 16-bit, unless in the SDRAM
    } cases[] = {
        {"sram:d14~d15=and", {{16, R, 0x8000}}, R, 0},
        {"sram:d0~d1=or", {{16, R, 1}}, R, 3},
        {"sram:d0=open", {{16, R, 0}, {16, R + 2, 1}}, R, 1},
        {"sram:d0=open", {{16, R, 0xFFFF}, {16, R + 2, 0}}, R, 0xFFFE},
        {"sram:a4~a5=and", {{16, SRAM + 0x20, 0x3333}}, SRAM, 0x3333},
        {"sram:a0~a16=or", {{16, SRAM + 2, 0x4444}}, SRAM + 0x20002, 0x4444},
        {"sdram:a4~a5=or", {{32, SDRAM + 0x40, 0x2222}}, SDRAM + 0xC0, 0x2222},
        // Above the command cycles' A10..A0: the program passes and lands on word 0x3000.
        {"flash:a12~a13=or", flash_program(FLASH + 0x2000, 0x5555), FLASH + 0x6000, 0x5555},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fault << ", " << c.stores.size() << " stores");
        board_bench b({c.fault});
        b.store(concat({SDRAM_STARTUP, CS0_SETUP, CS1_SETUP, c.stores}));
        EXPECT_EQ(b.load(c.address < FLASH ? 32 : 16, c.address), c.loaded);
        EXPECT_EQ(b.fault(), "");
    }
}

TEST(BoardDevices, OpenSramLineIsHighAtTheChip) {
    sim::fault_set faults;
    std::string error;
    ASSERT_TRUE(sim::parse_fault("sram:d9=open", faults, error));
    sim::sram chip(faults.sram);
    EXPECT_EQ(chip.read(0x40, 2) & 0x200, 0x200u) << "high before any store";
    chip.write(0x40, 2, 0);
    EXPECT_EQ(chip.cells()[0x20], 0x200u);
    EXPECT_EQ(chip.read(0x40, 2), 0u);
}

TEST(BoardDevices, AccessesTheBoardDoesNotHaveAreRefusedWithTheReason) {
    const struct {
        std::vector<access> setup;
        unsigned bits;
        bool write;
        uint32_t address;
        const char* why;
    } cases[] = {
        {CS0_SETUP, 8, true, FLASH + 0x10, "the FLASH is a 16-bit device"},
        {CS0_SETUP, 16, true, FLASH + 0x11, "unaligned 16-bit access"},
        {CS1_SETUP, 32, false, SRAM, "the SRAM is a 16-bit device"},
        {{}, 32, false, SRAM + 0x20, "the SRAM is a 16-bit device"}, // chip select closed
        {{}, 16, false, ESDCTL0, "the SDRAM controller takes 32-bit accesses only"},
        {{}, 32, false, 0xD8001008, "no SDRAM controller register at offset 0x8"},
        {{}, 32, true, 0xD8002020, "no WEIM register at offset 0x20"},
        {{}, 16, false, CS0L, "WEIM CS0L takes 32-bit accesses only"},
        {{}, 32, false, 0x1000A080, "not a UART1 register the monitor may use (URXD, UTXD, UTS)"},
        {{}, 32, true, 0x1000A000, "URXD is read-only"},
        {{}, 32, false, 0x1000A040, "UTXD is write-only"},
        {{},
         32,
         true,
         0x1000A0B4,
         "UTS is only read: writing it would change the UART's test modes"},
        {{}, 8, false, 0x1000A0B4, "UART1 registers take 32-bit accesses only"},
        {{}, 32, true, 0x10000008, "no AIPI1 register at offset 0x8"},
        {{}, 16, true, 0x10020004, "AIPI2 PSR1 takes 32-bit accesses only"},
        {{}, 32, false, 0x10027004, "no clock module register at offset 0x4"},
        {{}, 32, false, 0x20000000, "no memory or device at this address"},
        {{}, 32, true, 0xA2000000, "no memory or device at this address"},
        {CS0_SETUP, 16, false, 0xC1000000, "no memory or device at this address"},
    };
    for (const auto& c : cases) {
        board_bench b;
        b.store(c.setup);
        if (c.write)
            b.store({{c.bits, c.address, 0}});
        else
            b.load(c.bits, c.address);
        char want[256];
        std::snprintf(want, sizeof want, "korvin-sim: %u-bit %s of 0x%08x at pc 0x00000000: %s",
                      c.bits, c.write ? "write" : "read", c.address, c.why);
        EXPECT_EQ(b.fault(), want);
    }
}

} // namespace
} // namespace korvin::test
