#include "sim/faults.h"

#include <gtest/gtest.h>

namespace korvin::sim {
namespace {

TEST(FaultOption, RejectsMalformedFaults) {
    for (const char* text : {
             "",
             "sdram",
             "sdram:",
             "sdram:d32=0",
             "flash:d16=1",
             "sram:a17=0",
             "sdram:a23=1",
             "sdram:d3=2",
             "sdram:d3",
             "sdram:d=1",
             "sdram:dx=1",
             "sdram:d-1=0",
             "sdram:d3=01",
             "flash:id=00c2",
             "flash:id=10000:227e",
             "flash:id=zz:227e",
             "flash:deadly",
             // A FLASH bit is written only by program and erase: it will not take one level.
             "flash:cell=0xc0000010.3=rise",
             "flash:cell=0xc0000010.3~0xc0000012.3",
             "flash:cell=0xc1000000.0=0",
             "sram:dead",
             "boot:wake-after=0",
             "boot:wake-after=",
             "boot:wake-after=2x",
             "boot:sleepy",
             "cpu:d1=0",
             "SDRAM:d1=0",
             "sdram:d3~d3=and",
             "sram:d16~d17=or",
             "sram:a17~a18=and",
             "sdram:d3~d4=xor",
             "sdram:d3~d4",
             "sdram:d3~a4=and",
             "sdram:a3=open",
         }) {
        fault_set f;
        std::string error;
        EXPECT_FALSE(parse_fault(text, f, error)) << text;
        EXPECT_NE(error.find(text), std::string::npos) << error;
    }
}

// A net the memory does not have, or a fault it cannot take, is refused with the reason.
TEST(FaultOption, RefusesNetsTheMemoryDoesNotHave) {
    const struct {
        const char* text;
        const char* why;
    } cases[] = {
        {"sdram:ma12=1", "MA12 is not wired"},
        {"sdram:ma13~ma1=or", "MA0-MA11, BA0 and BA1"},
        {"sdram:ba2=0", "MA0-MA11, BA0 and BA1"},
        {"flash:ma3=1", "the SDRAM's multiplexed address pins"},
        {"sdram:dqm4=1", "DQM0-DQM3"},
        {"sdram:eb0=0", "DQM0-DQM3"},
        {"sram:dqm0=1", "EB0 and EB1"},
        {"sram:eb2=open", "EB0 and EB1"},
        {"flash:eb1=1", "no byte enables"},
        {"sdram:oe=1", "no output enable"},
        {"sram:cke=0", "the SDRAM's control lines"},
        {"sdram:dqm0~dqm1=and", "not modelled"},
        {"sdram:cs~ras=or", "not modelled"},
        {"sdram:ma3~d4=or", "two lines of one kind"},
        {"sdram:ma3~ma3=and", "shorted to itself"},
        {"sdram:ma3~ma4=xor", "=and or =or"},
        {"sdram:we=2", "=0 or =1, or =open"},
        {"sram:eb1", "=0 or =1, or =open"},
    };
    for (const auto& c : cases) {
        fault_set f;
        std::string error;
        EXPECT_FALSE(parse_fault(c.text, f, error)) << c.text;
        EXPECT_EQ(error.find(std::string("bad --fault '") + c.text + "': "), 0u) << error;
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
    // One net, one fault; the same fault again changes nothing.
    const struct {
        const char *first, *second;
        bool both;
    } pairs[] = {
        {"sdram:ma3=1", "sdram:ma3=open", false},
        {"sdram:ma3=1", "sdram:ma3~ma4=and", false},
        {"sdram:ma3~ma4=and", "sdram:ma4~ba0=or", false},
        {"sdram:ma3~ma4=and", "sdram:ma4~ba0=and", true},
        {"sdram:dqm1=0", "sdram:dqm1=1", false},
        {"sram:we=open", "sram:we=open", true},
        {"sram:we=0", "flash:we=1", true},
    };
    for (const auto& c : pairs) {
        fault_set f;
        std::string error;
        ASSERT_TRUE(parse_fault(c.first, f, error)) << error;
        EXPECT_EQ(parse_fault(c.second, f, error), c.both) << c.first << " then " << c.second;
    }
}

TEST(FaultOption, StuckLinesForceTheirBits) {
    struct {
        const char* text;
        memory_faults fault_set::*memory;
        stuck_lines memory_faults::*lines;
        uint32_t in, out;
    } cases[] = {
        {"sdram:d31=0", &fault_set::sdram, &memory_faults::data, 0xFFFFFFFF, 0x7FFFFFFF},
        {"sdram:d0=1", &fault_set::sdram, &memory_faults::data, 0, 1},
        {"sdram:a22=1", &fault_set::sdram, &memory_faults::address, 0, 0x400000},
        {"flash:d15=1", &fault_set::flash, &memory_faults::data, 0, 0x8000},
        {"flash:a0=0", &fault_set::flash, &memory_faults::address, 0x3, 0x2},
        {"sram:d7=0", &fault_set::sram, &memory_faults::data, 0xFFFF, 0xFF7F},
        {"sram:a16=1", &fault_set::sram, &memory_faults::address, 0, 0x10000},
    };
    for (const auto& c : cases) {
        fault_set f;
        std::string error;
        ASSERT_TRUE(parse_fault(c.text, f, error)) << c.text;
        EXPECT_EQ((f.*c.memory.*c.lines).apply(c.in), c.out) << c.text;
    }
}

TEST(FaultOption, FaultsCombineButOneLineHasOneLevel) {
    fault_set f;
    std::string error;
    ASSERT_TRUE(parse_fault("sdram:d1=0", f, error));
    ASSERT_TRUE(parse_fault("sdram:d2=1", f, error));
    ASSERT_TRUE(parse_fault("sdram:d1=0", f, error)); // repeating a fault changes nothing
    EXPECT_EQ(f.sdram.data.apply(0xFF), 0xFDu);
    EXPECT_EQ(f.sdram.data.apply(0x00), 0x04u);
    EXPECT_FALSE(parse_fault("sdram:d1=1", f, error));
    EXPECT_FALSE(parse_fault("sdram:d2=0", f, error));
}

TEST(FaultOption, ALineTakesOneKindOfFault) {
    const struct {
        const char *first, *second;
        bool both;
    } cases[] = {
        {"sdram:d3=0", "sdram:d3=open", false},     {"sdram:d3=open", "sdram:d4~d3=and", false},
        {"flash:a1~a2=or", "flash:a2=1", false},    {"sram:d4~d5=and", "sram:d5~d6=or", false},
        {"sram:d4~d5=and", "sram:d5~d4=and", true}, // repeating a fault changes nothing
        {"sram:d4=open", "sram:a4~a5=or", true},    // address line 4 is another line
        {"sram:d4=open", "flash:d4=0", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " then " + c.second);
        fault_set f;
        std::string error;
        ASSERT_TRUE(parse_fault(c.first, f, error));
        EXPECT_EQ(parse_fault(c.second, f, error), c.both);
        if (!c.both) {
            EXPECT_EQ(error, std::string("bad --fault '") + c.second + "'");
        }
    }
    // Shorts of one kind that share a line bridge all their lines.
    fault_set f;
    std::string error;
    ASSERT_TRUE(parse_fault("sdram:d3~d4=and", f, error) &&
                parse_fault("sdram:d5~d4=and", f, error));
    EXPECT_EQ(f.sdram.wires.data.apply(0x30), 0u);
}

TEST(FaultOption, FlashAndBootFaults) {
    fault_set f;
    std::string error;
    ASSERT_TRUE(parse_fault("flash:id=1:ABCD", f, error));
    EXPECT_EQ(f.flash_chip.manufacturer, 0x0001);
    EXPECT_EQ(f.flash_chip.device, 0xABCD);
    ASSERT_TRUE(parse_fault("flash:dead", f, error));
    ASSERT_TRUE(parse_fault("boot:wake-after=7", f, error));
    ASSERT_TRUE(parse_fault("boot:never-wakes", f, error));
    ASSERT_TRUE(parse_fault("boot:wake-alt", f, error));
    ASSERT_TRUE(parse_fault("boot:refuse-write", f, error));
    ASSERT_TRUE(parse_fault("boot:refuse-start", f, error));
    EXPECT_TRUE(f.flash_chip.dead && f.boot.never_wakes && f.boot.wake_alt && f.boot.refuse_write &&
                f.boot.refuse_start);
    EXPECT_EQ(f.boot.wake_after, 7u);
}

} // namespace
} // namespace korvin::sim
