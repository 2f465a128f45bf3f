// The NOR FLASH on the bench: the AMD command set decoded from the chip's pins, its status
// while it works, and its array file. Offsets are byte offsets into the chip, as the WEIM
// passes them on.
#include "process.h"
#include "sim/faults.h"
#include "sim/nor_flash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

namespace korvin::test {
namespace {

using cycles = std::vector<std::pair<uint32_t, uint16_t>>;

const cycles UNLOCK = {{0xAAA, 0xAA}, {0x554, 0x55}};
const cycles AUTOSELECT = {{0xAAA, 0xAA}, {0x554, 0x55}, {0xAAA, 0x90}};
const cycles RESET = {{0, 0xF0}};

cycles program(uint32_t offset, uint16_t value) {
    return {{0xAAA, 0xAA}, {0x554, 0x55}, {0xAAA, 0xA0}, {offset, value}};
}
cycles sector_erase(uint32_t sector) {
    return {{0xAAA, 0xAA}, {0x554, 0x55}, {0xAAA, 0x80},
            {0xAAA, 0xAA}, {0x554, 0x55}, {sector, 0x30}};
}

// The chip with a clock of its own: time passes only when the chip is waited on.
struct flash_bench {
    explicit flash_bench(const std::vector<std::string>& fault_options = {},
                         sim::flash_timing timing = {}) {
        for (const auto& f : fault_options) {
            std::string error;
            EXPECT_TRUE(sim::parse_fault(f, faults, error)) << error;
        }
        clock.now = [this] { return now; };
        clock.wait = [this](sim::time_point deadline) {
            ++waits;
            now = std::max(now, deadline);
            return true;
        };
        chip = std::make_unique<sim::nor_flash>(faults.flash, faults.flash_chip, timing, clock);
    }
    void run(const cycles& c) {
        for (auto [offset, value] : c)
            chip->write(offset, 2, value);
    }
    uint32_t read(uint32_t offset) { return chip->read(offset, 2); }

