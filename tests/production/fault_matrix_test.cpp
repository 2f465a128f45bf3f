// Every single stuck data line and tested address line of the three memories,
// injected into korvin-sim and run through `korvin --diagnose`: each must
// fail, and each the trace can identify must be named, and named right.
#include "process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvin::test {
namespace {

struct device_case {
    const char* name; // as korvin and korvin-sim name it
    const char* heading;
    int data_lines;
    int address_bits; // word-index bits the address-line test walks
};

const device_case DEVICES[] = {
    {"sdram", "Testing SDRAM... ", 32, 23},
    {"flash", "Testing FLASH... ", 16, 23},
    {"sram", "Testing SRAM... ", 16, 17},
};

struct fault_case {
    const device_case* device;
    bool data; // a data line, else a word-index bit
    int line;
    int level;

    std::string text() const {
        return std::string(device->name) + ":" + (data ? "d" : "a") + std::to_string(line) + "=" +
               std::to_string(level);
    }
    // The FLASH's unlock cycles write word addresses 0x555 and 0x2AA: a stuck
    // bit among 0 to 10 sends them elsewhere, the chip takes no command, and
    // the first completion poll runs out as with a dead chip. The trace then
    // cannot tell which line it was.
    bool identifiable() const {
        return !(std::string(device->name) == "flash" && !data && line <= 10);
    }
};

struct fault_outcome {
    bool ran = false; // korvin ended normally with the verdict line
    bool detected = false;
    bool named = false;
    std::string problem; // why the naming is wrong, when it is
    std::vector<std::string> findings;
};

// The findings printed after "<heading>failed", one indented line each.
fault_outcome run_fault(const fault_case& f) {
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
    o.ran = true;
    std::size_t pos = heading + std::string(f.device->heading).size();
    o.detected = out.compare(pos, 7, "failed\n") == 0;
    if (!o.detected)
        return o;
    for (pos += 7; out.compare(pos, 4, "    ") == 0;) {
        const std::size_t end = out.find('\n', pos);
        o.findings.push_back(out.substr(pos + 4, end - pos - 4));
        pos = end + 1;
    }

    const std::string level = f.level ? "high" : "low";
    const std::string right = f.data ? "data line D" + std::to_string(f.line) + " stuck " + level
                                     : "word-index bit " + std::to_string(f.line) + " = ";
    for (const std::string& finding : o.findings) {
        if (finding.find(right) != std::string::npos) {
            o.named = true;
            continue;
        }
        // Any other line named is a wrong name.
        if (finding.find("data line D") != std::string::npos ||
            finding.find("word-index bit") != std::string::npos)
            o.problem = "names another line: " + finding;
    }
    // The address-line test only sees where a write went, not why.
    if (!f.data && o.named) {
        bool hedged = false;
        for (const std::string& finding : o.findings)
            hedged |= finding.find("stuck or shorted: " + right) != std::string::npos;
        if (!hedged)
            o.problem = "names the address line without \"stuck or shorted\"";
    }
    if (!f.identifiable() && !o.named) {
        bool seen = false;
        for (const std::string& finding : o.findings)
            seen |= finding.find("FLASH did not complete") != std::string::npos;
        if (!seen)
            o.problem = "does not say the FLASH stopped answering";
    }
    return o;
}

std::vector<fault_case> all_faults() {
    std::vector<fault_case> faults;
    for (const device_case& d : DEVICES)
        for (bool data : {true, false})
            for (int line = 0; line < (data ? d.data_lines : d.address_bits); ++line)
                for (int level : {0, 1})
                    faults.push_back({&d, data, line, level});
    return faults;
}

TEST(FaultMatrix, EverySingleStuckLineIsDetectedAndNamed) {
    const std::vector<fault_case> faults = all_faults();
    ASSERT_EQ(faults.size(), 254u);
    std::vector<fault_outcome> outcomes(faults.size());

    // Each run is a simulator and a korvin; they wait on each other, so a
    // few more workers than cores keep the machine busy.
    std::atomic<std::size_t> next{0};
    const unsigned workers = std::clamp(std::thread::hardware_concurrency() + 1, 2u, 9u);
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < workers; ++w)
        pool.emplace_back([&] {
            for (std::size_t i; (i = next++) < faults.size();) {
                try {
                    outcomes[i] = run_fault(faults[i]);
                } catch (const std::exception& e) {
                    outcomes[i].problem = e.what();
                }
            }
        });
    for (std::thread& t : pool)
        t.join();

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

// A fault-free board through the same path passes with nothing to report,
// so the matrix's failures come from the faults.
TEST(FaultMatrix, AGoodBoardPassesWithoutFindings) {
    for (const device_case& d : DEVICES) {
        simulator sim;
        run_result r = run({bin("korvin"), "--diagnose", "-p", sim.port(), d.name});
        EXPECT_EQ(r.status, 0);
        const std::string verdict = std::string(d.heading) + "passed\n";
        ASSERT_GE(r.out.size(), verdict.size());
        EXPECT_EQ(r.out.substr(r.out.size() - verdict.size()), verdict) << r.out;
    }
}

} // namespace
} // namespace korvin::test
