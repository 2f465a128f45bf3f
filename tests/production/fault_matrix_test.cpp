// Every single stuck data line and tested word-index line of the three memories, injected into
// the simulated board: each must fail, and each the trace can identify must be named, and
// named right. The matrix runs the boot image on boards in this process and diagnoses the
// trace as korvin does; a few faults also go the whole way, korvin-sim and
// `korvin --diagnose` over a pseudo-terminal, and must be found the same.
#include "fault_universe.h"
#include "process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace korvin::test {
namespace {

const std::vector<std::uint8_t>& image() {
    static const std::vector<std::uint8_t> BYTES = read_image(bin("boot.bin"));
    return BYTES;
}

// The findings printed after "<heading>failed", one indented line each.
fault_outcome run_over_pty(const fault_case& f) {
    fault_outcome o;
    simulator sim({"--fault", f.text()});
    run_result r = run({bin("korvin"), "--diagnose", "-p", sim.port(), f.device->name}, {},
                       std::chrono::minutes(5));
    const std::string& out = r.out;
    const std::size_t heading = out.find(f.device->heading);
    if (r.status != 0 || heading == std::string::npos) {
        o.problem = "korvin ended with status " + std::to_string(r.status) + ": " + r.err;
        return o;
    }
    std::size_t pos = heading + std::string(f.device->heading).size();
    const bool detected = out.compare(pos, 7, "failed\n") == 0;
    std::vector<std::string> findings;
    for (pos += 7; detected && out.compare(pos, 4, "    ") == 0;) {
        const std::size_t end = out.find('\n', pos);
        findings.push_back(out.substr(pos + 4, end - pos - 4));
        pos = end + 1;
    }
    return judge(f, detected, findings);
}

// Runs `faults` in process and checks each against what the model says of it.
void expect_as_modelled(const std::vector<fault_case>& faults) {
    ASSERT_FALSE(image().empty()) << bin("boot.bin");
    // Each board is a core of its own: one worker per core.
    const std::vector<fault_outcome> outcomes = run_all_in_process(
        faults, image(), std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    int detected = 0, exactly = 0, among = 0, dead = 0;
    for (std::size_t i = 0; i < faults.size(); ++i) {
        const fault_outcome& o = outcomes[i];
        detected += o.detected;
        exactly += o.named_exactly;
        among += o.named && !o.named_exactly;
        dead += o.looks_dead;
        EXPECT_EQ(unexpected(faults[i], o), "") << faults[i].text() << "; findings:\n"
                                                << ::testing::PrintToString(o.findings);
    }
    std::printf("%zu faults: detected %d, named exactly %d, among candidates %d, FLASH looks "
                "dead %d\n",
                faults.size(), detected, exactly, among, dead);
}

TEST(FaultMatrix, EverySingleStuckLineIsDetectedAndNamed) {
    const std::vector<fault_case> faults = stuck_line_faults();
    ASSERT_EQ(faults.size(), 208u);
    expect_as_modelled(faults);
}

// Solder bridges join neighbouring lines; a cracked joint opens any line.
TEST(FaultMatrix, NeighbouringShortsAndOpenLinesAreDetectedAndNamed) {
    const std::vector<fault_case> faults = short_and_open_faults(true);
    ASSERT_EQ(faults.size(), 2u * (31 + 15 + 22 + 15 + 16) + 64);
    expect_as_modelled(faults);
}

// The SDRAM's address and bank pins stuck, open and shorted to their neighbours; every byte
// lane's line and every control line stuck and open.
TEST(FaultMatrix, NetsOfTheSchematicAreDetectedAndNamed) {
    const std::vector<fault_case> faults = net_faults(true);
    ASSERT_EQ(faults.size(), 3u * 14 + 2u * 13 + 3u * (4 + 2) + 3u * (5 + 3 + 3));
    expect_as_modelled(faults);
}

// The judge that decides the matrix: what counts as named, among candidates, or wrong.
TEST(FaultMatrix, JudgeTellsExactCandidateAndWrongNames) {
    const device_case& sram = DEVICES[2];
    const fault_case d3_low{&sram, fault_kind::stuck_data, 3, 0};
    const fault_case d3_d4_and{&sram, fault_kind::data_short, 3, 0, 4};
    const fault_case a4_low{&sram, fault_kind::stuck_address, 4, 0};
    const fault_case a4_a5_or{&sram, fault_kind::address_short, 4, 1, 5};
    const std::string a4 = "word-index bit 4 = chip pin A4 (word mode) = processor line A5";
    const std::string a5 = "word-index bit 5 = chip pin A5 (word mode) = processor line A6";
    // Names korvin must not print: lower case, a processor line run on, the neighbour's pins.
    const std::string a4_lower = "word-index bit 4 = chip pin a4 (word mode) = processor line a5";
    const std::string a4_a50 = "word-index bit 4 = chip pin A4 (word mode) = processor line A50";
    const std::string a5_a5 = "word-index bit 5 = chip pin A5 (word mode) = processor line A5";
    const struct {
        const fault_case& fault;
        std::string finding;
        bool exactly, among, wrongly;
    } cases[] = {
        {d3_low, "data line D3 stuck low: it reads 0 in every check, ...", true, false, false},
        {d3_low, "data line D3 stuck high: it reads 1 in every check, ...", false, false, true},
        {d3_low, "data line D3 reads wrong: 4 reads 0 for 1, ...", false, false, false},
        {d3_low, "data line D5 stuck low: it reads 0 in every check, ...", false, false, true},
        {d3_low, "data line D3 stuck low, or data line D3 open: the trace fits each", false, true,
         false},
        {d3_low, "data line D6 stuck low, or data line D6 open: the trace fits each", false, false,
         true},
        {d3_d4_and, "data lines D3 and D4 shorted (wired-AND): they always read alike", true, false,
         false},
        {d3_d4_and, "data lines D3 and D4 shorted (wired-OR): they always read alike", false, false,
         true},
        {d3_d4_and,
         "data line D3 shorted (wired-AND) to one of D4, D9 or D12: the trace fits "
         "each",
         false, true, false},
        {d3_d4_and, "data line D3 shorted (wired-AND) to one of D5 or D9: the trace fits each",
         false, false, false},
        {d3_d4_and, "address line stuck or shorted: " + a4 + " (2 mismatches)", false, false, true},
        {a4_low, "address line stuck or shorted: " + a4 + " (2 mismatches)", true, false, false},
        {a4_low, "address line stuck or shorted: " + a4_lower + " (2 mismatches)", false, false,
         true},
        {a4_low, "address line stuck or shorted: " + a4_a50 + " (2 mismatches)", false, false,
         true},
        {a4_a5_or, "address lines " + a4 + " and " + a5 + " shorted (wired-OR) (3 mismatches)",
         true, false, false},
        {a4_a5_or, "address lines " + a4 + " and " + a5_a5 + " shorted (wired-OR) (3 mismatches)",
         false, false, true},
        // Where the trace cannot tell the wiring, the finding leaves it out.
        {a4_a5_or, "address lines " + a4 + " and " + a5 + " shorted (4 mismatches)", true, false,
         false},
        {a4_a5_or, "address lines " + a4 + " and " + a5 + " shorted (wired-AND) (3 mismatches)",
         false, false, true},
        {a4_a5_or, "address line stuck or shorted: " + a4 + " (3 mismatches)", false, false, false},
        {a4_a5_or,
         "FLASH did not complete a program at 0xc0000004: the chip is absent or dead, "
         "D7 is stuck, its command cycles do not reach it, or a cell there will not program",
         false, false, false},
    };
    for (const auto& c : cases) {
        const fault_outcome o = judge(c.fault, true, {c.finding});
        EXPECT_EQ(o.named_exactly, c.exactly) << c.fault.text() << ": " << c.finding;
        EXPECT_EQ(o.named && !o.named_exactly, c.among) << c.fault.text() << ": " << c.finding;
        EXPECT_EQ(o.named_wrongly, c.wrongly) << c.fault.text() << ": " << c.finding;
    }
}

// The nets of a schematic: a pin by its chip and processor names whole, the levels the trace
// leaves open counted as candidates, a short by both pins and its wiring.
TEST(FaultMatrix, JudgeReadsTheNetsOfASchematic) {
    const device_case &sdram = DEVICES[0], &sram_device = DEVICES[2];
    const fault_case ma3_high{&sdram, fault_kind::stuck_pin, 3, 1};
    const fault_case ma6_low{&sdram, fault_kind::stuck_pin, 6, 0};
    const fault_case ba1_ma11_or{&sdram, fault_kind::bank_short, BANK_PIN + 1, 1, 11};
    const fault_case dqm2_high{&sdram, fault_kind::stuck_lane, 2, 1};
    const fault_case we_high{&sram_device, fault_kind::stuck_control, 2, 1};
    const fault_case cs_open{&sram_device, fault_kind::open_control, 0, 1};
    const std::string silent =
        "SRAM chip select CS1 stuck high or open, or SRAM output enable OE stuck high or open, or "
        "SRAM write enable WE stuck low: the trace fits each: the chip never drives the data "
        "lines";
    const struct {
        const fault_case& fault;
        std::string finding;
        bool exactly, among, wrongly;
    } cases[] = {
        {ma3_high,
         "SDRAM address pin A3 (processor MA3) stuck low, high or open: row and column "
         "bit 3 (4 mismatches)",
         false, true, false},
        {ma3_high, "SDRAM address pin A4 (processor MA4) stuck low, high or open", false, false,
         true},
        {ma6_low, "SDRAM address pin A6 (processor MA6) stuck low: row and column bit 6", true,
         false, false},
        {ma6_low, "SDRAM address pin A16 (processor MA16) stuck low", false, false, true},
        {ba1_ma11_or,
         "SDRAM bank pin BA1 and address pin A11 (processor BA1 and MA11) shorted (wired-OR) (3 "
         "mismatches)",
         true, false, false},
        {ba1_ma11_or,
         "SDRAM bank pin BA1 and address pin A11 (processor BA1 and MA11) shorted (wired-AND)",
         false, false, true},
        {dqm2_high, "SDRAM byte lane 2 (DQM2, bits 23-16) stuck high or open: the lane is ...",
         false, true, false},
        {dqm2_high, "SDRAM byte lane 3 (DQM3, bits 31-24) stuck high or open: the lane is ...",
         false, false, true},
        {we_high, "SRAM write enable WE stuck high or open: no store reaches the chip", false, true,
         false},
        {we_high, "SRAM write enable WE stuck low: every load reads back the bus", false, false,
         true},
        {cs_open, silent, false, true, false},
    };
    for (const auto& c : cases) {
        const fault_outcome o = judge(c.fault, true, {c.finding});
        EXPECT_EQ(o.named_exactly, c.exactly) << c.fault.text() << ": " << c.finding;
        EXPECT_EQ(o.named && !o.named_exactly, c.among) << c.fault.text() << ": " << c.finding;
        EXPECT_EQ(o.named_wrongly, c.wrongly) << c.fault.text() << ": " << c.finding;
    }
}

// Findings the judge passes over, as they must read: a FLASH code read through the stuck line,
// address-line mismatches that follow from it, units that alias in the data-bus test.
TEST(FaultMatrix, FindingsBesideTheNamedLineInFull) {
    ASSERT_FALSE(image().empty()) << bin("boot.bin");
    const struct {
        const device_case& device;
        const char* fault;
        std::vector<std::string> findings;
    } cases[] = {
        {DEVICES[1],
         "flash:d3=1",
         {"FLASH manufacturer code read 0x00CA, expected 0x0001 or 0x00C2; the data line fault "
          "below explains the difference from 0x00C2",
          "data line D3 stuck high: it reads 1 in every check, wrong under 16 patterns (first "
          "0x1, last 0x8000)",
          "address-line test: its 32 mismatches come from the data line fault above"}},
        // Column bit 0: the data-bus test's neighbours alias too.
        {DEVICES[0],
         "sdram:ma0=1",
         {"data-bus test: 64 values read back right but wrong once the next unit was written "
          "(first at offset 0x0): neighbouring units alias, an address line fault",
          "SDRAM address pin A0 (processor MA0) stuck low, high or open: row and column bit 0 (4 "
          "mismatches, first at offset 0x0 read 0xa)"}},
        {DEVICES[2],
         "sram:a0=1",
         {"data-bus test: 32 values read back right but wrong once the next unit was written "
          "(first at offset 0x0): neighbouring units alias, an address line fault",
          "address line stuck or shorted: word-index bit 0 = chip pin A0 (word mode) = processor "
          "line A1 (2 mismatches, first at offset 0x0 read 0x1)"}},
    };
    for (const auto& c : cases) {
        const diagnosed_run run = diagnose_in_process(c.device, {c.fault}, image());
        ASSERT_TRUE(run.ran) << c.fault << ": " << run.problem;
        EXPECT_EQ(run.findings, c.findings) << c.fault;
    }
}

// A data and an address fault of each memory and a few nets, korvin over the pseudo-terminal
// against the same fault in process: the in-process matrix stands for what a user would see.
class end_to_end : public ::testing::TestWithParam<const char*> {};

TEST_P(end_to_end, FindsWhatTheInProcessRunFinds) {
    const std::string text = GetParam();
    std::vector<fault_case> faults = stuck_line_faults();
    for (const auto& more : {short_and_open_faults(true), net_faults(true)})
        faults.insert(faults.end(), more.begin(), more.end());
    const auto f = std::find_if(faults.begin(), faults.end(),
                                [&](const fault_case& c) { return c.text() == text; });
    ASSERT_NE(f, faults.end());
    ASSERT_FALSE(image().empty()) << bin("boot.bin");

    const fault_outcome pty = run_over_pty(*f);
    const fault_outcome in_process = run_in_process(*f, image());
    ASSERT_TRUE(pty.ran) << pty.problem;
    ASSERT_TRUE(in_process.ran) << in_process.problem;
    EXPECT_TRUE(pty.detected);
    EXPECT_EQ(pty.problem, "");
    EXPECT_EQ(in_process.detected, pty.detected);
    EXPECT_EQ(in_process.findings, pty.findings);
}

INSTANTIATE_TEST_SUITE_P(OneOfEachKind, end_to_end,
                         ::testing::Values("sdram:d7=0", "sdram:ma3=1", "flash:d3=1", "flash:a15=0",
                                           "sram:d14=1", "sram:a4=0", "sdram:d3~d4=and",
                                           "flash:d12~d13=or", "sram:a4~a5=or", "sdram:d3=open",
                                           "sdram:dqm2=1", "sram:we=1", "sdram:cs=1"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == ':' || c == '=' || c == '~')
                                     c = '_';
                             return name;
                         });

// A fault-free board through the same paths passes with nothing to report, so the matrix's
// failures come from the faults.
TEST(FaultMatrix, AGoodBoardPassesWithoutFindings) {
    ASSERT_FALSE(image().empty()) << bin("boot.bin");
    for (const device_case& d : DEVICES) {
        simulator sim;
        run_result r = run({bin("korvin"), "--diagnose", "-p", sim.port(), d.name});
        EXPECT_EQ(r.status, 0);
        const std::string verdict = std::string(d.heading) + "passed\n";
        ASSERT_GE(r.out.size(), verdict.size());
        EXPECT_EQ(r.out.substr(r.out.size() - verdict.size()), verdict) << r.out;

        const diagnosed_run in_process = diagnose_in_process(d, {}, image());
        EXPECT_TRUE(in_process.ran) << d.name << ": " << in_process.problem;
        EXPECT_TRUE(in_process.passed) << d.name;
        EXPECT_TRUE(in_process.findings.empty()) << d.name;
    }
}

} // namespace
} // namespace korvin::test
