// The bench monitor end to end: korvin's --full, --peek, --poke and --dump on korvin-sim.
#include "process.h"

#include <gtest/gtest.h>

#include <signal.h>

namespace korvin::test {
namespace {

run_result korvin_on(simulator& sim, std::vector<std::string> args) {
    std::vector<std::string> argv = {bin("korvin"), "-p", sim.port()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, {}, std::chrono::minutes(5));
}

// The full test's verdict and findings: the lines from "Full test" on.
std::string full_test_lines(const std::string& out) {
    const auto at = out.find("Full test of");
    return at == std::string::npos ? "" : out.substr(at);
}

struct cell_case {
    std::vector<std::string> faults;
    const char* memory;
    std::string findings; // after "Full test of <memory>... failed\n"
    const char* range = "0x1000";
};

TEST(FullTest, NamesEachCellAndLaneFault) {
    const cell_case cases[] = {
        {{"sdram:cell=0xa0000450.7=0"}, "sdram", "    SDRAM word 0xa0000450 bit 7 stuck at 0\n"},
        {{"sdram:cell=0xa0000454.31=1"}, "sdram", "    SDRAM word 0xa0000454 bit 31 stuck at 1\n"},
        // A bit that cannot leave a level reads as stuck there.
        {{"sdram:cell=0xa0000458.0=rise"}, "sdram", "    SDRAM word 0xa0000458 bit 0 stuck at 0\n"},
        {{"sdram:cell=0xa0000460.4=fall"}, "sdram", "    SDRAM word 0xa0000460 bit 4 stuck at 1\n"},
        // The aggressor above the victim, whose march failures look like a stuck bit.
        {{"sdram:cell=0xa0000800.5~0xa0000400.3"},
         "sdram",
         "    SDRAM word 0xa0000800 bit 5 and word 0xa0000400 bit 3 are coupled: a change of the "
         "first changes the second\n"},
        {{"sdram:cell=0xa0000400.1~0xa0000800.2"},
         "sdram",
         "    SDRAM word 0xa0000400 bit 1 and word 0xa0000800 bit 2 are coupled: a change of the "
         "first changes the second\n"},
        {{"sdram:dqm2=0"},
         "sdram",
         "    SDRAM byte lane 2 (DQM2) stuck enabled: a byte store to lane 0 also writes lane 2\n"},
        {{"sdram:dqm0=0"},
         "sdram",
         "    SDRAM byte lane 0 (DQM0) stuck enabled: a byte store to lane 1 also writes lane 0\n"},
        {{"sram:cell=0xc8000102.15=1"}, "sram", "    SRAM word 0xc8000102 bit 15 stuck at 1\n"},
        {{"sram:eb1=0"},
         "sram",
         "    SRAM byte lane 1 (EB1) stuck enabled: a byte store to lane 0 also writes lane 1\n"},
        // A bad cell on a board whose lines are faulty too: both are named.
        {{"sram:eb1=0", "sram:cell=0xc8000106.3=1"},
         "sram",
         "    SRAM word 0xc8000106 bit 3 stuck at 1\n"
         "    SRAM byte lane 1 (EB1) stuck enabled: a byte store to lane 0 also writes lane 1\n"},
        {{"sram:eb0=0"},
         "sram",
         "    SRAM byte lane 0 (EB0) stuck enabled: a byte store to lane 1 also writes lane 0\n"},
        {{"sram:cell=0xc8000010.0~0xc8000012.9"},
         "sram",
         "    SRAM word 0xc8000010 bit 0 and word 0xc8000012 bit 9 are coupled: a change of the "
         "first changes the second\n"},
        // The FLASH's range is whole sectors: 0x1000 is sector 0. A bit that will not
        // erase fails the chip's verify (DQ5) and the blank check, and its sector is not
        // programmed; one that will not program fails where the pattern (the word's index)
        // has a 0 there. Sector 3 holds none of the wiring test's words, which would not
        // erase either.
        {{"flash:cell=0xc0060012.0=0"},
         "flash",
         "    FLASH sector 3 (0xc0060000) did not erase: word 0xc0060012 reads 0xfffe\n",
         "0x80000"},
        {{"flash:cell=0xc0060012.0=0", "flash:cell=0xc007fffe.15=0"},
         "flash",
         "    FLASH sector 3 (0xc0060000) did not erase: word 0xc0060012 reads 0xfffe (and 1 "
         "other word)\n",
         "0x80000"},
        {{"flash:cell=0xc0000106.3=1"},
         "flash",
         "    FLASH word 0xc0000106 programmed 0x0083 reads 0x008b: bit 3 did not program\n"},
        // Word 0xffff is programmed 0xffff: its bit that will not program goes unseen.
        {{"flash:cell=0xc001fffe.15=1", "flash:cell=0xc0000802.9=1"},
         "flash",
         "    FLASH word 0xc0000802 programmed 0x0401 reads 0x0601: bit 9 did not program\n"},
    };
    for (const cell_case& c : cases) {
        simulator sim(with_faults(c.faults));
        const run_result r = korvin_on(sim, {"--full-range", c.range, c.memory});
        const std::string m = c.memory;
        const std::string name = m == "sdram" ? "SDRAM" : m == "flash" ? "FLASH" : "SRAM";
        EXPECT_EQ(r.status, 0) << c.faults[0] << r.err;
        EXPECT_EQ(full_test_lines(r.out), "Full test of " + name + "... failed\n" + c.findings)
            << c.faults[0];
    }
}

// After a failed test a fault of the lines would fail every cell: the RAMs' full test then
// names no cell for it (and leaves out the lanes), though it names a bad cell that alone
// failed the test. A FLASH that took no command gets no full test without the probe.
TEST(FullTest, AfterAFailedTest) {
    const struct {
        std::vector<std::string> faults;
        const char* memory;
        std::string lines; // from "Testing"
    } cases[] = {
        {{"sram:we=1"},
         "sram",
         "Testing SRAM... failed\nFull test of SRAM... failed\n    more SRAM units fail the "
         "march test than it names: the fault the test found fails them, so no cell is named\n"},
        {{"sram:cell=0xc8000010.3=1"},
         "sram",
         "Testing SRAM... failed\nFull test of SRAM... failed\n"
         "    SRAM word 0xc8000010 bit 3 stuck at 1\n"},
        {{"flash:dead"},
         "flash",
         "Testing FLASH... failed\nFull test of FLASH... not run after a failed test\n"},
    };
    for (const auto& c : cases) {
        simulator sim(with_faults(c.faults));
        const run_result r = korvin_on(sim, {"--full-range", "0x1000", c.memory});
        EXPECT_EQ(r.status, 0) << r.err;
        const auto at = r.out.find("Testing");
        EXPECT_EQ(at == std::string::npos ? r.out : r.out.substr(at), c.lines) << c.faults[0];
    }
}

TEST(FullTest, GoodBoardPassesAndSpecifiedLinesStayAsTheyWere) {
    simulator sim;
    const run_result r = korvin_on(sim, {"--full-range", "0x2000"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Testing SDRAM... passed\nFull test of SDRAM... passed\n"
                         "Testing FLASH... passed\nFull test of FLASH... passed\n"
                         "Testing SRAM... passed\n"
                         "Full test of SRAM... passed\n"),
              std::string::npos)
        << r.out;
}

TEST(BenchMonitor, PeekPokeAndDump) {
    simulator sim;
    // The FLASH test leaves its address-line words: word 2^k holds k + 1.
    ASSERT_EQ(korvin_on(sim, {"flash"}).status, 0);
    const run_result r =
        korvin_on(sim, {"--dump", "0xc0000000", "20", "--poke", "0xa0000010=0x12345678", "--peek",
                        "0xa0000012:16", "--peek", "a0000010:8", "--poke", "0xc8000000=0x4b4f:16",
                        "--dump", "0xc8000000", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto at = r.out.find("c0000000:");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(at),
              "c0000000: 0000 0001 0002 ffff 0003 ffff ffff ffff    ................\n"
              "c0000010: 0004 ffff" +
                  std::string(34, ' ') + "....\n" +
                  "0xa0000010 <- 0x12345678\n"
                  "0xa0000012: 0x1234\n"
                  "0xa0000010: 0x78\n"
                  "0xc8000000 <- 0x4b4f\n"
                  "c8000000: 4b4f" +
                  std::string(39, ' ') + "OK\n");
}

TEST(BenchMonitor, BadAddressesAreAnsweredNotAccessed) {
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--peek", "0x12345678"},
         "0x12345678 (32-bit): no memory of the board at this address.\n"},
        {{"--peek", "0xc0000000:8"},
         "0xc0000000 (8-bit): the memory there does not take this access width.\n"},
        {{"--poke", "0xa0000002=1:32"},
         "0xa0000002 (32-bit): the address is not a multiple of the access width.\n"},
        {{"--dump", "0xc803fff0", "32"},
         "0xc803fff0 (16-bit): the range runs past the end of the memory.\n"},
    };
    simulator sim;
    for (const auto& c : cases) {
        const run_result r = korvin_on(sim, c.args);
        EXPECT_EQ(r.status, 1) << c.args[1];
        EXPECT_EQ(r.err, c.err) << c.args[1];
    }
    // The board still answers: nothing was accessed where nothing answers.
    EXPECT_EQ(korvin_on(sim, {"--peek", "0xa0000000"}).status, 0);
}

TEST(BenchMonitor, LostLineEndsTheRunWithItsReason) {
    simulator sim;
    child_process korvin({bin("korvin"), "-p", sim.port(), "--full", "sdram"});
    ASSERT_TRUE(korvin.wait_for_output("Full test of SDRAM...", std::chrono::seconds(60)));
    sim.process().signal(SIGKILL);
    const run_result r = korvin.wait(std::chrono::seconds(30));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Could not read from serial port"), std::string::npos) << r.err;
}

} // namespace
} // namespace korvin::test
