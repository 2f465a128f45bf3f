// korvin and the real boot image on korvin-sim: what the board sends, what
// it does on its buses, and what the user finally sees.
#include "model.h"
#include "monitor_client.h"
#include "process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace korvin::test {
namespace {

std::vector<std::string> file_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

std::vector<std::string> starting_with(const std::vector<std::string>& lines,
                                       const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.compare(0, prefix.size(), prefix) == 0)
            out.push_back(l);
    return out;
}

std::vector<std::string> concat(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Boots the image on a fresh simulator and optionally turns verbose on.
struct monitor_session {
    simulator sim;
    monitor_client board;
    explicit monitor_session(const std::vector<std::string>& sim_args, bool verbose = true)
        : sim(sim_args), board(sim.port()) {
        EXPECT_EQ(board.boot(boot_image()), '?');
        if (verbose) {
            answer v = board.command('v');
            EXPECT_EQ(v.trace, "");
            EXPECT_EQ(v.code, "0");
        }
    }
};

const std::vector<std::string> CHIP_SETUP_STORES = {
    "w32 10000000 20040304", "w32 10020000 00000000", "w32 10000004 dffbfcfb",
    "w32 10020004 ffffffff", "w32 10027000 33f08107"};

const std::vector<std::string> SDRAM_START_STORES = {
    "w32 d8001010 00000004", "w32 d8001004 006ac73a", "w32 d8001000 92100000",
    "w32 a0000400 00000000", "w32 d8001000 a2100000", "w32 a0000000 00000000",
    "w32 a0000000 00000000", "w32 d8001000 b2100000", "w8 a0000033 00",
    "w8 a1000000 00",        "w32 d8001000 81126080", "w32 a0000000 00000000",
    "w32 d8001010 0000000c"};

const std::vector<std::string> SRAM_SETUP_STORES = {
    "w32 d8002010 00000a03", "w32 d8002014 01000511", "w32 d8002018 01000080"};

expected_walk good_sdram() {
    expected_walk e;
    expect_data_bus(e, 0xA0000000, 4);
    expect_address_lines(e, 0xA0000000, 0x2000000, 4);
    return e;
}

expected_walk good_sram() {
    expected_walk e;
    expect_data_bus(e, 0xC8000000, 2);
    expect_address_lines(e, 0xC8000000, 0x40000, 2);
    return e;
}

TEST(Monitor, AnswersEveryNonTestByteWithZeroAndNeverEchoes) {
    monitor_session s({}, false);
    // Mode commands twice over, their capitals, and bytes of no meaning.
    for (char c : {'x', '\r', '\0', 'S', 'V', 's', 's', 'v', 'v', '?', ':'}) {
        answer a = s.board.command(c);
        EXPECT_EQ(a.trace, "") << "byte " << int(c);
        EXPECT_EQ(a.code, "0") << "byte " << int(c);
    }
}

TEST(Monitor, QuietTestsSendNothingBeforeTheResult) {
    monitor_session s(with_faults({"sdram:d3=0", "flash:d9=0"}), false);
    for (auto [command, code] : {std::pair{'1', "2"}, {'2', "3"}, {'3', "0"}}) {
        answer a = s.board.command(command);
        EXPECT_EQ(a.trace, "") << command;
        EXPECT_EQ(a.code, code) << command;
    }
}

TEST(Monitor, EachStartIgnoresWhatTheFlagWordsHeld) {
    simulator sim;
    // Closing the port resets the board; give the simulator a moment to see it.
    auto reset = [] { usleep(300000); };
    {
        // Reset with the gate closed and the line delay on.
        monitor_client b(sim.port());
        ASSERT_EQ(b.boot(boot_image()), '?');
        EXPECT_EQ(b.command('s').code, "0");
    }
    reset();
    {
        monitor_client b(sim.port());
        ASSERT_EQ(b.boot(boot_image()), '?');
        EXPECT_EQ(b.command('v').code, "0");
    }
    reset();
    monitor_client b(sim.port());
    ASSERT_EQ(b.boot(boot_image()), '?');
    EXPECT_EQ(b.command('3').trace, "") << "verbose survived a reset";
}

TEST(Monitor, GoodBoardTracesAndBusAccessesInOrder) {
    temp_file bus("bus");
    monitor_session s({"--trace-bus", bus.path});
    const expected_walk sdram = good_sdram(), sram = good_sram();
    ASSERT_EQ(sdram.lines.size(), 354u);
    ASSERT_EQ(sram.lines.size(), 129u + 73u);

    for (char command : {'1', '3', '1'}) {
        answer a = s.board.command(command);
        EXPECT_EQ(a.code, "0") << command;
        EXPECT_EQ(trace_lines(a.trace), command == '1' ? sdram.lines : sram.lines) << command;
    }
    ASSERT_EQ(s.sim.stop().status, 0);
    // Nothing but these accesses: the start-up's, then each test's own,
    // the SDRAM start-up repeated on every '1'.
    EXPECT_EQ(file_lines(bus.path),
              concat({CHIP_SETUP_STORES, SDRAM_START_STORES, sdram.bus, SRAM_SETUP_STORES, sram.bus,
                      SDRAM_START_STORES, sdram.bus}));
}

std::vector<std::string> good_flash_trace(const std::vector<std::string>& erases_before_data,
                                          const std::vector<std::string>& erases_after_data) {
    expected_walk data, address;
    expect_data_bus(data, 0xC0000000, 2);
    expect_address_lines(address, 0xC0000000, 0x1000000, 2);
    return concat(
        {{"Mc2", "D227e"}, erases_before_data, data.lines, erases_after_data, address.lines});
}

TEST(Flash, ErasesOnlyWhatAnEarlierRunProgrammed) {
    monitor_session s({});
    answer fresh = s.board.command('2');
    EXPECT_EQ(fresh.code, "0");
    EXPECT_EQ(trace_lines(fresh.trace), good_flash_trace({}, {" Ec0000000"}));

    std::vector<std::string> used;
    for (uint32_t sector : {0xc0000000, 0xc0020000, 0xc0040000, 0xc0080000, 0xc0100000, 0xc0200000,
                            0xc0400000, 0xc0800000, 0xc0fe0000, 0xc0fc0000, 0xc0fa0000, 0xc0f60000,
                            0xc0ee0000, 0xc0de0000, 0xc0be0000, 0xc07e0000})
        used.push_back(" E" + hex(sector));
    answer again = s.board.command('2');
    EXPECT_EQ(again.code, "0");
    EXPECT_EQ(trace_lines(again.trace), good_flash_trace({" Ec0000000"}, used));
}

// Index of `seq` as a contiguous run in `lines`, or npos.
size_t find_run(const std::vector<std::string>& lines, const std::vector<std::string>& seq,
                size_t from = 0) {
    auto it =
        std::search(lines.begin() + static_cast<long>(from), lines.end(), seq.begin(), seq.end());
    return it == lines.end() ? std::string::npos : static_cast<size_t>(it - lines.begin());
}

TEST(Flash, CommandCyclesReachTheChipInOrder) {
    temp_file bus("flash-bus");
    monitor_session s({"--trace-bus", bus.path}, false);
    ASSERT_EQ(s.board.command('2').code, "0");
    ASSERT_EQ(s.board.command('2').code, "0");
    ASSERT_EQ(s.sim.stop().status, 0);
    const auto lines = file_lines(bus.path);

    const std::vector<std::string> identify = {
        "w32 d8002000 00001302", "w32 d8002004 01000511", "w32 d8002008 010000c0",
        "w16 c0000aaa 00aa",     "w16 c0000554 0055",     "w16 c0000aaa 0090",
        "r16 c0000000 00c2",     "r16 c0000002 227e",     "w16 c0000000 00f0"};
    const size_t first = find_run(lines, identify);
    ASSERT_EQ(first, CHIP_SETUP_STORES.size());
    const size_t second = find_run(lines, identify, first + 1);
    ASSERT_NE(second, std::string::npos);

    // First run: sector 0 reads blank to its last word, then the first
    // program: unlock, command, data, the DQ7 poll, reset, the test's load.
    size_t at = first + identify.size();
    for (uint32_t w = 0; w < 0x10000; ++w) {
        char want[32];
        std::snprintf(want, sizeof want, "r16 %08x ffff", 0xC0000000 + 2 * w);
        ASSERT_EQ(lines.at(at + w), want);
    }
    at += 0x10000;
    EXPECT_EQ(
        std::vector<std::string>(lines.begin() + static_cast<long>(at),
                                 lines.begin() + static_cast<long>(at) + 7),
        (std::vector<std::string>{"w16 c0000aaa 00aa", "w16 c0000554 0055", "w16 c0000aaa 00a0",
                                  "w16 c0000000 0001", "r16 c0000000 0001", "w16 c0000000 00f0",
                                  "r16 c0000000 0001"}));

    // Second run: the blank check stops at the first programmed word, then
    // reset, the six erase cycles, the poll and the reset.
    at = second + identify.size();
    EXPECT_EQ(
        std::vector<std::string>(lines.begin() + static_cast<long>(at),
                                 lines.begin() + static_cast<long>(at) + 9),
        (std::vector<std::string>{"r16 c0000000 0000", "w16 c0000000 00f0", "w16 c0000aaa 00aa",
                                  "w16 c0000554 0055", "w16 c0000aaa 0080", "w16 c0000aaa 00aa",
                                  "w16 c0000554 0055", "w16 c0000000 0030", "r16 c0000000 ffff"}));
    EXPECT_EQ(lines.at(at + 9), "w16 c0000000 00f0");
}

struct id_case {
    std::string id;
    std::vector<std::string> more_faults;
    std::string code;
};

TEST(Flash, IdentificationCodes) {
    const id_case cases[] = {
        {"0001:227e", {}, "0"},
        {"00c2:227e", {}, "0"},
        {"0000:227e", {}, "1"},
        {"ffff:227e", {}, "1"},
        {"00c3:227e", {}, "1"},
        {"00c2:227f", {}, "2"},
        {"0000:0000", {}, "2"},
        {"0000:227e", {"flash:d0=0"}, "4"},
        {"0001:227d", {"flash:d12=0"}, "3"},
    };
    for (const auto& c : cases) {
        auto faults = c.more_faults;
        faults.push_back("flash:id=" + c.id);
        monitor_session s(with_faults(faults));
        answer a = s.board.command('2');
        EXPECT_EQ(a.code, c.code) << c.id;
        const auto lines = trace_lines(a.trace);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[0], "M" + hex(std::stoul(c.id.substr(0, 4), nullptr, 16))) << c.id;
        EXPECT_EQ(lines[1], "D" + hex(std::stoul(c.id.substr(5), nullptr, 16))) << c.id;
    }
}

