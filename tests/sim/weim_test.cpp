// The WEIM on the bench: which loads and stores in a chip select's window reach the memory
// behind it, and what the CPU sees when they do not.
#include "bench.h"
#include "sim/weim.h"

#include <gtest/gtest.h>

namespace korvin::test {
namespace {

using sim::weim;

struct weim_bench {
    recording_device flash, sram;
    weim w{{flash, "FLASH", false}, {sram, "SRAM", true}};
    recording_device& memory(int cs) { return cs == 0 ? flash : sram; }
};

TEST(Weim, ChipSelectsAnswerOnlyAsEnabled16BitPorts) {
    // CSxL: CSEN is bit 0, DSZ (bits 10..8) the port size; 5 is a 16-bit port on D15..D0.
    const struct {
        uint32_t csl;
        bool answers;
    } cases[] = {{0x01000511, true},  {0x00000501, true},  {0, false},
                 {0x01000510, false}, {0x01000111, false}, {0x01000311, false},
                 {0x01000611, false}, {0x01000711, false}};
    for (const auto& c : cases)
        for (int cs : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "CS" << cs << "L " << std::hex << c.csl);
            weim_bench b;
            b.w.write(cs == 0 ? weim::CS0L : weim::CS1L, 4, c.csl);
            testing::internal::CaptureStderr();
            b.w.window(cs).write(0x10, 2, 0xABCD);
            const uint32_t loaded = b.w.window(cs).read(0x10, 2);
            b.w.window(cs).read(0x12, 2);
            const std::string said = testing::internal::GetCapturedStderr();
            if (c.answers) {
                EXPECT_EQ(b.memory(cs).seen,
                          (std::vector<std::string>{"w2 10 abcd", "r2 10", "r2 12"}));
                EXPECT_EQ(loaded, 0x1234u);
                EXPECT_EQ(said, "");
            } else {
                EXPECT_TRUE(b.memory(cs).seen.empty());
                EXPECT_EQ(loaded, 0xFFFFu) << "nothing drives the bus: it floats high";
                EXPECT_EQ(said, std::string("korvin-sim: the ") + (cs ? "SRAM" : "FLASH") +
                                    " was accessed while chip select " + std::to_string(cs) +
                                    " is not enabled as a 16-bit port; it does not answer\n")
                    << "said once";
            }
            EXPECT_TRUE(b.memory(1 - cs).seen.empty()) << "the other chip select stays quiet";
        }
}

TEST(Weim, ResetDisablesBothChipSelectsAndSpeaksAgain) {
    weim_bench b;
    b.w.write(weim::CS0L, 4, 0x01000511);
    b.w.write(weim::CS1L, 4, 0x01000511);
    ASSERT_TRUE(b.w.enabled(0) && b.w.enabled(1));
    testing::internal::CaptureStderr();
    b.w.reset();
    EXPECT_FALSE(b.w.enabled(0) || b.w.enabled(1));
    EXPECT_EQ(b.w.read(weim::CS1L, 4), 0u);
    EXPECT_EQ(b.w.window(1).read(0, 2), 0xFFFFu);
    b.w.reset();
    EXPECT_EQ(b.w.window(1).read(0, 2), 0xFFFFu);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.size(), 2 * said.find('\n') + 2) << "once after each reset:\n" << said;
}

} // namespace
} // namespace korvin::test
