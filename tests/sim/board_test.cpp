// korvin-sim driven from the host's end of its pseudo-terminal: what needs the real line,
// the core or the process (the boot ROM's answers as the host sees them, the end of a run,
// the line's resets, the options). The device models are tested in-process on the bench.
#include "accesses.h"
#include "poke_client.h"
#include "process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <thread>
#include <vector>

namespace korvin::test {
namespace {

// A simulator with the peek-and-poke program started on it.
struct simulated_board {
    explicit simulated_board(const std::vector<std::string>& args = {})
        : sim(args), host(std::make_unique<poke_client>(sim.port())) {
        booted = host->boot(program("poke"));
    }
    void run(const std::vector<access>& accesses) {
        for (const auto& a : accesses)
            ASSERT_TRUE(host->poke(a.bits, a.address, a.value))
                << std::hex << a.bits << "-bit store to " << a.address;
    }
    uint32_t peek(unsigned bits, uint32_t address) {
        const auto v = host->peek(bits, address);
        EXPECT_TRUE(v.has_value()) << std::hex << "no answer to a load of " << address;
        return v.value_or(0xDEADDEAD);
    }
    simulator sim;
    std::unique_ptr<poke_client> host;
    bool booted = false;
};

// ---- boot ROM -----------------------------------------------------------------------------

TEST(BootRom, AnswersAndRefusesAsItsFaultsSay) {
    struct {
        std::vector<std::string> args;
        unsigned silent_requests; // status requests that get no answer before the first one
        uint32_t wake, write, start;
    } cases[] = {
        {{}, 0, 0x56787856, 0x56787856, 0x88888888},
        {{"--fault", "boot:wake-after=3"}, 2, 0x56787856, 0x56787856, 0x88888888},
        {{"--fault", "boot:wake-alt"}, 0, 0xF0F0F0F0, 0x56787856, 0x88888888},
        {{"--fault", "boot:refuse-write"}, 0, 0x56787856, 0x12343412, 0},
        {{"--fault", "boot:refuse-start"}, 0, 0x56787856, 0x56787856, 0x56787856},
    };
    const std::string image = program("poke");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "no fault" : c.args[1]);
        simulator sim(c.args);
        boot_rom_client host(sim.port());
        for (unsigned i = 0; i < c.silent_requests; ++i) {
            host.send(status_request());
            EXPECT_EQ(host.receive(4, 300ms), "");
        }
        host.send(status_request());
        EXPECT_EQ(le32(host.receive(4)), c.wake);
        EXPECT_EQ(host.receive(1, 50ms), "") << "the status word is followed by silence";
        host.send(boot_rom_frame(WRITE_FILE, LOAD_ADDRESS, static_cast<uint32_t>(image.size()),
                                 APPLICATION_IMAGE));
        EXPECT_EQ(le32(host.receive(4)), c.write);
        host.send(image);
        host.send(status_request());
        EXPECT_EQ(le32(host.receive(4, 300ms)), c.start);
        // The program answers only when it was started.
        host.send(std::string("w\0\0\0\xa0", 5));
        EXPECT_EQ(host.receive(4, 300ms).size(), c.start == 0x88888888 ? 4u : 0u);
    }
}

// ---- stops ----------------------------------------------------------------------------------

bool is_load_or_store(uint32_t insn) {
    const uint32_t kind = (insn >> 25) & 7;
    const bool word_or_byte = kind == 2 || kind == 3;
    const bool halfword = kind == 0 && (insn & 0x90) == 0x90;
    return word_or_byte || halfword;
}