struct stuck_case {
    std::string fault;
    char command;
    std::string code;
    std::vector<std::string> mismatches; // checked when not empty
    int erase_lines;                     // checked when not negative
};

std::vector<std::string> complement_mismatches_then(uint32_t top) {
    std::vector<std::string> m;
    for (int k = 0; k < 31; ++k)
        m.push_back("*r" + hex(~(1u << k)));
    m.push_back("*r" + hex(top));
    return m;
}

TEST(StuckLines, CodesAndMismatchLines) {
    const std::vector<std::string> d3_low16 = {
        "*rfffe", "*rfffd", "*rfffb", "*r8",    "*rffef", "*rffdf", "*rffbf", "*rff7f",
        "*rfeff", "*rfdff", "*rfbff", "*rf7ff", "*refff", "*rdfff", "*rbfff", "*r7fff"};
    const stuck_case cases[] = {
        {"sdram:d31=0", '1', "1", complement_mismatches_then(0x80000000), -1},
        {"sdram:d3=0", '1', "2", {}, -1},
        {"sdram:a5=1", '1', "2", {"*r6", "*r6"}, -1},
        {"sdram:a5=0", '1', "2", {"*r6", "*r6"}, -1},
        {"sram:d9=0", '3', "1", {}, -1},
        {"sram:d15=1", '3', "2", {}, -1},
        {"sram:d2=0", '3', "2", {}, -1},
        {"sram:a3=1", '3', "2", {}, -1},
        {"sram:a16=0", '3', "2", {}, -1},
        {"flash:d3=0", '2', "4", {}, 47},
        {"flash:d9=0", '2', "3", {}, 47},
        {"flash:d5=0", '2', "3", {}, 47},
        {"flash:a20=1", '2', "4", {}, -1},
    };
    for (const auto& c : cases) {
        monitor_session s(with_faults({c.fault}));
        answer a = s.board.command(c.command);
        EXPECT_EQ(a.code, c.code) << c.fault;
        const auto lines = trace_lines(a.trace);
        if (!c.mismatches.empty()) {
            EXPECT_EQ(starting_with(lines, "*"), c.mismatches) << c.fault;
        }
        if (c.erase_lines >= 0) {
            EXPECT_EQ(starting_with(lines, " E").size(), static_cast<size_t>(c.erase_lines))
                << c.fault;
        }
    }
}

