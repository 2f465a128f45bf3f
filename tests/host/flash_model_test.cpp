// The FLASH probe's line faults: which command cycles a fault lets through, and how.
#include "flash_model.h"

#include <gtest/gtest.h>

using namespace korvin;

TEST(FlashModel, CorrectsACommandCycleOnlyWhereTheFaultLetsItThrough) {
    // Word 0x555 has index bits 0, 2, 4, 6, 8 and 10 set; 0x2AA bits 1, 3, 5, 7 and 9.
    const struct {
        const char* name;
        flash_hypothesis h;
        std::uint32_t index;
        bool reachable;
        std::uint32_t sent;
    } addresses[] = {
        {"bit 3 stuck high", {flash_fault::stuck_address, 3, 1}, 0x555, false, 0},
        {"bit 3 stuck high, at 0x2AA", {flash_fault::stuck_address, 3, 1}, 0x2AA, true, 0x2AA},
        {"bits 1 and 2 wired-AND", {flash_fault::address_short, 1, 0, 2}, 0x2AA, false, 0},
        {"bits 2 and 12 wired-AND", {flash_fault::address_short, 2, 0, 12}, 0x555, true, 0x1555},
        {"bits 2 and 12 wired-OR", {flash_fault::address_short, 2, 1, 12}, 0x2AA, true, 0x2AA},
    };
    for (const auto& c : addresses) {
        SCOPED_TRACE(c.name);
        std::uint32_t sent = 0;
        ASSERT_EQ(c.h.reach_index(c.index, 0x7FF, sent), c.reachable);
        if (c.reachable) {
            EXPECT_EQ(sent, c.sent);
        }
    }
    const struct {
        const char* name;
        flash_hypothesis h;
        std::uint16_t data;
        bool reachable;
        std::uint16_t sent;
    } data[] = {
        {"D4 and D5 wired-OR", {flash_fault::data_short, 4, 1, 5}, 0x90, false, 0},
        {"D3 and D8 wired-AND", {flash_fault::data_short, 3, 0, 8}, 0xAA, true, 0x1AA},
        {"D5 open", {flash_fault::open_data, 5, 1}, 0x90, false, 0},
        {"D5 open, bit set", {flash_fault::open_data, 5, 1}, 0xA0, true, 0xA0},
        {"D7 stuck low: stores pass", {flash_fault::stuck_data, 7, 0}, 0x98, true, 0x98},
    };
    for (const auto& c : data) {
        SCOPED_TRACE(c.name);
        std::uint16_t sent = 0;
        ASSERT_EQ(c.h.reach_data(c.data, 0xFF, sent), c.reachable);
        if (c.reachable) {
            EXPECT_EQ(sent, c.sent);
        }
    }
}

TEST(FlashModel, PredictsTheQueryAndTheCodesThroughTheFault) {
    flash_chip_state chip;
    chip.write(0x55, 0x98);
    EXPECT_TRUE(chip.read(0x10).fits(0x51));
    EXPECT_FALSE(chip.read(0x10).fits(0xFFFF));
    const flash_hypothesis d0_low{flash_fault::stuck_data, 0, 0};
    EXPECT_TRUE(d0_low.processor_read(chip.read(0x11)).fits(0x52));
    EXPECT_FALSE(d0_low.processor_read(chip.read(0x10)).fits(0x51)) << "Q is 0x51: D0 high";
    const flash_hypothesis d1_open{flash_fault::open_data, 1, 1};
    EXPECT_TRUE(d1_open.processor_read(chip.read(0x10), 0x00F0).fits(0x51));
    EXPECT_FALSE(d1_open.processor_read(chip.read(0x10), 0x0002).fits(0x51)) << "held high";
    chip.write(0, 0xF0);
    chip.write(0x555, 0xAA);
    chip.write(0x2AA, 0x55);
    chip.write(0x555, 0x90);
    EXPECT_TRUE(chip.read(0x10001).fits(0x227E)) << "the device code in every sector";
    EXPECT_TRUE(chip.read(0).fits(0x0001));
    EXPECT_TRUE(chip.read(0).fits(0x00C2));
    EXPECT_FALSE(chip.read(0).fits(0x0089));
}

// A chip off the bus reads back the last store; one no command reaches answers a word from
// its array, alike each time it is loaded, whatever was sent between.
TEST(FlashModel, ControlLinesThatSilenceTheChip) {
    flash_chip_state chip;
    chip.held = 0x98;
    const flash_hypothesis silent{flash_fault::silent}, deaf{flash_fault::deaf};
    EXPECT_TRUE(flash_load(silent, chip, 0x10).fits(0x98));
    EXPECT_FALSE(flash_load(silent, chip, 0x10).fits(0x51));
    EXPECT_FALSE(deaf.takes_commands());
    EXPECT_TRUE(flash_load(deaf, chip, 0x10).fits(0x51));
    chip.last_index = 0x10;
    chip.last_value = 0xFFFF;
    EXPECT_FALSE(flash_load(deaf, chip, 0x10).fits(0x51));
    EXPECT_TRUE(flash_load(deaf, chip, 0x11).fits(0x52));
}

TEST(FlashModel, ArrayReadsMustHoldStillThroughTheFault) {
    // A word read in read mode, then read again: the second read must fit the first.
    const struct {
        const char* name;
        flash_hypothesis h;
        std::uint16_t first, second;
        bool fits;
    } cases[] = {
        {"no fault: the word again", {flash_fault::none}, 0x1234, 0x1234, true},
        {"no fault: another value", {flash_fault::none}, 0x0050, 0xFFFF, false},
        {"D3 open: only D3 follows the bus", {flash_fault::open_data, 3, 1}, 0x0008, 0x0000, true},
        {"D3 open: D4 may not change", {flash_fault::open_data, 3, 1}, 0x0010, 0x0000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        flash_chip_state chip;
        chip.saw(c.h, 0x10, c.first);
        EXPECT_EQ(chip.expect(c.h, 0x10).fits(c.second), c.fits);
        EXPECT_TRUE(chip.expect(c.h, 0x11).fits(c.second)) << "another word is unknown";
        chip.write(0x55, 0x98);
        EXPECT_TRUE(chip.expect(c.h, 0x10).fits(0x51)) << "the query answers, not the array";
    }
    // The unlock cycles, program and its data cycle: the word may have changed.
    flash_chip_state chip;
    chip.saw({}, 0x10, 0x0050);
    for (auto [index, data] : {std::pair{0x555u, 0xAA}, {0x2AAu, 0x55}, {0x555u, 0xA0}})
        chip.write(index, static_cast<std::uint16_t>(data));
    EXPECT_FALSE(chip.expect({}, 0x10).fits(0xFFFF)) << "before the data cycle";
    chip.write(0x10, 0x0040);
    EXPECT_TRUE(chip.expect({}, 0x10).fits(0xFFFF)) << "after it";
    const flash_hypothesis d0_d1{flash_fault::data_short, 0, 0, 1};
    EXPECT_TRUE(d0_d1.could_read(0x0050));
    EXPECT_FALSE(d0_d1.could_read(0x0051)) << "shorted lines read alike";
}
