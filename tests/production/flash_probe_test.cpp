// FLASH faults that leave the chip taking no command, each probed on the bench monitor as
// korvin --probe-flash does: a few of every kind in process, and one the whole way through
// korvin-sim over a pseudo-terminal. Each must be named, exactly or among candidates, and
// no line named wrongly.
#include "fault_universe.h"
#include "process.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace korvin::test {
namespace {

const device_case& flash() {
    return DEVICES[1];
}

TEST(FlashProbe, NamesFaultsThatLeftTheChipTakingNoCommand) {
    const std::vector<std::uint8_t> bench = read_image(bin("boot_bench.bin"));
    ASSERT_FALSE(bench.empty()) << bin("boot_bench.bin");
    use_bench_image(bench);
    const fault_case cases[] = {
        {&flash(), fault_kind::stuck_address, 3, 1},    {&flash(), fault_kind::stuck_address, 8, 0},
        {&flash(), fault_kind::data_short, 0, 0, 1},    {&flash(), fault_kind::data_short, 6, 1, 7},
        {&flash(), fault_kind::address_short, 4, 1, 5}, {&flash(), fault_kind::open_data, 2, 1},
    };
    for (const fault_case& f : cases) {
        SCOPED_TRACE(f.text());
        ASSERT_TRUE(f.breaks_command_cycles());
        const fault_outcome o = run_in_process(f, {});
        EXPECT_TRUE(o.problem.empty()) << o.problem;
        EXPECT_TRUE(o.named);
        EXPECT_FALSE(o.named_wrongly);
        EXPECT_FALSE(o.looks_dead);
    }
}

// A board tested before holds what its passing FLASH test left: the probe reads that walk
// through the fault and names a line a blank chip leaves among 80 candidates.
TEST(FlashProbe, EarlierTestsWalkNamesTheLine) {
    const std::vector<std::uint8_t> bench = read_image(bin("boot_bench.bin"));
    ASSERT_FALSE(bench.empty()) << bin("boot_bench.bin");
    use_bench_image(bench);
    const std::string file = testing::TempDir() + "earlier_flash.bin";
    std::remove(file.c_str());
    std::string problem;
    ASSERT_TRUE(leave_earlier_flash(file, problem)) << problem;
    use_earlier_flash(file);
    const fault_outcome o = run_in_process({&flash(), fault_kind::stuck_address, 0, 0}, {});
    use_earlier_flash("");
    std::remove(file.c_str());
    EXPECT_TRUE(o.problem.empty()) << o.problem;
    EXPECT_TRUE(o.named_exactly);
    EXPECT_FALSE(o.named_wrongly);
}

TEST(FlashProbe, KorvinProbesOverTheLine) {
    simulator sim({"--fault", "flash:d0~d1=and"});
    const run_result r = run({bin("korvin"), "--probe-flash", "-p", sim.port(), "flash"}, {},
                             std::chrono::minutes(5));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Testing FLASH... failed\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("    FLASH probe ("), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("data lines D0 and D1 shorted (wired-AND)"), std::string::npos) << r.out;
}

} // namespace
} // namespace korvin::test