    sim::fault_set faults;
    sim::device_clock clock;
    sim::time_point now{};
    unsigned waits = 0;
    std::unique_ptr<sim::nor_flash> chip;
};

TEST(NorFlash, IdentifiesItselfInAutoselectUntilReset) {
    const struct {
        std::vector<std::string> faults;
        uint32_t manufacturer, device, erased;
    } cases[] = {{{}, 0x00C2, 0x227E, 0xFFFF},
                 {{"flash:id=89:1234"}, 0x0089, 0x1234, 0xFFFF},
                 {{"flash:d1=0"}, 0x00C0, 0x227C, 0xFFFD},
                 {{"flash:dead"}, 0xFFFF, 0xFFFF, 0xFFFF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults.empty() ? "no fault" : c.faults[0]);
        flash_bench b(c.faults);
        b.run(AUTOSELECT);
        EXPECT_EQ(b.read(0), c.manufacturer);
        EXPECT_EQ(b.read(2), c.device);
        EXPECT_EQ(b.read(0x20000), c.manufacturer) << "in every sector";
        b.run(RESET);
        EXPECT_EQ(b.read(0), c.erased) << "read mode again";
    }
}

TEST(NorFlash, ProgramClearsBitsAndEraseSetsTheSector) {
    flash_bench b;
    const uint32_t word = 0x20000 + 0x1234, neighbour = 0x40000;
    b.run(program(word, 0x12F4));
    EXPECT_EQ(b.read(word), 0x12F4u);
    b.run(program(word, 0xFF0F));
    EXPECT_EQ(b.read(word), 0x1204u) << "programming only clears bits";
    b.run(program(neighbour, 0));
    b.chip->write(word + 2, 2, 0); // a plain store is no command
    EXPECT_EQ(b.read(word + 2), 0xFFFFu);
    b.run(sector_erase(0x20000 + 0x10)); // any address in the sector names it
    EXPECT_EQ(b.read(word), 0xFFFFu);
    EXPECT_EQ(b.read(neighbour), 0u) << "the next sector keeps its word";
    b.run(UNLOCK);
    b.run({{0xAAA, 0x80}, {0xAAA, 0xAA}, {0x554, 0x55}, {0xAAA, 0x10}});
    EXPECT_EQ(b.read(neighbour), 0xFFFFu) << "chip erase";
}

TEST(NorFlash, CommandCyclesOutOfStepAreIgnored) {
    // Commands are decoded from the word address lines A10..A0: byte offset 0xAAA is 0x555.
    const struct {
        const char* name;
        cycles c;
    } cases[] = {
        {"first unlock at the wrong address", {{0xAA8, 0xAA}, {0x554, 0x55}, {0xAAA, 0xA0}}},
        {"second unlock with the wrong data", {{0xAAA, 0xAA}, {0x554, 0x54}, {0xAAA, 0xA0}}},
        {"command at the wrong address", {{0xAAA, 0xAA}, {0x554, 0x55}, {0xAA8, 0xA0}}},
        {"reset between unlock and command",
         {{0xAAA, 0xAA}, {0x554, 0x55}, {0, 0xF0}, {0xAAA, 0xA0}}},
        {"program while in autoselect",
         {{0xAAA, 0xAA},
          {0x554, 0x55},
          {0xAAA, 0x90},
          {0xAAA, 0xAA},
          {0x554, 0x55},
          {0xAAA, 0xA0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        flash_bench b;
        b.run(c.c);
        b.chip->write(0x10, 2, 0);
        b.run(RESET);
        EXPECT_EQ(b.read(0x10), 0xFFFFu);
    }
    flash_bench b; // an erase whose last cycle is no erase command erases nothing
    b.run(program(0x10, 0));
    cycles wrong_last = sector_erase(0);
    wrong_last.back().second = 0x31;
    b.run(wrong_last);
    EXPECT_EQ(b.read(0x10), 0u);
}

TEST(NorFlash, StatusShowsTheOperationUntilItEnds) {
    sim::flash_timing slow;
    slow.enabled = true;
    slow.program = std::chrono::microseconds(20);
    slow.erase = std::chrono::microseconds(500000);
    flash_bench b({}, slow);

    // Programming: DQ7 is the complement of the data's bit 7, DQ6 toggles on every read.
    b.run(program(0x100, 0x0012));
    const uint32_t first = b.read(0x100), second = b.read(0x200);
    EXPECT_EQ(first & 0x80, 0x80u);
    EXPECT_EQ((first ^ second) & 0x40, 0x40u);
    b.run(program(0x300, 0)); // commands are ignored while the chip works
    unsigned reads = 2;
    while (b.read(0x100) != 0x0012 && reads < 100)
        ++reads;
    EXPECT_GT(reads, 2u);
    EXPECT_EQ(b.waits, 1u) << "a polling program lets the time pass";
    EXPECT_EQ(b.now - sim::time_point{}, slow.program);
    EXPECT_EQ(b.read(0x300), 0xFFFFu);

    // Erasing: DQ7 is 0, DQ3 says the erase has begun, DQ2 toggles with DQ6.
    b.run(sector_erase(0));
    const uint32_t a = b.read(0x100), c = b.read(0x100);
    EXPECT_EQ(a & 0x88, 0x08u);
    EXPECT_EQ((a ^ c) & 0x44, 0x44u);
    while (b.read(0x100) != 0xFFFF && reads < 200)
        ++reads;
    EXPECT_EQ(b.now - sim::time_point{}, slow.program + slow.erase);
}

TEST(NorFlash, WithoutTimingAnOperationEndsAtOnce) {
    flash_bench b;
    b.run(program(0x100, 0x0012));
    EXPECT_EQ(b.read(0x100), 0x0012u);
    b.run(sector_erase(0));
    EXPECT_EQ(b.read(0x100), 0xFFFFu);
    EXPECT_EQ(b.waits, 0u);
}

// A cell that cannot reach its level fails the chip's own verify: the status stays, with
// DQ5 (exceeded timing limits) set, and only the reset command ends it.
TEST(NorFlash, FailedOperationShowsDq5UntilTheResetCommand) {
    const struct {
        const char* fault;
        cycles operation;
        uint32_t dq7; // DQ7 while the status shows
        uint32_t after_reset;
    } cases[] = {
        {"flash:cell=0xc0000100.3=1", program(0x100, 0x0012), 0x80, 0x001A},
        {"flash:cell=0xc0000100.0=0", sector_erase(0), 0, 0xFFFE},
        // A chip erase verifies every sector.
        {"flash:cell=0xc0fe0100.0=0",
         {{0xAAA, 0xAA}, {0x554, 0x55}, {0xAAA, 0x80}, {0xAAA, 0xAA}, {0x554, 0x55}, {0xAAA, 0x10}},
         0,
         0xFFFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        flash_bench b({c.fault});
        b.run(c.operation);
        const uint32_t first = b.read(0x100), second = b.read(0x100);
        EXPECT_EQ(first & 0xA0, 0x20 | c.dq7);
        EXPECT_EQ((first ^ second) & 0x40, 0x40u) << "DQ6 keeps toggling";
        b.run(program(0x200, 0));
        EXPECT_EQ(b.read(0x100) & 0x20, 0x20u) << "other commands are ignored";
        b.run(RESET);
        EXPECT_EQ(b.read(0x100), c.after_reset);
        EXPECT_EQ(b.read(0x200), 0xFFFFu);
    }
}

TEST(NorFlash, BoardResetReturnsTheChipToReadMode) {
    sim::flash_timing slow;
    slow.enabled = true;
    flash_bench b({}, slow);
    b.run(AUTOSELECT);
    b.chip->reset();
    EXPECT_EQ(b.read(0), 0xFFFFu);
    b.run(program(0x100, 0x0012));
    b.chip->reset(); // a running operation completes
    EXPECT_EQ(b.read(0x100), 0x0012u);
    b.run(UNLOCK);
    b.chip->reset();
    b.run({{0xAAA, 0xA0}, {0x200, 0}});
    EXPECT_EQ(b.read(0x200), 0xFFFFu) << "the unlock cycles are forgotten";
}

TEST(NorFlash, LineFaultsReachTheCommandCycles) {
    // The unlock cycles at words 0x555 and 0x2AA differ in every bit of A10..A0, and their
    // data 0xAA and 0x55 in every bit of the low byte: a fault there lets no command through,
    // and word 0 reads as erased instead of the manufacturer code.
    const struct {
        const char* fault;
        uint32_t read; // word 0 after the autoselect command
    } cases[] = {
        {"flash:a0=1", 0xFFFF},      {"flash:a12=1", 0x00C2}, // above the decoded A10..A0
        {"flash:a0~a1=and", 0xFFFF}, {"flash:a12~a13=or", 0x00C2}, {"flash:d7~d8=and", 0xFFFF},
        {"flash:d7~d8=or", 0x01C2}, // the commands pass; the load shows D7 on D8 too
        {"flash:d1=open", 0xFFFD},  // 0x55 reaches the chip as 0x57; 0x90 left D1 low
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        flash_bench b({c.fault});
        b.run(AUTOSELECT);
        EXPECT_EQ(b.read(0), c.read);
    }
}

TEST(NorFlash, OpenDataLineIsHighAtTheChipAndHeldAtTheProcessor) {
    flash_bench b({"flash:d8=open"});
    EXPECT_EQ(b.read(0x100), 0xFFFFu) << "high before any store";
    b.run(program(0x100, 0x0000));
    EXPECT_EQ(b.chip->cells()[0x80], 0x0100u) << "the chip saw D8 high and left it set";
    EXPECT_EQ(b.read(0x100), 0x0000u) << "the program's data left D8 low";
    b.chip->write(0x300, 2, 0xFFFF); // a store elsewhere, and no command
    EXPECT_EQ(b.read(0x100), 0x0100u);
    EXPECT_EQ(b.read(0x300), 0xFFFFu);
}

TEST(NorFlash, ArrayFileKeepsTheCells) {
    temp_file file("flash-array");
    std::string error;
    flash_bench b;
    ASSERT_TRUE(b.chip->load(file.path, error)) << "a missing file is an erased chip";
    b.run(program(0xFFFFFE, 0x00A5));
    b.run(program(0x2, 0x1234));
    ASSERT_TRUE(b.chip->save(file.path, error)) << error;
    EXPECT_EQ(read_file(file.path).substr(0, 4), std::string("\xff\xff\x34\x12", 4))
        << "little-endian words";
    flash_bench again;
    ASSERT_TRUE(again.chip->load(file.path, error)) << error;
    EXPECT_EQ(again.chip->cells(), b.chip->cells());

    temp_file small("flash-small");
    {
        std::FILE* f = std::fopen(small.path.c_str(), "wb");
        std::fputs("abc", f);
        std::fclose(f);
    }
    EXPECT_FALSE(again.chip->load(small.path, error));
    EXPECT_EQ(error, small.path + ": not a FLASH image (3 bytes, expected 16777216)");
}

TEST(NorFlash, AnswersTheCfiQueryUntilReset) {
    // Byte offsets: the query at word 0x55, "QRY" at words 0x10 to 0x12, the size exponent
    // at 0x27, the region's sector count less one at 0x2D and its size in 256 bytes at 0x30.
    const struct {
        const char* name;
        cycles c;
        uint32_t q, size, sectors, sector_units;
    } cases[] = {
        {"the query", {{0xAA, 0x98}}, 0x51, 0x18, 0x7F, 0x02},
        {"the query from autoselect",
         {{0xAAA, 0xAA}, {0x554, 0x55}, {0xAAA, 0x90}, {0xAA, 0x98}},
         0x51,
         0x18,
         0x7F,
         0x02},
        {"0x98 at another address", {{0xA8, 0x98}}, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        flash_bench b;
        b.run(c.c);
        EXPECT_EQ(b.read(0x20), c.q);
        EXPECT_EQ(b.read(0x22), c.q == 0x51 ? 0x52u : 0xFFFFu);
        EXPECT_EQ(b.read(0x24), c.q == 0x51 ? 0x59u : 0xFFFFu);
        EXPECT_EQ(b.read(0x4E), c.size);
        EXPECT_EQ(b.read(0x5A), c.sectors);
        EXPECT_EQ(b.read(0x60), c.sector_units);
        b.run({{0xAAA, 0xAA}}); // no command but the reset leaves the query
        EXPECT_EQ(b.read(0x20), c.q);
        b.run(RESET);
        EXPECT_EQ(b.read(0x20), 0xFFFFu) << "read mode again";
    }
}

} // namespace
} // namespace korvin::test
