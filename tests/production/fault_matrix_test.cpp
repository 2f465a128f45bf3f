// Every single stuck data line and tested address line of the three memories, injected into
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

TEST(FaultMatrix, EverySingleStuckLineIsDetectedAndNamed) {
    ASSERT_FALSE(image().empty()) << bin("boot.bin");
    const std::vector<fault_case> faults = stuck_line_faults();
    ASSERT_EQ(faults.size(), 254u);
    // Each board is a core of its own: one worker per core.
    const std::vector<fault_outcome> outcomes = run_all_in_process(
        faults, image(), std::clamp(std::thread::hardware_concurrency(), 1u, 8u));

    int detected = 0, named = 0;
    std::string unnamed;
    for (std::size_t i = 0; i < faults.size(); ++i) {
        const fault_case& f = faults[i];
        const fault_outcome& o = outcomes[i];
        detected += o.detected;
        named += o.named;
        EXPECT_TRUE(o.ran) << f.text() << ": " << o.problem;
        EXPECT_TRUE(o.detected) << f.text() << " passed";
        EXPECT_EQ(o.problem, "") << f.text();
        if (f.identifiable())
            EXPECT_TRUE(o.named) << f.text() << " not named; findings:\n"
                                 << ::testing::PrintToString(o.findings);
        else if (!o.named && o.detected)
            unnamed +=
                "  " + f.text() + ": " + (o.findings.empty() ? "" : o.findings.back()) + "\n";
    }
    std::printf("Not named, because their unlock cycles miss the chip and it looks dead:\n%s",
                unnamed.c_str());
    std::printf("Fault matrix: detected %d / named %d / total %zu\n", detected, named,
                faults.size());
}

// A data and an address fault of each memory, korvin over the pseudo-terminal against the same
// fault in process: the in-process matrix stands for what a user would see.
class end_to_end : public ::testing::TestWithParam<const char*> {};

TEST_P(end_to_end, FindsWhatTheInProcessRunFinds) {
    const std::string text = GetParam();
    const std::vector<fault_case> faults = stuck_line_faults();
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
                         ::testing::Values("sdram:d7=0", "sdram:a12=1", "flash:d3=1", "flash:a15=0",
                                           "sram:d14=1", "sram:a4=0"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == ':' || c == '=')
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