TEST(StuckLines, SixteenBitDataLineThreeLow) {
    monitor_session s(with_faults({"sram:d3=0"}));
    answer a = s.board.command('3');
    EXPECT_EQ(a.code, "2");
    auto lines = trace_lines(a.trace);
    auto address_header = std::find(lines.begin(), lines.end(), "Ac8000000 40000");
    ASSERT_NE(address_header, lines.end());
    EXPECT_EQ(starting_with({lines.begin(), address_header}, "*"),
              (std::vector<std::string>{"*rfffe", "*rfffd", "*rfffb", "*r8", "*rffef", "*rffdf",
                                        "*rffbf", "*rff7f", "*rfeff", "*rfdff", "*rfbff", "*rf7ff",
                                        "*refff", "*rdfff", "*rbfff", "*r7fff"}));
}

// A chip that never finishes a program or an erase: the poll gives up with
// a T line and the FLASH test ends at once with code 5; the monitor lives on.
TEST(Flash, PollsThatNeverCompleteEndTheTestWithCodeFive) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"flash:dead", {"Mffff", "Dffff", "Dc0000000", " Tc0000000"}},
        {"flash:d7=0", {"M42", "D227e", " Ec0000000", " Tc0000000"}},
        {"flash:d7=1", {"Mc2", "D22fe", "Dc0000000", " Tc0000000"}},
    };
    for (const auto& [fault, want] : cases) {
        monitor_session s(with_faults({fault}));
        answer a = s.board.command('2');
        EXPECT_EQ(a.code, "5") << fault;
        EXPECT_EQ(trace_lines(a.trace), want) << fault;
        EXPECT_EQ(s.board.command('x').code, "0") << fault;
    }
}