TEST(Stops, AnAccessTheBoardDoesNotHaveEndsTheRun) {
    struct {
        const char* name;
        std::vector<access> setup;
        unsigned bits;
        bool write;
        uint32_t address;
    } cases[] = {
        // One refusal of each kind of device and both kinds of address nothing answers; the
        // devices' reasons, case by case, are tested on the bench.
        {"8-bit store to the FLASH", CS0_SETUP, 8, true, FLASH + 0x10},
        {"16-bit load from the SDRAM controller", {}, 16, false, ESDCTL0},
        {"a store to URXD", {}, 32, true, 0x1000A000},
        {"nothing there", {}, 32, false, 0x20000000},
        {"past the FLASH", CS0_SETUP, 16, false, 0xC1000000},
    };
    const std::string image = program("poke");
    const std::regex message(
        "korvin-sim: (8|16|32)-bit (read|write) of 0x([0-9a-f]{8}) at pc 0x([0-9a-f]{8}): .+\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        simulated_board b;
        ASSERT_TRUE(b.booted);
        b.run(c.setup);
        if (c.write)
            EXPECT_FALSE(b.host->poke(c.bits, c.address, 0));
        else
            EXPECT_FALSE(b.host->peek(c.bits, c.address).has_value());
        const run_result r = b.sim.process().wait(20s);
        EXPECT_EQ(r.status, 3);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.err, m, message)) << r.err;
        EXPECT_EQ(std::stoul(m[1]), c.bits);
        EXPECT_EQ(m[2], c.write ? "write" : "read");
        EXPECT_EQ(std::stoul(m[3], nullptr, 16), c.address);
        const uint32_t pc = static_cast<uint32_t>(std::stoul(m[4], nullptr, 16));
        ASSERT_GE(pc, 0xFFFF4C00u);
        ASSERT_LT(pc - 0xFFFF4C00u + 4, image.size());
        EXPECT_TRUE(is_load_or_store(le32(image.substr(pc - 0xFFFF4C00u, 4))))
            << "pc names the access itself";
    }
}

TEST(Stops, TheBadAccessNamesTheInstructionThatMadeIt) {
    // programs/refused.S: the faulting instructions, each encoded once in it.
    struct {
        char command;
        const char* name;
        uint32_t instruction;
        const char* access;
    } cases[] = {
        {'r', "read, first instruction of its block", 0xE1D520B0, "16-bit read of 0xd8001000"},
        {'w', "write, first instruction of its block", 0xE5842000, "32-bit write of 0x1000a000"},
        {'R', "read, in the middle of a block", 0xE1D530B0, "16-bit read of 0xd8001000"},
        {'W', "write, in the middle of a block", 0xE5843000, "32-bit write of 0x1000a000"},
    };
    const std::string image = program("refused");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        size_t at = std::string::npos;
        for (size_t i = 0; i + 4 <= image.size(); i += 4)
            if (le32(image.substr(i, 4)) == c.instruction) {
                ASSERT_EQ(at, std::string::npos) << "the instruction is in the program once";
                at = i;
            }
        ASSERT_NE(at, std::string::npos);
        simulator sim;
        boot_rom_client host(sim.port());
        ASSERT_TRUE(host.boot(image)) << host.error();
        host.send(std::string(1, c.command));
        const run_result r = sim.process().wait(20s);
        EXPECT_EQ(r.status, 3);
        char expected[96];
        std::snprintf(expected, sizeof expected, "korvin-sim: %s at pc 0x%08x: ", c.access,
                      LOAD_ADDRESS + static_cast<uint32_t>(at));
        EXPECT_NE(r.err.find(expected), std::string::npos) << "wanted " << expected << "\n"
                                                           << r.err;
    }
}

TEST(Stops, StatsCountEveryInstructionUpToTheOneThatEndsTheRun) {
    const std::pair<const char*, unsigned long long> cases[] = {
        {"count", 206}, // a loop, a device read mid-block, then a refused store
        {"swi", 2},     // a software interrupt
        {"undefined", 2},
    };
    const std::regex counted("korvin-sim: ([0-9]+) instructions in ");
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(name);
        simulator sim({"--stats"});
        boot_rom_client host(sim.port());
        // Not checked: the run may end before the status word that starts it is read.
        host.boot(program(name));
        const run_result r = sim.process().wait(20s);
        EXPECT_EQ(r.status, 3);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.err, m, counted)) << r.err;
        EXPECT_EQ(std::stoull(m[1]), expected);
    }
}

