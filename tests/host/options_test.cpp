// Option handling and test selection, in-process: what the parse decides.
#include "command_line.h"
#include "report.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace korvin {
namespace {

parsed_command_line parse(std::vector<std::string> args, bool posixly_correct = false) {
    args.insert(args.begin(), "korvin");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posixly_correct)
        setenv("POSIXLY_CORRECT", "1", 1);
    parsed_command_line p = parse_command_line(static_cast<int>(args.size()), argv.data());
    unsetenv("POSIXLY_CORRECT");
    return p;
}

std::string usage() {
    testing::internal::CaptureStderr();
    print_usage();
    return testing::internal::GetCapturedStderr();
}

TEST(Usage, IsEighteenLinesWithTheEmptyOnesWhereExpected) {
    const std::string text = usage();
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    EXPECT_EQ(start, text.size()) << "text must end with a line feed";
    ASSERT_EQ(lines.size(), 18u);
    for (int empty : {2, 4, 7, 9, 11, 13, 16, 18})
        EXPECT_EQ(lines[empty - 1], "") << "line " << empty;
    EXPECT_EQ(lines[14], std::string(16, ' ') + "values are 1 (COM1), 2 (COM2), etc.");
    EXPECT_EQ(lines[13].find("Use the specified"), 16u);
}

struct selection_case {
    std::vector<std::string> args;
    bool posixly_correct;
    std::int32_t port;
    std::string path;
    bool sdram, flash, sram, continuous, verbose;
};

void PrintTo(const selection_case& c, std::ostream* os) {
    for (const auto& a : c.args)
        *os << a << ' ';
    if (c.posixly_correct)
        *os << "(POSIXLY_CORRECT)";
}

class selection : public testing::TestWithParam<selection_case> {};

TEST_P(selection, FillsTheRunSettings) {
    const selection_case& c = GetParam();
    const parsed_command_line p = parse(c.args, c.posixly_correct);
    ASSERT_EQ(p.action, command_line_action::run) << p.message;
    EXPECT_TRUE(p.effects.empty());
    EXPECT_EQ(p.settings.port_number, c.port);
    EXPECT_EQ(p.settings.port_path, c.path);
    EXPECT_EQ(p.settings.test_sdram, c.sdram);
    EXPECT_EQ(p.settings.test_flash, c.flash);
    EXPECT_EQ(p.settings.test_sram, c.sram);
    EXPECT_EQ(p.settings.continuous, c.continuous);
    EXPECT_EQ(p.settings.verbose, c.verbose);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, selection,
    testing::Values(
        selection_case{{}, false, 1, "", true, true, true, false, false},
        selection_case{{"flash"}, false, 1, "", false, true, false, false, false},
        selection_case{{"sdram"}, false, 1, "", true, false, false, false, false},
        selection_case{{"sram"}, false, 1, "", false, false, true, false, false},
        selection_case{{"sdram", "sram"}, false, 1, "", true, true, true, false, false},
        selection_case{{"-p", "2"}, false, 2, "", true, true, true, false, false},
        selection_case{{"-p", "x"}, false, 0, "", true, true, true, false, false},
        selection_case{{"-p", "12abc"}, false, 12, "", true, true, true, false, false},
        selection_case{{"-p2", "-p", "3"}, false, 3, "", true, true, true, false, false},
        selection_case{
            {"-p", "/dev/ttyUSB0"}, false, 1, "/dev/ttyUSB0", true, true, true, false, false},
        selection_case{{"-p", "/dev/x", "-p", "4"}, false, 4, "", true, true, true, false, false},
        selection_case{{"-c", "-c", "-vc"}, false, 1, "", true, true, true, true, true},
        // GNU permutation: the name may stand anywhere.
        selection_case{{"sram", "-p", "2", "-v"}, false, 2, "", false, false, true, false, true},
        selection_case{{"-c", "flash", "-p5"}, false, 5, "", false, true, false, true, false},
        selection_case{{"-v", "sram"}, true, 1, "", false, false, true, false, true},
        selection_case{{"sram", "flash", "sdram"}, true, 1, "", true, true, true, false, false},
        // Windows port names on every system; bare device names on POSIX.
        selection_case{{"-p", "COM3"}, false, 3, "", true, true, true, false, false},
        selection_case{{"-p", "com12"}, false, 12, "", true, true, true, false, false},
        selection_case{{"-p", "cOm007"}, false, 7, "", true, true, true, false, false},
        selection_case{
            {"-p", "COM99999999999"}, false, INT32_MAX, "", true, true, true, false, false},
        selection_case{{"-p", "COM"}, false, 0, "", true, true, true, false, false},
        selection_case{{"-p", "COM3x"}, false, 0, "", true, true, true, false, false},
        selection_case{{"-p", "COM-3"}, false, 0, "", true, true, true, false, false},
        selection_case{{"-p", "-3"}, false, -3, "", true, true, true, false, false},
        selection_case{{"-p", "ttyUSB0"}, false, 1, "/dev/ttyUSB0", true, true, true, false, false},
        selection_case{{"-p", "ttyS1", "-p", "COM2"}, false, 2, "", true, true, true, false, false},
        selection_case{{"-p", "null"}, false, 1, "/dev/null", true, true, true, false, false},
        // A slash anywhere names a device, never a number (COM0).
        selection_case{{"-p", "./board"}, false, 1, "./board", true, true, true, false, false},
        selection_case{{"-p", "st/tty1"}, false, 1, "st/tty1", true, true, true, false, false},
        selection_case{{"--", "sdram"}, false, 1, "", true, false, false, false, false}));

