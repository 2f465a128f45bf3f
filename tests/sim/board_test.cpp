// korvin-sim driven from the host's end of its pseudo-terminal: the boot ROM exchange, and
// the device models through the peek-and-poke program.
#include "host_side.h"
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

constexpr uint32_t SDRAM = 0xA0000000, FLASH = 0xC0000000, SRAM = 0xC8000000;
constexpr uint32_t ESDCTL0 = 0xD8001000, ESDCFG0 = 0xD8001004, ESDMISC = 0xD8001010;
constexpr uint32_t CS0U = 0xD8002000, CS0L = 0xD8002004, CS0A = 0xD8002008;
constexpr uint32_t CS1U = 0xD8002010, CS1L = 0xD8002014, CS1A = 0xD8002018;

struct Access {
    unsigned bits;
    uint32_t address, value;
};

// The controller start-up that makes the SDRAM hold data.
const std::vector<Access> sdram_startup = {
    {32, ESDMISC, 0x4},
    {32, ESDCFG0, 0x006AC73A},
    {32, ESDCTL0, 0x92100000},
    {32, SDRAM + 0x400, 0},
    {32, ESDCTL0, 0xA2100000},
    {32, SDRAM, 0},
    {32, SDRAM, 0},
    {32, ESDCTL0, 0xB2100000},
    {8, SDRAM + 0x33, 0},
    {8, SDRAM + 0x1000000, 0},
    {32, ESDCTL0, 0x81126080},
    {32, SDRAM, 0},
    {32, ESDMISC, 0xC},
};
const std::vector<Access> cs0_setup = {
    {32, CS0U, 0x1302}, {32, CS0L, 0x01000511}, {32, CS0A, 0x010000C0}};
const std::vector<Access> cs1_setup = {
    {32, CS1U, 0xA03}, {32, CS1L, 0x01000511}, {32, CS1A, 0x01000080}};

std::vector<Access> flash_cycles(uint32_t sector, std::vector<std::pair<uint32_t, uint16_t>> c) {
    std::vector<Access> out;
    for (auto [offset, value] : c)
        out.push_back({16, sector + offset, value});
    return out;
}
std::vector<Access> flash_program(uint32_t address, uint16_t value) {
    auto c = flash_cycles(address & 0xFFFE0000, {{0xAAA, 0xAA}, {0x554, 0x55}, {0xAAA, 0xA0}});
    c.push_back({16, address, value});
    return c;
}
std::vector<Access> flash_erase(uint32_t sector) {
    return flash_cycles(
        sector,
        {{0xAAA, 0xAA}, {0x554, 0x55}, {0xAAA, 0x80}, {0xAAA, 0xAA}, {0x554, 0x55}, {0, 0x30}});
}
const auto flash_autoselect = flash_cycles(FLASH, {{0xAAA, 0xAA}, {0x554, 0x55}, {0xAAA, 0x90}});
const auto flash_reset = flash_cycles(FLASH, {{0, 0xF0}});