TEST(Stops, AJumpOutOfInternalRamEndsTheRun) {
    simulated_board b;
    ASSERT_TRUE(b.booted);
    b.host->jump(0x00000B44);
    const run_result r = b.sim.process().wait(20s);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("of 0x00000b44 at pc 0x00000b44: instruction fetch outside internal RAM"),
              std::string::npos)
        << r.err;
}

TEST(Stops, AnExceptionEndsTheRun) {
    const std::pair<const char*, const char*> cases[] = {
        {"swi", "software interrupt (exception 2) at pc 0xffff4c04"},
        {"undefined", "at pc 0xffff4c04: Invalid instruction"},
    };
    for (const auto& [name, message] : cases) {
        simulator sim;
        poke_client host(sim.port());
        // Not checked: the status word that starts the program can be lost, for the
        // simulator ends at once and the line's hang-up discards what the host has not read.
        host.boot(program(name));
        const run_result r = sim.process().wait(20s);
        EXPECT_EQ(r.status, 3) << name;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

TEST(Stops, SigtermEndsARunawayProgramAndRemovesTheLink) {
    const std::string link = "/tmp/korvin-sim-test-link-" + std::to_string(getpid());
    simulated_board b({"--link", link});
    ASSERT_TRUE(b.booted);
    struct stat st {};
    EXPECT_EQ(lstat(link.c_str(), &st), 0);
    b.host->spin();
    std::this_thread::sleep_for(100ms);
    const run_result r = b.sim.stop();
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST(Stops, UsageErrorsNameTheBadArgument) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--fault", "sdram:d40=1"}, "'sdram:d40=1'"},
        {{"--fault", "boot:nap"}, "'boot:nap'"},
        {{"--fault", "flash:d1=0", "--fault", "flash:d1=1"}, "'flash:d1=1'"},
        {{"--bogus"}, "'--bogus'"},
        {{"extra"}, "'extra'"},
        {{"--flash-timing=fast"}, "'fast'"},
    };
    for (const auto& [args, named] : cases) {
        std::vector<std::string> argv{bin("korvin-sim")};
        argv.insert(argv.end(), args.begin(), args.end());
        const run_result r = run(argv, {}, 20s);
        EXPECT_EQ(r.status, 2) << named;
        EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
        EXPECT_EQ(r.out, "");
    }
    const run_result help = run({bin("korvin-sim"), "--help"}, {}, 20s);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--fault FAULT"), std::string::npos);
}

// ---- state across runs ------------------------------------------------------------------

TEST(State, ClosingTheLineResetsTheBoardButKeepsMemory) {
    simulated_board b;
    ASSERT_TRUE(b.booted);
    b.run(concat({CS1_SETUP,
                  {{16, SRAM + 0x100, 0x5A5A}},
                  CS0_SETUP,
                  flash_program(FLASH + 0x100, 0x1234),
                  FLASH_RESET}));
    b.host->close();
    // The boot ROM answers again: the program's state is gone.
    b.host = std::make_unique<poke_client>(b.sim.port());
    ASSERT_TRUE(b.host->boot(program("poke")));
    EXPECT_EQ(b.peek(16, SRAM + 0x100), 0xFFFFu) << "chip select 1 is closed after the reset";
    b.run(concat({CS1_SETUP, CS0_SETUP}));
    EXPECT_EQ(b.peek(16, SRAM + 0x100), 0x5A5Au);
    EXPECT_EQ(b.peek(16, FLASH + 0x100), 0x1234u);
}

TEST(State, ClosingTheLineStopsARunawayProgram) {
    simulated_board b;
    ASSERT_TRUE(b.booted);
    b.host->spin();
    std::this_thread::sleep_for(100ms);
    b.host->close();
    b.host = std::make_unique<poke_client>(b.sim.port());
    EXPECT_TRUE(b.host->boot(program("poke")));
}

// A wake-up, download and start without a pause, each answer awaited for long enough that
// only a board that never answers fails it.
void boot_at_once(boot_rom_client& line, const std::string& image) {
    line.send(status_request());
    ASSERT_EQ(le32(line.receive(4, 5000ms)), STATUS_READY) << "a fresh boot ROM answers";
    line.send(boot_rom_frame(WRITE_FILE, LOAD_ADDRESS, static_cast<uint32_t>(image.size()),
                             APPLICATION_IMAGE));
    ASSERT_EQ(le32(line.receive(4, 5000ms)), STATUS_READY);
    line.send(image);
    line.send(status_request());
    ASSERT_EQ(le32(line.receive(4, 5000ms)), STATUS_COMPLETE);
}

TEST(State, BackToBackOpenersEachMeetAFreshBootRom) {
    // Every other opener only wakes the boot ROM and goes: the board serves that close while
    // in the boot ROM, and the next opener's program starts right after it. Neither close may
    // reach into the next opener's run.
    simulator sim;
    const std::string image = program("poke");
    const uint32_t first_word = le32(image.substr(0, 4));
    for (int i = 0; i < 100; ++i) {
        SCOPED_TRACE("pair " + std::to_string(i));
        {
            boot_rom_client host(sim.port());
            host.send(status_request());
            ASSERT_EQ(le32(host.receive(4, 5000ms)), STATUS_READY) << "a fresh boot ROM answers";
        }
        poke_client host(sim.port());
        ASSERT_NO_FATAL_FAILURE(boot_at_once(host.line(), image));
        for (int k = 0; k < 4; ++k) {
            std::string peek = "w";
            for (int b = 0; b < 4; ++b)
                peek += static_cast<char>(LOAD_ADDRESS >> (8 * b));
            host.line().send(peek);
            ASSERT_EQ(le32(host.line().receive(4, 5000ms)), first_word) << "answer " << k;
        }
    }
    EXPECT_EQ(sim.stop().status, 0);
}

TEST(State, PacedLineCarriesTheSameBytes) {
    simulated_board b({"--line-rate"});
    ASSERT_TRUE(b.booted);
    b.run(concat({CS1_SETUP, {{16, SRAM + 0x10, 0xC0DE}}}));
    EXPECT_EQ(b.peek(16, SRAM + 0x10), 0xC0DEu);
}

TEST(State, FlashFileKeepsTheArrayAcrossRuns) {
    const std::string file = "/tmp/korvin-sim-test-flash-" + std::to_string(getpid());
    std::remove(file.c_str());
    {
        simulated_board b({"--flash-file", file});
        ASSERT_TRUE(b.booted);
        b.run(concat({CS0_SETUP, flash_program(FLASH + 0xFFFFFE, 0x00A5)}));
        EXPECT_EQ(b.sim.stop().status, 0);
    }
    EXPECT_EQ(read_file(file).size(), 16u << 20);
    {
        simulated_board b({"--flash-file", file});
        ASSERT_TRUE(b.booted);
        b.run(CS0_SETUP);
        EXPECT_EQ(b.peek(16, FLASH + 0xFFFFFE), 0x00A5u);
        EXPECT_EQ(b.peek(16, FLASH), 0xFFFFu);
        EXPECT_EQ(b.sim.stop().status, 0);
    }
    std::remove(file.c_str());
}

TEST(State, TraceRecordsDeviceAccessesInOrder) {
    const std::string file = "/tmp/korvin-sim-test-trace-" + std::to_string(getpid());
    {
        simulated_board b({"--trace-bus", file});
        ASSERT_TRUE(b.booted);
        b.run(concat({CS0_SETUP, FLASH_AUTOSELECT}));
        b.peek(16, FLASH + 2);
        b.run({{8, SDRAM + 0x33, 0}, {32, 0x10027000, 0x33F08107}});
        b.peek(32, 0xFFFF4C00); // internal RAM: not traced
        EXPECT_EQ(b.sim.stop().status, 0);
    }
    EXPECT_EQ(read_file(file), "w32 d8002000 00001302\n"
                               "w32 d8002004 01000511\n"
                               "w32 d8002008 010000c0\n"
                               "w16 c0000aaa 00aa\n"
                               "w16 c0000554 0055\n"
                               "w16 c0000aaa 0090\n"
                               "r16 c0000002 227e\n"
                               "w8 a0000033 00\n"
                               "w32 10027000 33f08107\n");
    std::remove(file.c_str());
}

} // namespace
} // namespace korvin::test
