// The SDRAM controller and the SDRAM on the bench: the start-up the controller needs before
// the array holds data, the byte lanes, and a board reset.
#include "accesses.h"
#include "sim/faults.h"
#include "sim/sdram.h"
#include "sim/sdram_controller.h"

#include <gtest/gtest.h>

#include <memory>

namespace korvin::test {
namespace {

// The controller's registers and the SDRAM's window, by the board's addresses.
struct sdram_bench {
    sim::fault_set faults;
    std::unique_ptr<sim::sdram> chips = std::make_unique<sim::sdram>(faults);
    sim::sdram_controller controller{*chips};

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
        {"other mode register", replaced(8, {8, SDRAM + 0x32, 0}), false},
        {"mode register loaded before the refreshes too",
         inserted(4, {{32, ESDCTL0, 0xB2100000}, {8, SDRAM + 0x33, 0}}), false},
        {"other geometry", replaced(10, {32, ESDCTL0, 0x82126080}), false},
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

TEST(Sdram, KeepsByteLanes) {
    sdram_bench b;
    b.store(SDRAM_STARTUP);
    b.store({{32, SDRAM + 8, 0x11223344}, {8, SDRAM + 9, 0xAB}, {16, SDRAM + 10, 0xCDEF}});
    EXPECT_EQ(b.load(32, SDRAM + 8), 0xCDEFAB44u);
    EXPECT_EQ(b.load(8, SDRAM + 11), 0xCDu);
    EXPECT_EQ(b.load(16, SDRAM + 8), 0xAB44u);
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
