// The memory map on the bench: an access goes to the window that holds it, is checked once,
// traced when its window is, and an access no device takes is reported and ends the run.
#include "bench.h"
#include "process.h"
#include "sim/memory_map.h"
#include "sim/trace.h"

#include <gtest/gtest.h>

namespace korvin::test {
namespace {

// Takes 32-bit accesses only.
struct word_device : recording_device {
    bool refuses(uint32_t, unsigned width, bool, std::string& why) const override {
        if (width == 4)
            return false;
        why = "words only";
        return true;
    }
};

struct map_bench {
    explicit map_bench(const std::string& trace_path = "") {
        if (!trace_path.empty())
            trace.open(trace_path);
        map.add(0x10000000, 0x1000, words);
        map.add(0xC0000000, 0x1000000, memory);
        map.add(0x1000A000, 0x1000, quiet, false);
    }
    sim::bus_trace trace;
    std::vector<std::string> reports;
    sim::memory_map map{
        trace, [this](uint32_t address, unsigned width, bool write, const std::string& why) {
            reports.push_back(testing::PrintToString(std::make_tuple(address, width, write, why)));
        }};
    word_device words;
    recording_device memory, quiet;
};

TEST(MemoryMap, RoutesEachAccessToTheWindowThatHoldsIt) {
    map_bench b;
    b.map.write(0xC0FFFFFE, 2, 0xABCD);
    EXPECT_EQ(b.map.read(0x10000004, 4), 0x1234u);
    b.map.write(0x1000A040, 1, 0x41);
    EXPECT_EQ(b.memory.seen, std::vector<std::string>{"w2 fffffe abcd"});
    EXPECT_EQ(b.words.seen, std::vector<std::string>{"r4 4"});
    EXPECT_EQ(b.quiet.seen, std::vector<std::string>{"w1 40 41"});
    EXPECT_TRUE(b.reports.empty());
    EXPECT_EQ(b.map.find(0xC1000000), nullptr);
    EXPECT_EQ(b.map.find(0x0FFFFFFF), nullptr);
}

TEST(MemoryMap, AnAccessNoDeviceTakesIsReportedOnceAndEndsTheRun) {
    const struct {
        uint32_t address;
        unsigned width;
        bool write;
        std::string report;
    } cases[] = {
        {0x10000004, 2, false,
         testing::PrintToString(
             std::make_tuple(0x10000004u, 2u, false, std::string("words only")))},
        {0x10000008, 1, true,
         testing::PrintToString(std::make_tuple(0x10000008u, 1u, true, std::string("words only")))},
        {0x20000000, 4, false,
         testing::PrintToString(std::make_tuple(
             0x20000000u, 4u, false, std::string("no memory or device at this address")))},
    };
    for (const auto& c : cases) {
        map_bench b;
        if (c.write)
            b.map.write(c.address, c.width, 0x55);
        else
            EXPECT_EQ(b.map.read(c.address, c.width), 0u);
        EXPECT_TRUE(b.words.seen.empty()) << "the refused access reaches no device";
        EXPECT_TRUE(b.map.halted());
        // Nothing after it reaches a device or is reported again.
        b.map.write(0xC0000000, 2, 1);
        EXPECT_EQ(b.map.read(0x10000000, 2), 0u);
        EXPECT_TRUE(b.memory.seen.empty());
        EXPECT_EQ(b.reports, std::vector<std::string>{c.report});
    }
}

TEST(MemoryMap, TracesTheAccessesOfTracedWindows) {
    temp_file file("map-trace");
    {
        map_bench b(file.path);
        b.map.write(0xC0000010, 2, 0x12345); // a store carries only its width's bits
        b.map.read(0xC0000010, 2);
        b.map.write(0x1000A040, 4, 0x41); // untraced window
        b.map.write(0x10000000, 4, 0x20040304);
        b.map.read(0x10000000, 1); // refused: not traced
        b.trace.flush();
    }
    EXPECT_EQ(read_file(file.path), "w16 c0000010 2345\n"
                                    "r16 c0000010 1234\n"
                                    "w32 10000000 20040304\n");
}

} // namespace
} // namespace korvin::test