// What the user sees: korvin itself, downloading the embedded image.
struct korvin_run {
    run_result result;
    std::string log;
};

korvin_run korvin(simulator& sim, std::vector<std::string> args) {
    temp_file log("log");
    std::vector<std::string> argv = {bin("korvin"), "-p", sim.port(), "-l", log.path};
    argv.insert(argv.end(), args.begin(), args.end());
    korvin_run r;
    r.result = run(argv, {}, std::chrono::minutes(10));
    r.log = read_file(log.path);
    return r;
}

TEST(Korvin, QuietRunOfAllThreeTests) {
    simulator sim;
    korvin_run r = korvin(sim, {});
    EXPECT_EQ(r.result.status, 0) << r.result.err;
    EXPECT_EQ(r.log, "Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... passed\n");
}

TEST(Korvin, VerboseRelaysTheTraceAsSent) {
    simulator sim;
    korvin_run r = korvin(sim, {"-v", "sram"});
    EXPECT_EQ(r.result.status, 0) << r.result.err;
    std::string want = "Testing SRAM...\n";
    for (const auto& l : good_sram().lines)
        want += l + "\r\n";
    EXPECT_EQ(r.log, want + "passed\n");
}

TEST(Korvin, FailingMemoriesAreReportedFailed) {
    simulator sim(with_faults({"sdram:d3=0", "flash:dead", "sram:a2=1"}));
    korvin_run r = korvin(sim, {});
    EXPECT_EQ(r.result.status, 0) << r.result.err;
    EXPECT_EQ(r.log, "Testing SDRAM... failed\nTesting FLASH... failed\nTesting SRAM... failed\n");
}

} // namespace
} // namespace korvin::test