// Every usage failure, in one place; cli_test runs a few through the binary.
TEST(selection, UsageFailures) {
    struct {
        std::vector<std::string> args;
        bool posixly_correct;
    } cases[] = {
        {{"-h"}, false},
        {{"-x"}, false},
        {{"-l"}, false},
        {{"-p"}, false},
        {{"--port=2"}, false},
        {{"sdram", "-h"}, false},
        {{"-h", "-x", "-l"}, false},
        {{"-p", "/dev/korvin-none", "-h"}, false},
        // A word that names no test, whatever stands beside it.
        {{"SDRAM"}, false},
        {{"ram"}, false},
        {{"-v", "Flash"}, false},
        {{"foo", "bar"}, false},
        {{"sdram", "foo"}, false},
        {{"sram", "flash", "Sdram"}, false},
        {{"-v", "sram", ""}, false},
        // Options after the name stay unparsed: "-p" and its path are words.
        {{"sram", "-p", "/dev/ttyUSB0"}, true},
        {{"sram", "-p", "2", "-v"}, true},
        {{"sdram", "sram", "-c"}, true},
    };
    for (const auto& c : cases) {
        const parsed_command_line p = parse(c.args, c.posixly_correct);
        EXPECT_EQ(p.action, command_line_action::usage_failure) << testing::PrintToString(c.args);
        EXPECT_TRUE(p.effects.empty()) << testing::PrintToString(c.args);
    }
}

TEST(selection, HelpEndsParsingBeforeLaterOptions) {
    const parsed_command_line p = parse({"-c", "-h", "-v", "-p", "7"});
    EXPECT_EQ(p.action, command_line_action::usage_failure);
    EXPECT_TRUE(p.settings.continuous);
    EXPECT_FALSE(p.settings.verbose);
    EXPECT_EQ(p.settings.port_number, 1);
}

// The effects come back in command-line order, up to the option that ends
// the parse; "l:" opens a log, "r:" checks a report path.
TEST(selection, EffectsInOrderThenTheAction) {
    using a = command_line_action;
    struct {
        std::vector<std::string> args;
        std::string effects;
        command_line_action action;
        std::string message;
    } cases[] = {
        {{"-l", "x", "-h"}, "l:x ", a::usage_failure, ""},
        {{"-h", "-l", "x"}, "", a::usage_failure, ""},
        {{"-l", "x", "ram"}, "l:x ", a::usage_failure, ""},
        {{"-l", "x", "sram", "-l", "y"}, "l:x l:y ", a::run, ""},
        {{"--report", "r", "-l", "x", "--report=s"}, "r:r l:x r:s ", a::run, ""},
        {{"-l", "x", "--wait", "0", "-l", "y"},
         "l:x ",
         a::message_failure,
         "The --wait option takes a whole number of seconds from 1 up, not '0'.\n"},
        {{"--timeout", "1.5", "-l", "x"},
         "",
         a::message_failure,
         "The --timeout option takes a whole number of seconds from 1 up, not '1.5'.\n"},
        {{"--station", "--count", "0"},
         "",
         a::message_failure,
         "The --count option takes a whole number of boards from 1 up, not '0'.\n"},
        {{"-p", "1", "--report-dir", "d", "--station", "-p", "2", "sram"}, "d:d ", a::station, ""},
        {{"--station", "-l", "x", "--report-dir", "d"},
         "l:x d:d ",
         a::message_failure,
         "The --station option runs each board once and keeps its records in --report-dir; it "
         "does not take -l.\n"},
        {{"-c", "--station"},
         "",
         a::message_failure,
         "The --station option runs each board once and keeps its records in --report-dir; it "
         "does not take -c.\n"},
        // A poke value wider than the access is refused before the port opens.
        {{"--poke", "0xc8000000=0x12345"},
         "",
         a::message_failure,
         "The --poke value 0x12345 does not fit in 16 bits.\n"},
        {{"--poke", "0xa0000000=0x100:8"},
         "",
         a::message_failure,
         "The --poke value 0x100 does not fit in 8 bits.\n"},
        {{"-l", "x", "--version", "-x"}, "l:x ", a::print_version, ""},
        {{"--list-ports", "-l", "x"}, "", a::list_ports, ""},
        {{"-l", "x", "--help", "ram"}, "l:x ", a::help, ""},
    };
    for (const auto& c : cases) {
        const parsed_command_line p = parse(c.args);
        std::string effects;
        for (const command_line_effect& e : p.effects)
            effects += (e.kind == effect_kind::open_log       ? "l:"
                        : e.kind == effect_kind::check_report ? "r:"
                                                              : "d:") +
                       e.path + " ";
        EXPECT_EQ(effects, c.effects) << testing::PrintToString(c.args);
        EXPECT_EQ(p.action, c.action) << testing::PrintToString(c.args);
        EXPECT_EQ(p.message, c.message) << testing::PrintToString(c.args);
    }
}

TEST(PortNumber, ConvertsLikeAtoiClampedToInt32) {
    struct {
        const char* text;
        std::int32_t value;
    } cases[] = {
        {"", 0},
        {"x", 0},
        {"-", 0},
        {"2", 2},
        {"12abc", 12},
        {" \t\n+7", 7},
        {"-1", -1},
        {"- 1", 0},
        {"007", 7},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-99999999999999999999999999", INT32_MIN},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_port_number(c.text), c.value) << '"' << c.text << '"';
}

} // namespace
} // namespace korvin