// A simulator with the peek-and-poke program started on it.
struct Board {
    explicit Board(const std::vector<std::string>& args = {})
        : sim(args), host(std::make_unique<HostSide>(sim.port())) {
        booted = host->boot(program("poke"));
    }
    void run(const std::vector<Access>& accesses) {
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
    std::unique_ptr<HostSide> host;
    bool booted = false;
};

std::vector<Access> concat(std::initializer_list<std::vector<Access>> parts) {
    std::vector<Access> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ---- boot ROM -----------------------------------------------------------------------------

TEST(BootRom, AnswersAndRefusesAsItsFaultsSay) {
    struct Case {
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
        HostSide host(sim.port());
        for (unsigned i = 0; i < c.silent_requests; ++i) {
            host.send(status_request());
            EXPECT_EQ(host.receive(4, 300ms), "");
        }
        host.send(status_request());
        EXPECT_EQ(le32(host.receive(4)), c.wake);
        EXPECT_EQ(host.receive(1, 50ms), "") << "the status word is followed by silence";
        host.send(frame(0x0404, 0xFFFF4C00, static_cast<uint32_t>(image.size()), 0xAA));
        EXPECT_EQ(le32(host.receive(4)), c.write);
        host.send(image);
        host.send(status_request());
        EXPECT_EQ(le32(host.receive(4, 300ms)), c.start);
        // The program answers only when it was started.
        host.send(std::string("w\0\0\0\xa0", 5));
        EXPECT_EQ(host.receive(4, 300ms).size(), c.start == 0x88888888 ? 4u : 0u);
    }
}

TEST(BootRom, NeverWakes) {
    simulator sim({"--fault", "boot:never-wakes"});
    HostSide host(sim.port());
    for (int i = 0; i < 3; ++i) {
        host.send(status_request());
        EXPECT_EQ(host.receive(4, 300ms), "");
    }
}

TEST(BootRom, IgnoresFramesItDoesNotTake) {
    simulator sim;
    HostSide host(sim.port());
    for (const std::string& f : {
             frame(0x0101, 0xFFFF4C00, 4, 0xAA),  // a command this board's host never sends
             frame(0x0404, 0xFFFF4C00, 16, 0xCC), // not an application image
             frame(0x0404, 0x20000000, 16, 0xAA), // not internal RAM
             frame(0x0404, 0xFFFFFFF0, 32, 0xAA), // runs past the top of internal RAM
         }) {
        host.send(f);
        EXPECT_EQ(host.receive(4, 200ms), "");
    }
    host.send(status_request());
    EXPECT_EQ(le32(host.receive(4)), 0x56787856u);
}

TEST(BootRom, DropsAPartialFrameAfterSilence) {
    simulator sim;
    HostSide host(sim.port());
    host.send("\x05\x05\x00");
    std::this_thread::sleep_for(250ms);
    host.send(status_request());
    EXPECT_EQ(le32(host.receive(4)), 0x56787856u);
}

// ---- devices ----------------------------------------------------------------------------

TEST(Devices, RecordedRegistersReadBack) {
    Board b;
    ASSERT_TRUE(b.booted);
    const std::vector<Access> regs = {{32, 0x10000000, 0x20040304}, {32, 0x10020000, 0},
                                      {32, 0x10000004, 0xDFFBFCFB}, {32, 0x10020004, 0xFFFFFFFF},
                                      {32, 0x10027000, 0x33F08107}, {32, ESDCFG0, 0x006AC73A},
                                      {32, CS1A, 0x01000080}};
    b.run(regs);
    for (const auto& r : regs)
        EXPECT_EQ(b.peek(32, r.address), r.value) << std::hex << r.address;
}

TEST(Devices, SdramHoldsDataOnlyAfterItsStartUp) {
    auto without = [](size_t step) {
        auto s = sdram_startup;
        s.erase(s.begin() + static_cast<long>(step));
        return s;
    };
    auto replaced = [](size_t step, Access a) {
        auto s = sdram_startup;
        s[step] = a;
        return s;
    };
    struct Case {
        const char* name;
        std::vector<Access> startup;
        bool holds;
    } cases[] = {
        {"full start-up", sdram_startup, true},
        {"none", {}, false},
        {"no precharge", without(3), false},
        {"precharge of one bank only", replaced(3, {32, SDRAM, 0}), false},
        {"one auto-refresh", without(5), false},
        {"no mode register", without(8), false},
        {"no extended mode register", without(9), false},
        {"other mode register", replaced(8, {8, SDRAM + 0x32, 0}), false},
        {"other geometry", replaced(10, {32, ESDCTL0, 0x82126080}), false},
        {"never normal", without(10), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Board b;
        ASSERT_TRUE(b.booted);
        b.run(c.startup);
        // Two different values: garbage cannot match both.
        bool held = true;
        for (uint32_t v : {0x12345678u, 0xEDCBA987u}) {
            b.run({{32, SDRAM + 0x100, v}});
            held = held && b.peek(32, SDRAM + 0x100) == v;
        }
        EXPECT_EQ(held, c.holds);
    }
}

TEST(Devices, SdramKeepsByteLanes) {
    Board b;
    ASSERT_TRUE(b.booted);
    b.run(sdram_startup);
    b.run({{32, SDRAM + 8, 0x11223344}, {8, SDRAM + 9, 0xAB}, {16, SDRAM + 10, 0xCDEF}});
    EXPECT_EQ(b.peek(32, SDRAM + 8), 0xCDEFAB44u);
    EXPECT_EQ(b.peek(8, SDRAM + 11), 0xCDu);
}

TEST(Devices, ChipSelectsAnswerOnlyAsEnabled16BitPorts) {
    struct Case {
        uint32_t csl;
        bool answers;
    } cases[] = {{0x01000511, true},
                 {0, false},
                 {0x01000510, false},
                 {0x01000311, false},
                 {0x01000611, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.csl);
        Board b;
        ASSERT_TRUE(b.booted);
        b.run({{32, CS1L, c.csl}, {16, SRAM + 2, 0x1234}});
        b.run({{32, CS1L, 0x01000511}});
        const uint32_t stored = b.peek(16, SRAM + 2);
        b.run({{32, CS1L, c.csl}});
        EXPECT_EQ(b.peek(16, SRAM + 2), c.answers ? 0x1234u : 0xFFFFu);
        EXPECT_EQ(stored == 0x1234u, c.answers);
        b.run(concat({{{32, CS0L, c.csl}}, flash_autoselect}));
        EXPECT_EQ(b.peek(16, FLASH), c.answers ? 0x00C2u : 0xFFFFu);
    }
}

TEST(Devices, SramIs256KilobytesRepeatingThroughItsWindow) {
    Board b;
    ASSERT_TRUE(b.booted);
    b.run(concat({cs1_setup, {{16, SRAM + 0x3FFFE, 0xBEEF}, {16, SRAM, 0x1111}}}));
    EXPECT_EQ(b.peek(16, SRAM + 0x3FFFE), 0xBEEFu);
    EXPECT_EQ(b.peek(16, SRAM + 0x40000), 0x1111u);
    EXPECT_EQ(b.peek(16, SRAM + 0x7FFFE), 0xBEEFu);
}

TEST(Flash, IdentifiesItselfInAutoselectUntilReset) {
    struct Case {
        std::vector<std::string> args;
        uint32_t manufacturer, device;
    } cases[] = {{{}, 0x00C2, 0x227E},
                 {{"--fault", "flash:id=0001:227e"}, 0x0001, 0x227E},
                 {{"--fault", "flash:id=89:1234"}, 0x0089, 0x1234},
                 {{"--fault", "flash:dead"}, 0xFFFF, 0xFFFF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "no fault" : c.args[1]);
        Board b(c.args);
        ASSERT_TRUE(b.booted);
        b.run(concat({cs0_setup, flash_autoselect}));
        EXPECT_EQ(b.peek(16, FLASH), c.manufacturer);
        EXPECT_EQ(b.peek(16, FLASH + 2), c.device);
        b.run(flash_reset);
        EXPECT_EQ(b.peek(16, FLASH), 0xFFFFu) << "read mode again: the erased array";
    }
}

TEST(Flash, ProgramClearsBitsAndEraseSetsTheSector) {
    Board b;
    ASSERT_TRUE(b.booted);
    const uint32_t word = FLASH + 0x20000 + 0x1234, neighbour = FLASH + 0x40000;
    b.run(concat({cs0_setup, flash_program(word, 0x12F4), flash_reset}));
    EXPECT_EQ(b.peek(16, word), 0x12F4u);
    b.run(concat({flash_program(word, 0xFF0F), flash_reset}));
    EXPECT_EQ(b.peek(16, word), 0x1204u) << "programming only clears bits";
    b.run(concat({flash_program(neighbour, 0), flash_reset}));
    // A plain store is no command: it changes nothing.
    b.run({{16, word + 2, 0}});
    EXPECT_EQ(b.peek(16, word + 2), 0xFFFFu);
    b.run(concat({flash_erase(FLASH + 0x20000), flash_reset}));
    EXPECT_EQ(b.peek(16, word), 0xFFFFu);
    EXPECT_EQ(b.peek(16, neighbour), 0u) << "the next sector keeps its word";
}

TEST(Flash, WrongCommandCyclesAreIgnored) {
    struct Case {
        const char* name;
        std::vector<Access> cycles;
    } cases[] = {
        {"first unlock at the wrong address",
         flash_cycles(FLASH, {{0xAA8, 0xAA}, {0x554, 0x55}, {0xAAA, 0xA0}, {0x10, 0}})},
        {"second unlock with the wrong data",
         flash_cycles(FLASH, {{0xAAA, 0xAA}, {0x554, 0x54}, {0xAAA, 0xA0}, {0x10, 0}})},
        {"program after autoselect without reset",
         concat({flash_autoselect, flash_program(FLASH + 0x10, 0)})},
        {"reset between unlock and command",
         flash_cycles(FLASH, {{0xAAA, 0xAA}, {0x554, 0x55}, {0, 0xF0}, {0xAAA, 0xA0}, {0x10, 0}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Board b;
        ASSERT_TRUE(b.booted);
        b.run(concat({cs0_setup, c.cycles, flash_reset}));
        EXPECT_EQ(b.peek(16, FLASH + 0x10), 0xFFFFu);
    }
}

TEST(Flash, Dq7ShowsTheOperationUntilItEnds) {
    // Slow enough that the first loads see the chip busy.
    Board b({"--flash-timing=300000,300"});
    ASSERT_TRUE(b.booted);
    b.run(concat({cs0_setup, flash_program(FLASH + 0x100, 0x0012)}));
    EXPECT_EQ(b.peek(16, FLASH + 0x100) & 0x80, 0x80u) << "complement of bit 7 while programming";
    EXPECT_GT(b.host->poll16(FLASH + 0x100, 0x80, 0x00).value_or(0), 1u);
    EXPECT_EQ(b.peek(16, FLASH + 0x100), 0x0012u);
    b.run(flash_erase(FLASH));
    EXPECT_EQ(b.peek(16, FLASH + 0x100) & 0x80, 0u) << "0 while erasing";
    EXPECT_GT(b.host->poll16(FLASH, 0x80, 0x80).value_or(0), 1u);
    b.run(flash_reset);
    EXPECT_EQ(b.peek(16, FLASH + 0x100), 0xFFFFu);
}

TEST(Flash, WithoutTimingOperationsEndAtOnce) {
    Board b;
    ASSERT_TRUE(b.booted);
    b.run(concat({cs0_setup, flash_program(FLASH + 0x100, 0x0012)}));
    EXPECT_EQ(b.host->poll16(FLASH + 0x100, 0x80, 0x00), 1u);
    b.run(flash_erase(FLASH));
    EXPECT_EQ(b.host->poll16(FLASH, 0x80, 0x80), 1u);
}

// ---- stuck lines --------------------------------------------------------------------------

TEST(Faults, StuckLinesShowOnLoads) {
    struct Case {
        std::string fault;
        std::vector<Access> setup;
        unsigned bits;
        uint32_t address;
        uint32_t written, read; // written at `address`, read back there
    } cases[] = {
        {"sdram:d3=0", sdram_startup, 32, SDRAM + 0x40, 0xFFFFFFFF, 0xFFFFFFF7},
        {"sdram:d31=1", sdram_startup, 32, SDRAM + 0x40, 0, 0x80000000},
        {"sdram:d9=1", sdram_startup, 8, SDRAM + 0x41, 0, 0x02}, // byte lane 1
        {"flash:d5=0", cs0_setup, 16, FLASH + 0x40, 0xFFFF, 0xFFDF},
        {"flash:d12=1", cs0_setup, 16, FLASH + 0x40, 0x0000, 0x1000},
        {"sram:d0=0", cs1_setup, 16, SRAM + 0x40, 0xFFFF, 0xFFFE},
        {"sram:d15=1", cs1_setup, 16, SRAM + 0x40, 0, 0x8000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        Board b({"--fault", c.fault});
        ASSERT_TRUE(b.booted);
        b.run(c.setup);
        if (c.address >= FLASH && c.address < SRAM) {
            if (c.written != 0xFFFF)
                b.run(concat(
                    {flash_program(c.address, static_cast<uint16_t>(c.written)), flash_reset}));
        } else
            b.run({{c.bits, c.address, c.written}});
        EXPECT_EQ(b.peek(c.bits, c.address), c.read);
    }
}

TEST(Faults, StuckAddressLinesAliasWords) {
    // Word-index bit 5 stuck: the word at index 0 and the one at index 32 are one cell.
    struct Case {
        std::string fault;
        std::vector<Access> setup;
        uint32_t base;
        unsigned bits, unit;
    } cases[] = {
        {"sdram:a5=1", sdram_startup, SDRAM, 32, 4},
        {"sdram:a5=0", sdram_startup, SDRAM, 32, 4},
        {"sram:a5=1", cs1_setup, SRAM, 16, 2},
        {"sram:a5=0", cs1_setup, SRAM, 16, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        Board b({"--fault", c.fault});
        ASSERT_TRUE(b.booted);
        b.run(
            concat({c.setup, {{c.bits, c.base, 0x0101}, {c.bits, c.base + 32 * c.unit, 0x0202}}}));
        EXPECT_EQ(b.peek(c.bits, c.base), 0x0202u);
        EXPECT_EQ(b.peek(c.bits, c.base + 4 * c.unit), b.peek(c.bits, c.base + 36 * c.unit));
    }
}

TEST(Faults, FlashAddressLineReachesTheCommandCycles) {
    // A0 stuck high turns the unlock address 0x2AA into 0x2AB: no command gets through.
    Board stuck({"--fault", "flash:a0=1"});
    ASSERT_TRUE(stuck.booted);
    stuck.run(concat({cs0_setup, flash_autoselect}));
    EXPECT_EQ(stuck.peek(16, FLASH), 0xFFFFu);
    // A12 stuck high is above the decoded A10..A0: commands work, words 0 and 0x1000 alias.
    Board high({"--fault", "flash:a12=1"});
    ASSERT_TRUE(high.booted);
    high.run(concat({cs0_setup, flash_autoselect}));
    EXPECT_EQ(high.peek(16, FLASH), 0x00C2u);
    high.run(concat({flash_reset, flash_program(FLASH, 0x0055), flash_reset}));
    EXPECT_EQ(high.peek(16, FLASH + 0x2000), 0x0055u);
}

// ---- stops ----------------------------------------------------------------------------------

bool is_load_or_store(uint32_t insn) {
    const uint32_t kind = (insn >> 25) & 7;
    const bool word_or_byte = kind == 2 || kind == 3;
    const bool halfword = kind == 0 && (insn & 0x90) == 0x90;
    return word_or_byte || halfword;
}

TEST(Stops, AnAccessTheBoardDoesNotHaveEndsTheRun) {
    struct Case {
        const char* name;
        std::vector<Access> setup;
        unsigned bits;
        bool write;
        uint32_t address;
    } cases[] = {
        {"8-bit store to the FLASH", cs0_setup, 8, true, FLASH + 0x10},
        {"32-bit load from the SRAM", cs1_setup, 32, false, SRAM},
        {"16-bit load from the SDRAM controller", {}, 16, false, ESDCTL0},
        {"a missing SDRAM controller register", {}, 32, false, 0xD8001008},
        {"a missing WEIM register", {}, 32, true, 0xD8002020},
        {"a UART1 control register", {}, 32, false, 0x1000A080},
        {"a store to URXD", {}, 32, true, 0x1000A000},
        {"8-bit load from UTS", {}, 8, false, 0x1000A0B4},
        {"nothing there", {}, 32, false, 0x20000000},
        {"past the SDRAM", {}, 32, true, 0xA2000000},
        {"past the FLASH", cs0_setup, 16, false, 0xC1000000},
        {"a missing AIPI register", {}, 32, true, 0x10000008},
    };
    const std::string image = program("poke");
    const std::regex message(
        "korvin-sim: (8|16|32)-bit (read|write) of 0x([0-9a-f]{8}) at pc 0x([0-9a-f]{8}): .+\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Board b;
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

TEST(Stops, AJumpOutOfInternalRamEndsTheRun) {
    Board b;
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
        HostSide host(sim.port());
        EXPECT_TRUE(host.boot(program(name)));
        const run_result r = sim.process().wait(20s);
        EXPECT_EQ(r.status, 3) << name;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

TEST(Stops, SigtermEndsARunawayProgramAndRemovesTheLink) {
    const std::string link = "/tmp/korvin-sim-test-link-" + std::to_string(getpid());
    Board b({"--link", link});
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

TEST(Stops, UsageErrorsNameTheBadSpec) {
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
    EXPECT_NE(help.out.find("--fault SPEC"), std::string::npos);
}

// ---- state across runs ------------------------------------------------------------------

TEST(State, ClosingTheLineResetsTheBoardButKeepsMemory) {
    Board b;
    ASSERT_TRUE(b.booted);
    b.run(concat({cs1_setup,
                  {{16, SRAM + 0x100, 0x5A5A}},
                  cs0_setup,
                  flash_program(FLASH + 0x100, 0x1234),
                  flash_reset}));
    b.host->close();
    // The boot ROM answers again: the program's state is gone.
    b.host = std::make_unique<HostSide>(b.sim.port());
    ASSERT_TRUE(b.host->boot(program("poke")));
    EXPECT_EQ(b.peek(16, SRAM + 0x100), 0xFFFFu) << "chip select 1 is closed after the reset";
    b.run(concat({cs1_setup, cs0_setup}));
    EXPECT_EQ(b.peek(16, SRAM + 0x100), 0x5A5Au);
    EXPECT_EQ(b.peek(16, FLASH + 0x100), 0x1234u);
}

TEST(State, ClosingTheLineStopsARunawayProgram) {
    Board b;
    ASSERT_TRUE(b.booted);
    b.host->spin();
    std::this_thread::sleep_for(100ms);
    b.host->close();
    b.host = std::make_unique<HostSide>(b.sim.port());
    EXPECT_TRUE(b.host->boot(program("poke")));
}

TEST(State, PacedLineCarriesTheSameBytes) {
    Board b({"--line-rate"});
    ASSERT_TRUE(b.booted);
    b.run(concat({cs1_setup, {{16, SRAM + 0x10, 0xC0DE}}}));
    EXPECT_EQ(b.peek(16, SRAM + 0x10), 0xC0DEu);
}

TEST(State, FlashFileKeepsTheArrayAcrossRuns) {
    const std::string file = "/tmp/korvin-sim-test-flash-" + std::to_string(getpid());
    std::remove(file.c_str());
    {
        Board b({"--flash-file", file});
        ASSERT_TRUE(b.booted);
        b.run(concat({cs0_setup, flash_program(FLASH + 0xFFFFFE, 0x00A5)}));
        EXPECT_EQ(b.sim.stop().status, 0);
    }
    EXPECT_EQ(read_file(file).size(), 16u << 20);
    {
        Board b({"--flash-file", file});
        ASSERT_TRUE(b.booted);
        b.run(cs0_setup);
        EXPECT_EQ(b.peek(16, FLASH + 0xFFFFFE), 0x00A5u);
        EXPECT_EQ(b.peek(16, FLASH), 0xFFFFu);
        EXPECT_EQ(b.sim.stop().status, 0);
    }
    std::remove(file.c_str());
}

TEST(State, TraceRecordsDeviceAccessesInOrder) {
    const std::string file = "/tmp/korvin-sim-test-trace-" + std::to_string(getpid());
    {
        Board b({"--trace-bus", file});
        ASSERT_TRUE(b.booted);
        b.run(concat({cs0_setup, flash_autoselect}));
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
