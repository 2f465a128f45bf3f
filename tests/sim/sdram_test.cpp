// The SDRAM controller and the SDRAM on the bench: the start-up the controller needs before
// the array holds data, the byte lanes, and a board reset.
#include "accesses.h"
#include "sim/faults.h"
#include "sim/sdram.h"
#include "sim/sdram_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace korvin::test {
namespace {

// The controller's registers and the SDRAM's window, by the board's addresses.
struct sdram_bench {
    sim::fault_set faults;
    std::unique_ptr<sim::sdram> chips = std::make_unique<sim::sdram>(faults.sdram);
    sim::sdram_controller controller{*chips};

    sdram_bench() = default;
    // `fault_options`: --fault arguments ("sdram:d3=open").
    explicit sdram_bench(const std::vector<std::string>& fault_options) {
        for (const auto& f : fault_options) {
            std::string error;
            EXPECT_TRUE(sim::parse_fault(f, faults, error)) << error;
        }
    }

    sim::device& at(uint32_t address, uint32_t& offset) {
        const bool registers = address >= ESDCTL0;
        offset = address - (registers ? ESDCTL0 : SDRAM);
        return registers ? static_cast<sim::device&>(controller) : controller.window();
    }
    void store(const std::vector<access>& accesses) {
        for (const auto& a : accesses) {
            uint32_t offset;
            sim::device& d = at(a.address, offset);
            std::string why;
            ASSERT_FALSE(d.refuses(offset, a.bits / 8, true, why)) << why;
            d.write(offset, a.bits / 8, a.value);
        }
    }
    uint32_t load(unsigned bits, uint32_t address) {
        uint32_t offset;
        return at(address, offset).read(offset, bits / 8);
    }
    // Two different values: undefined bits cannot match both.
    bool holds_data() {
        bool held = true;
        for (uint32_t v : {0x12345678u, 0xEDCBA987u}) {
            store({{32, SDRAM + 0x100, v}});
            held = held && load(32, SDRAM + 0x100) == v;
        }
        return held;
    }
};

std::vector<access> without(size_t step) {
    auto s = SDRAM_STARTUP;
    s.erase(s.begin() + static_cast<long>(step));
    return s;
}
std::vector<access> replaced(size_t step, access a) {
    auto s = SDRAM_STARTUP;
    s[step] = a;
    return s;
}
std::vector<access> inserted(size_t step, std::vector<access> more) {
    auto s = SDRAM_STARTUP;
    s.insert(s.begin() + static_cast<long>(step), more.begin(), more.end());
    return s;
}

TEST(Sdram, HoldsDataOnlyAfterItsStartUp) {
    const struct {
        const char* name;
        std::vector<access> startup;
        bool holds;
    } cases[] = {
        {"full start-up", SDRAM_STARTUP, true},
        {"none", {}, false},
        {"no precharge", without(3), false},
        {"precharge of one bank only", replaced(3, {32, SDRAM, 0}), false},
        {"one auto-refresh", without(5), false},
        {"no mode register", without(8), false},
        {"no extended mode register", without(9), false},
        // Burst length 4: the controller's single-word accesses do not feel it.
        {"burst length 4", replaced(8, {8, SDRAM + 0x32, 0}), true},
        {"CAS latency 2, the controller's 3", replaced(8, {8, SDRAM + 0x23, 0}), false},
        {"CAS latency 2 on both sides",
         [] {
             auto s = replaced(8, {8, SDRAM + 0x23, 0});
             s[1] = {32, ESDCFG0, 0x006AC63A};
             return s;
         }(),
         true},
        {"a test mode", replaced(8, {8, SDRAM + 0xB3, 0}), false},
        {"mode register loaded before the refreshes too",
         inserted(4, {{32, ESDCTL0, 0xB2100000}, {8, SDRAM + 0x33, 0}}), false},
        {"16-bit data path", replaced(10, {32, ESDCTL0, 0x81116080}), false},
        {"never normal", without(10), false},
        {"controller disabled", replaced(10, {32, ESDCTL0, 0x01126080}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sdram_bench b;
        b.store(c.startup);
        EXPECT_EQ(b.controller.ready(), c.holds);
        EXPECT_EQ(b.holds_data(), c.holds);
    }
}

// The controller sends the row and the column by the geometry ESDCTL0 gives; the chips take a
// 12-bit row on A0..A11 and a 9-bit column on A0..A8. A geometry that is not theirs folds
// words together: with 13 rows the row's top bit goes to MA12, wired to nothing; with 10
// columns the column's top bit goes to A9, which a column command does not use.
TEST(Sdram, TheControllerMapsByTheGeometryItIsGiven) {
    const struct {
        uint32_t esdctl0;
        uint32_t other; // stored after the word at 0
        bool same_word;
        uint32_t cell; // where the word at 0x1000 went, as bank << 21 | row << 9 | column
    } cases[] = {
        {0x81126080, SDRAM + 0x800000, false, 1u << 10},
        {0x82126080, SDRAM + 0x800000, true, 1u << 10},
        {0x81226080, SDRAM + 0x800, true, 1u << 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.esdctl0);
        sdram_bench b;
        b.store(replaced(10, {32, ESDCTL0, c.esdctl0}));
        b.store({{32, SDRAM, 0x0A0A0A0A}, {32, c.other, 0x0B0B0B0B}, {32, SDRAM + 0x1000, 0xC}});
        EXPECT_EQ(b.load(32, SDRAM), c.same_word ? 0x0B0B0B0Bu : 0x0A0A0A0Au);
        EXPECT_EQ(b.chips->cell(c.cell), 0xCu);
    }
}

TEST(Sdram, KeepsByteLanes) {
    sdram_bench b;
    b.store(SDRAM_STARTUP);
    b.store({{32, SDRAM + 8, 0x11223344}, {8, SDRAM + 9, 0xAB}, {16, SDRAM + 10, 0xCDEF}});
    EXPECT_EQ(b.load(32, SDRAM + 8), 0xCDEFAB44u);
    EXPECT_EQ(b.load(8, SDRAM + 11), 0xCDu);
    EXPECT_EQ(b.load(16, SDRAM + 8), 0xAB44u);
}

TEST(Sdram, ShortedAndOpenDataLinesOnTheByteLanes) {
    constexpr uint32_t A = SDRAM + 0x40, B = SDRAM + 0x80;
    const struct {
        const char* fault;
        std::vector<access> stores;
        unsigned bits;
        uint32_t loaded, cell; // a load at A, and what the chips hold there
    } cases[] = {
        {"sdram:d3~d4=and", {{32, A, 0xFFFFFFF7}}, 32, 0xFFFFFFE7, 0xFFFFFFE7},
        {"sdram:d3~d4=or", {{32, A, 0x10}}, 32, 0x18, 0x18},
        // A byte store drives its own lane only: D8 alone sets the level, D7 keeps its cell.
        {"sdram:d7~d8=and", {{32, A, 0xFFFFFFFF}, {8, A + 1, 0}}, 8, 0x7F, 0xFFFF00FF},
        {"sdram:d7~d8=and", {{32, A, 0}, {8, A, 0x80}}, 32, 0, 0x80},
        {"sdram:d7~d8=or", {{32, A, 0}, {8, A, 0x80}}, 32, 0x180, 0x80},
        // The chips see an open line high; a load sees what the last store drove on it.
        {"sdram:d5=open", {{32, A, 0}, {32, B, 0xFFFFFFFF}}, 32, 0x20, 0x20},
        {"sdram:d5=open", {{32, A, 0xFFFFFFFF}, {32, B, 0}}, 32, 0xFFFFFFDF, 0xFFFFFFFF},
        {"sdram:d13=open", {{32, A, 0}, {8, B + 1, 0xFF}}, 32, 0x2000, 0x2000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fault << ", load " << c.bits << " after "
                                        << c.stores.size() << " stores");
        sdram_bench b({c.fault});
        b.store(SDRAM_STARTUP);
        b.store(c.stores);
        EXPECT_EQ(b.load(c.bits, A), c.loaded);
        EXPECT_EQ(b.chips->cell((A - SDRAM) / 4), c.cell);
    }
}

TEST(Sdram, BadCellStaysBadBehindFaultyWires) {
    sdram_bench b({"sdram:d30~d31=and", "sdram:cell=0xa0000040.3=0"});
    b.store(SDRAM_STARTUP);
    b.store({{32, SDRAM + 0x40, 0xFF}});
    EXPECT_EQ(b.load(32, SDRAM + 0x40), 0xF7u);
}

TEST(Sdram, OpenLineReadsHighUntilAStoreDrivesIt) {
    // The start-up's command cycles in the window carry no data: they drive nothing.
    sdram_bench b({"sdram:d5=open"});
    b.store(without(11));
    ASSERT_TRUE(b.controller.ready());
    uint32_t low = 0;
    while (low < sim::sdram::SIZE / 4 && (b.chips->cell(low) & 0x20))
        ++low;
    ASSERT_LT(low, sim::sdram::SIZE / 4);
    const uint32_t address = SDRAM + low * 4;
    EXPECT_EQ(b.load(32, address) & 0x20, 0x20u);
    b.store({{32, SDRAM + 0x100, 0}});
    EXPECT_EQ(b.load(32, address) & 0x20, 0u);
}

TEST(Sdram, BoardResetNeedsANewStartUpButKeepsTheArray) {
    sdram_bench b;
    b.store(SDRAM_STARTUP);
    b.store({{32, SDRAM + 0x40, 0xC0FFEE}});
    b.controller.reset();
    EXPECT_FALSE(b.controller.ready());
    EXPECT_EQ(b.load(32, ESDCTL0), 0u);
    b.store(SDRAM_STARTUP);
    EXPECT_EQ(b.load(32, SDRAM + 0x40), 0xC0FFEEu);
}

} // namespace
} // namespace korvin::test
