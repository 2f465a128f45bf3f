// The boot image on boards in this process: the same bytes as korvin-sim sends over its
// pseudo-terminal, faults that show, and programs that end badly reported, not waited on.
#include "image_runner.h"
#include "monitor_client.h"
#include "process.h"
#include "sim/faults.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace korvin::test {
namespace {

std::vector<uint8_t> boot_image_bytes() {
    const std::string image = boot_image();
    return {image.begin(), image.end()};
}

sim::board_options with(const std::vector<std::string>& faults) {
    sim::board_options options;
    std::string error;
    for (const std::string& f : faults)
        if (!sim::parse_fault(f, options.faults, error))
            throw std::invalid_argument(error);
    return options;
}

sim::image_run run(const std::string& commands, const std::vector<std::string>& faults = {}) {
    sim::run_request request;
    request.image = boot_image_bytes();
    request.commands = commands;
    return sim::run_image(request, with(faults));
}

// ARM words, little-endian, as a program in internal RAM.
std::vector<uint8_t> program(const std::vector<uint32_t>& words) {
    std::vector<uint8_t> bytes;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return bytes;
}

// Each test's answer, traced, byte for byte as the monitor sends it over the pseudo-terminal.
TEST(ImageRunner, AGoodBoardAnswersAsOverThePseudoTerminal) {
    ASSERT_FALSE(boot_image().empty());
    for (const char test : {'1', '2', '3'}) {
        SCOPED_TRACE(std::string("command ") + test);
        const sim::image_run in_process = run(std::string("v") + test);
        ASSERT_TRUE(in_process.completed) << in_process.problem;
        ASSERT_EQ(in_process.answers.size(), 2u);

        simulator sim;
        monitor_client board(sim.port());
        ASSERT_EQ(board.boot(boot_image()), '?');
        const answer verbose = board.command('v');
        const answer tested = board.command(test);

        EXPECT_EQ(in_process.answers[0].trace, verbose.trace);
        EXPECT_EQ(in_process.answers[0].code, verbose.code);
        EXPECT_EQ(in_process.answers[1].command, test);
        EXPECT_EQ(in_process.answers[1].code, "0");
        EXPECT_EQ(in_process.answers[1].code, tested.code);
        EXPECT_EQ(trace_lines(in_process.answers[1].trace), trace_lines(tested.trace));
        EXPECT_GT(in_process.instructions, 0u);
    }
}

// A stuck line fails its memory's test with the mismatch in the trace, and the next board
// is fresh: the same test on it passes.
TEST(ImageRunner, AStuckLineFailsAndLeavesNothingBehind) {
    const struct {
        const char* fault;
        char test;
    } cases[] = {{"sdram:d5=1", '1'}, {"flash:d9=0", '2'}, {"sram:a3=1", '3'}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        const sim::image_run faulty = run(std::string("v") + c.test, {c.fault});
        ASSERT_TRUE(faulty.completed) << faulty.problem;
        EXPECT_NE(faulty.answers.back().code, "0");
        EXPECT_NE(faulty.answers.back().trace.find("*r"), std::string::npos);

        const sim::image_run good = run(std::string("v") + c.test);
        ASSERT_TRUE(good.completed) << good.problem;
        EXPECT_EQ(good.answers.back().code, "0");
    }
}

// Without 'v' the monitor sends no trace, only the result.
TEST(ImageRunner, QuietTestsSendOnlyTheResult) {
    const sim::image_run r = run("3", {"sram:d0=0"});
    ASSERT_TRUE(r.completed) << r.problem;
    EXPECT_EQ(r.answers.back().trace, "");
    EXPECT_NE(r.answers.back().code, "0");
}

// One engine per thread: boards run side by side give what they give one at a time.
TEST(ImageRunner, BoardsInThreadsAreIndependent) {
    const std::vector<std::string> faults = {"sram:d1=1", "sram:a6=0", "sdram:d30=0", ""};
    std::vector<sim::image_run> alone, together(faults.size());
    for (const std::string& f : faults)
        alone.push_back(run("v3", f.empty() ? std::vector<std::string>{} : std::vector{f}));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < faults.size(); ++i)
        threads.emplace_back([&, i] {
            together[i] =
                run("v3", faults[i].empty() ? std::vector<std::string>{} : std::vector{faults[i]});
        });
    for (std::thread& t : threads)
        t.join();
    for (size_t i = 0; i < faults.size(); ++i) {
        ASSERT_TRUE(together[i].completed) << faults[i] << ": " << together[i].problem;
        EXPECT_EQ(together[i].answers.back().trace, alone[i].answers.back().trace) << faults[i];
        EXPECT_EQ(together[i].answers.back().code, alone[i].answers.back().code) << faults[i];
    }
}

// A program that ends badly, hangs or never prompts ends the run with the reason.
TEST(ImageRunner, ARunThatGoesWrongIsReported) {
    const struct {
        const char* name;
        std::vector<uint8_t> image;
        sim::board_options options;
        const char* problem;
    } cases[] = {
        // mov r0, #0; ldr r1, [r0]: nothing is at address 0.
        {"bad access", program({0xE3A00000, 0xE5901000}), {}, "32-bit read of 0x00000000"},
        // b .: a loop that touches no device.
        {"hang", program({0xEAFFFFFE}), {}, "no prompt within the budget of 300 ms"},
        // svc #0: the image installs no exception vectors.
        {"exception", program({0xEF000000}), {}, "software interrupt (exception 2)"},
        // ldr r0, =UART1; ldr r1, [r0, #0xB4]; b .-4: polls the receiver, never prompts.
        {"silent",
         program({0xE59F0004, 0xE59010B4, 0xEAFFFFFD, 0x1000A000}),
         {},
         "waits on the line without a prompt"},
        {"too large", std::vector<uint8_t>(0xB401, 0), {}, "does not fit in internal RAM"},
        {"paced line", program({0xEAFFFFFE}),
         [] {
             sim::board_options o;
             o.line_rate = true;
             return o;
         }(),
         "need the pseudo-terminal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::run_request request;
        request.image = c.image;
        request.commands = "v";
        request.budget = std::chrono::milliseconds(300);
        const sim::image_run r = sim::run_image(request, c.options);
        EXPECT_FALSE(r.completed);
        EXPECT_NE(r.problem.find(c.problem), std::string::npos) << r.problem;
    }
}

} // namespace
} // namespace korvin::test
