// The korvin binary as a user runs it, against a scripted board on a
// pseudo-terminal: every stream and the bytes sent, byte for byte.
#include "boot_bench_image.h"
#include "boot_image.h"
#include "explain.h"
#include "korvin_output.h"
#include "peer.h"
#include "process.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <tuple>

namespace korvin::test {
namespace {

const std::string STATUS_REQUEST = bytes({5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});

std::string image() {
    return std::string(reinterpret_cast<const char*>(boot_image), boot_image_size);
}

// For the image of DOWNLOADING_IMAGE_SIZE (0x9B0) bytes.
const std::string WRITE_FILE_FRAME =
    bytes({4, 4, 0xFF, 0xFF, 0x4C, 0, 0, 0, 0, 0x09, 0xB0, 0, 0, 0, 0, 0xAA});

// What korvin sends up to the start of the monitor.
std::string download_bytes() {
    return STATUS_REQUEST + WRITE_FILE_FRAME + image() + STATUS_REQUEST;
}

std::vector<step> script(std::vector<step> a, const std::vector<step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string usage() {
    return run({bin("korvin"), "-h"}).err;
}

TEST(Cli, ExpectedDownloadIsWrittenForThisImage) {
    EXPECT_EQ(boot_image_size, DOWNLOADING_IMAGE_SIZE)
        << "DOWNLOADING and WRITE_FILE_FRAME need working out anew for this length";
}

// What a run without the bench options downloads (download_bytes) is the
// target build's boot.bin byte for byte; the bench monitor is another image.
TEST(Cli, EmbeddedImagesAreTheTargetBuildsImages) {
    const std::string bench(reinterpret_cast<const char*>(boot_bench_image), boot_bench_image_size);
    EXPECT_EQ(image(), read_file(bin("boot.bin")));
    EXPECT_EQ(bench, read_file(bin("boot_bench.bin")));
    EXPECT_NE(image(), bench);
}

// A few of options_test's usage failures, as the binary answers them.
TEST(Cli, UsageFailuresPrintOnlyTheUsageText) {
    const std::string text = usage();
    EXPECT_EQ(text.substr(0, 14), "Usage: korvin ");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-h"}, {"-x"}, {"ram"}, {"-p", "/dev/korvin-none", "-h"}}) {
        std::vector<std::string> argv{bin("korvin")};
        argv.insert(argv.end(), args.begin(), args.end());
        const run_result r = run(argv);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_EQ(r.err, text) << args[0];
    }
}

TEST(Cli, LogFileIsAnnouncedBeforeTheUsageTextAndLeftEmpty) {
    const std::string log = temp_path("help.log");
    std::FILE* f = std::fopen(log.c_str(), "w");
    std::fputs("old contents", f);
    std::fclose(f);
    const run_result r = run({bin("korvin"), "-l", log, "-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Logging to '" + log + "'\n");
    EXPECT_EQ(r.err, usage());
    struct stat st {};
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    unlink(log.c_str());
}

TEST(Cli, OpenFailures) {
    const std::string log = temp_path("open.log");
    struct {
        std::vector<std::string> args;
        std::string out, err;
    } cases[] = {
        {{"-l", "/korvin-no-dir/x.log"}, "", "Could not open logfile '/korvin-no-dir/x.log'.\n"},
        // The first failing -l or --report ends the program there.
        {{"-l", "/korvin-no-dir/x.log", "-l", log, "-h"},
         "",
         "Could not open logfile '/korvin-no-dir/x.log'.\n"},
        {{"-l", log, "-l", "/korvin-no-dir/x.log"},
         "Logging to '" + log + "'\n",
         "Could not open logfile '/korvin-no-dir/x.log'.\n"},
        {{"--report", "/korvin-no-dir/r.xml", "-l", log},
         "",
         "Could not write report '/korvin-no-dir/r.xml'.\n"},
        {{"-l", log, "--report", "/korvin-no-dir/r.xml", "-h"},
         "Logging to '" + log + "'\n",
         "Could not write report '/korvin-no-dir/r.xml'.\n"},
        {{"-p", "x", "sdram"}, "", "Could not open serial port COM0.\n"},
        {{"-p", "-1"}, "", "Could not open serial port COM-1.\n"},
        {{"-p", "99999999999", "sram"}, "", "Could not open serial port COM2147483647.\n"},
        {{"-p", "-99999999999"}, "", "Could not open serial port COM-2147483648.\n"},
        {{"-p", "/dev/korvin-none"}, "", "Could not open serial port /dev/korvin-none.\n"},
        {{"-l", log, "-p", "0"},
         "Logging to '" + log + "'\n",
         "Could not open serial port COM0.\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{bin("korvin")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const run_result r = run(argv);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(read_file(log), "");
    unlink(log.c_str());
}

struct run_case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> replies; // the monitor's answers, in command order
    std::string commands;             // the command bytes korvin must send
    std::string run_output;           // what the test run prints and logs
    bool warns;
};

void PrintTo(const run_case& c, std::ostream* os) {
    *os << c.name;
}

class run_test : public testing::TestWithParam<run_case> {};

TEST_P(run_test, PrintsLogsAndSendsExactly) {
    const run_case& c = GetParam();
    // Trace left over on the line before the first prompt is not relayed.
    std::vector<step> monitor{send("left over\r\n")};
    for (const step& s : monitor_answers(c.replies))
        monitor.push_back(s);
    scripted_peer peer(script(boot_rom_accepts(boot_image_size), monitor));
    const std::string log = temp_path(std::string(c.name) + ".log");
    std::vector<std::string> argv{bin("korvin"), "-p", peer.path(), "-l", log};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const run_result r = run(argv, {}, std::chrono::seconds(30));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Logging to '" + log + "'\n" + (c.warns ? WARNING : "") + WAKING +
                         DOWNLOADING + c.run_output);
    EXPECT_EQ(read_file(log), c.run_output);
    EXPECT_EQ(peer.received(), download_bytes() + c.commands);
    unlink(log.c_str());
}

const std::string SRAM_TRACE = "Dc8000000\r\nW c8000000 1\r\nR c8000000 1\r\n";

INSTANTIATE_TEST_SUITE_P(
    Runs, run_test,
    testing::Values(
        run_case{"sdram", {"sdram"}, {":0"}, "1", "Testing SDRAM... passed\n", false},
        run_case{"sdram_fails", {"sdram"}, {":2"}, "1", "Testing SDRAM... failed\n", false},
        run_case{"flash", {"flash"}, {":0"}, "2", "Testing FLASH... passed\n", true},
        // Only the first digit counts; the rest is discarded with the next prompt.
        run_case{"all",
                 {},
                 {":0", ":a1", ":00"},
                 "123",
                 "Testing SDRAM... passed\nTesting FLASH... failed\nTesting SRAM... passed\n",
                 true},
        run_case{"two_names",
                 {"sdram", "sram"},
                 {":1", ":0", ":0"},
                 "123",
                 "Testing SDRAM... failed\nTesting FLASH... passed\nTesting SRAM... passed\n",
                 true},
        run_case{"verbose",
                 {"-v", "sram"},
                 {":0", SRAM_TRACE + std::string(1, '\0') + "M c8000000 1 0\r\n:1"},
                 "v3",
                 "Testing SRAM...\n" + SRAM_TRACE + std::string(1, '\0') +
                     "M c8000000 1 0\r\nfailed\n",
                 false}),
    [](const testing::TestParamInfo<run_case>& info) { return info.param.name; });

// A FLASH whose erase never ends its status (the bench's poll bound runs out) ends its
// full test at that sector.
TEST(Cli, FullTestOfAFlashThatNeverFinishesItsErase) {
    scripted_peer peer(script(boot_rom_accepts(boot_bench_image_size),
                              {send("?"), expect(1), send(":0?"), expect(1), send(":0?"),
                               expect(17), send("T c0000000\r\n:8?")}));
    const run_result r = run({bin("korvin"), "-p", peer.path(), "--full-range", "1", "flash"}, {},
                             std::chrono::seconds(30));
    EXPECT_EQ(r.status, 0) << r.err;
    const auto at = r.out.find("Testing FLASH");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(at), "Testing FLASH... passed\nFull test of FLASH... failed\n"
                                "    FLASH sector 0 (0xc0000000) never finished its erase: the "
                                "status polls ran out\n");
    const std::string sent = peer.received();
    EXPECT_EQ(sent.substr(sent.size() - 19), "2ie"
                                             "c0000000"
                                             "00020000");
}

TEST(Cli, WakeUpAnswers) {
    struct {
        std::vector<std::string> answers; // to successive status requests; then ready
        std::size_t requests;
    } cases[] = {
        {{READY_ALT}, 1},
        {{bytes({0x00, 0x56, 0x78, 0x78, 0x56})}, 1},
        {{bytes({0x78, 0x78, 0x56})}, 2},
        {{bytes({0x56, 0x78, 0x78, 0x56, 0x00})}, 2},
        {{"", bytes({0x12})}, 3}, // silence costs a second, then an answer that is not ready
    };
    for (const auto& c : cases) {
        std::vector<step> s;
        for (std::size_t i = 0; i + 1 < c.requests; ++i) {
            s.push_back(expect(16));
            if (!c.answers[i].empty())
                s.push_back(send(c.answers[i]));
        }
        s.push_back(expect(16));
        s.push_back(send(c.requests == 1 ? c.answers[0] : READY));
        for (const step& t : std::vector<step>{expect(16), send(READY), expect(boot_image_size),
                                               expect(16), send(COMPLETE)})
            s.push_back(t);
        scripted_peer peer(script(s, monitor_answers({":0"})));
        const run_result r =
            run({bin("korvin"), "-p", peer.path(), "sram"}, {}, std::chrono::seconds(30));
        EXPECT_EQ(r.status, 0) << c.requests;
        EXPECT_EQ(r.out, WAKING + DOWNLOADING + "Testing SRAM... passed\n");
        std::string sent;
        for (std::size_t i = 0; i < c.requests; ++i)
            sent += STATUS_REQUEST;
        EXPECT_EQ(peer.received(), sent + WRITE_FILE_FRAME + image() + STATUS_REQUEST + "3");
    }
}

TEST(Cli, RefusedDownloadOrStart) {
    const std::string fails_download = "\rCould not initiate code download.\n";
    const std::string fails_start = "\rCould not start code execution.\n";
    struct {
        std::vector<step> after_wake; // from the write-file command on
        std::string err;
        std::string sent_after_frame;
    } cases[] = {
        {{expect(16)}, fails_download, ""},
        {{expect(16), send(READY_ALT)}, fails_download, ""},
        {{expect(16), send(bytes({0x78, 0x78, 0x56}))}, fails_download, ""},
        {{expect(16), send(READY), expect(boot_image_size), expect(16)},
         fails_start,
         image() + STATUS_REQUEST},
        {{expect(16), send(READY), expect(boot_image_size), expect(16), send(READY)},
         fails_start,
         image() + STATUS_REQUEST},
        // Bytes after the ready answer stay on the line and spoil the next status.
        {{expect(16), send(READY + bytes({0x12, 0x34})), expect(boot_image_size), expect(16),
          send(COMPLETE)},
         fails_start,
         image() + STATUS_REQUEST},
    };
    const std::string log = temp_path("refused.log");
    for (const auto& c : cases) {
        scripted_peer peer(script({expect(16), send(READY)}, c.after_wake));
        const run_result r = run({bin("korvin"), "-p", peer.path(), "-l", log, "flash"}, {},
                                 std::chrono::seconds(30));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        const std::string logging = "Logging to '" + log + "'\n";
        if (c.err == fails_download)
            EXPECT_EQ(r.out, logging + WARNING + WAKING + "Downloading boot code...(  0%)");
        else
            EXPECT_EQ(r.out, logging + WARNING + WAKING + DOWNLOADING);
        EXPECT_EQ(peer.received(), STATUS_REQUEST + WRITE_FILE_FRAME + c.sent_after_frame);
        EXPECT_EQ(read_file(log), "");
    }
    unlink(log.c_str());
}

TEST(Cli, ContinuousRunKeepsItsLogWhenInterrupted) {
    // Three passes, then the monitor falls silent before its fourth prompt.
    std::vector<step> s = script(boot_rom_accepts(boot_image_size),
                                 monitor_answers({":0", ":0", "T\r\n:0", ":0", ""}));
    s.pop_back();
    s.push_back(send(":4"));
    const std::string log = temp_path("continuous.log");
    scripted_peer peer(s);
    child_process korvin({bin("korvin"), "-c", "-v", "-p", peer.path(), "-l", log, "flash"});
    const std::string pass = "Testing FLASH...\n";
    const std::string run_output =
        pass + "T\r\npassed\n" + pass + "passed\n" + pass + "failed\n" + pass;
    ASSERT_TRUE(korvin.wait_for_output(run_output)) << korvin.out();
    ASSERT_TRUE(peer.wait_done());
    korvin.signal(SIGINT);
    const run_result r = korvin.wait(std::chrono::seconds(10));
    EXPECT_EQ(r.term_signal, SIGINT);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(log), run_output);
    // 'v' and 's' go out once, before the first pass.
    EXPECT_EQ(peer.received(), download_bytes() + "vs222");
    unlink(log.c_str());
}

// The test run's record when the link fails or the board falls silent: the
// reason on a line of its own, the log's last line, the report so far.
struct interruption_case {
    const char* name;
    std::vector<step> script;
    std::vector<std::string> args;
    std::string out_tail;                // after "Logging to ..."
    std::string log;                     // before the reason's line
    std::vector<std::string> report_has; // empty: no report is written
};

void check_interruption(const interruption_case& c, const std::string& reason,
                        const std::vector<std::string>& extra_args) {
    scripted_peer peer(c.script);
    const std::string log = temp_path(std::string(c.name) + ".log");
    const std::string report = temp_path(std::string(c.name) + ".xml");
    std::vector<std::string> argv{bin("korvin"), "-p", peer.path(), "-l", log, "--report", report};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const run_result r = run(argv, {}, std::chrono::seconds(30));
    const std::string why =
        reason.empty() ? "Could not read from serial port " + peer.path() + "." : reason;
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.err, why + "\n") << c.name;
    EXPECT_EQ(r.out, "Logging to '" + log + "'\n" + c.out_tail) << c.name;
    if (c.report_has.empty()) {
        // Before the test run nothing was measured, and the log stays empty.
        EXPECT_EQ(read_file(log), "") << c.name;
        EXPECT_EQ(access(report.c_str(), F_OK), -1) << c.name;
    } else {
        EXPECT_EQ(read_file(log), c.log + why + "\n") << c.name;
        const std::string xml = read_file(report);
        for (const std::string& part : c.report_has)
            EXPECT_NE(xml.find(part), std::string::npos) << c.name << ": " << part << "\n" << xml;
        EXPECT_NE(xml.find("<error message=\"" + why + "\" type=\"link lost\"/>"),
                  std::string::npos)
            << c.name << "\n"
            << xml;
    }
    unlink(log.c_str());
    unlink(report.c_str());
}

const std::string SRAM_ERROR_CASE = "<testcase classname=\"korvin\" name=\"sram\"";

TEST(Cli, LinkLossEndsTheRunWithTheRecordKept) {
    const interruption_case cases[] = {
        {"waking",
         {expect(16), hang_up()},
         {"sram"},
         "Waiting for the board to wake up...",
         "",
         {}},
        {"write_file",
         {expect(16), send(READY), expect(16), hang_up()},
         {"sram"},
         WAKING + "Downloading boot code...(  0%)",
         "",
         {}},
        {"mode_command",
         script(boot_rom_accepts(boot_image_size), {send("?"), expect(1), pause(300), hang_up()}),
         {"-v", "sram"},
         WAKING + DOWNLOADING,
         "",
         {"tests=\"1\"", "errors=\"1\"", "<testcase classname=\"korvin\" name=\"monitor\""}},
        {"prompt",
         script(boot_rom_accepts(boot_image_size), {pause(300), hang_up()}),
         {"sram"},
         WAKING + DOWNLOADING + "Testing SRAM... \n",
         "Testing SRAM... \n",
         {"tests=\"1\"", "errors=\"1\"", "failures=\"0\"", SRAM_ERROR_CASE}},
        {"relay",
         script(boot_rom_accepts(boot_image_size), {send("?"), expect(1), send(":0?"), expect(1),
                                                    send("D c8\r\nW"), pause(300), hang_up()}),
         {"-v", "sram"},
         WAKING + DOWNLOADING + "Testing SRAM...\nD c8\r\nW\n",
         "Testing SRAM...\nD c8\r\nW\n",
         {SRAM_ERROR_CASE}},
        {"result",
         script(boot_rom_accepts(boot_image_size),
                {send("?"), expect(1), send(":"), pause(300), hang_up()}),
         {"sram"},
         WAKING + DOWNLOADING + "Testing SRAM... \n",
         "Testing SRAM... \n",
         {SRAM_ERROR_CASE}},
        // A line that ended before the loss gets no empty line after it.
        {"second_test",
         script(boot_rom_accepts(boot_image_size),
                {send("?"), expect(1), send(":0?"), expect(1), pause(300), hang_up()}),
         {},
         WARNING + WAKING + DOWNLOADING + "Testing SDRAM... passed\nTesting FLASH... \n",
         "Testing SDRAM... passed\nTesting FLASH... \n",
         {"tests=\"2\"", "errors=\"1\"", "<testcase classname=\"korvin\" name=\"sdram\" time=\"",
          "<testcase classname=\"korvin\" name=\"flash\""}},
    };
    for (const auto& c : cases)
        check_interruption(c, "", {});
}

TEST(Cli, ASilentBoardEndsTheRunWithTheRecordKept) {
    const std::string silent = "The board sent nothing for 1 seconds.";
    // The peer answers nothing after its last step, and keeps the line open.
    const interruption_case cases[] = {
        {"silent_prompt",
         boot_rom_accepts(boot_image_size),
         {"sram"},
         WAKING + DOWNLOADING + "Testing SRAM... \n",
         "Testing SRAM... \n",
         {SRAM_ERROR_CASE}},
        {"silent_relay",
         script(boot_rom_accepts(boot_image_size),
                {send("?"), expect(1), send(":0?"), expect(1), send("D c8\r\nW")}),
         {"-v", "sram"},
         WAKING + DOWNLOADING + "Testing SRAM...\nD c8\r\nW\n",
         "Testing SRAM...\nD c8\r\nW\n",
         {SRAM_ERROR_CASE}},
        {"silent_result",
         script(boot_rom_accepts(boot_image_size), {send("?"), expect(1), send(":")}),
         {"sram"},
         WAKING + DOWNLOADING + "Testing SRAM... \n",
         "Testing SRAM... \n",
         {SRAM_ERROR_CASE}},
    };
    for (const auto& c : cases)
        check_interruption(c, silent, {"--timeout", "1"});
}

TEST(Cli, TheSilenceBoundIsNotABoundOnATestsTime) {
    // A verbose FLASH test that sends a line every 400 ms for about 3 s
    // outlasts --timeout 1 and still passes.
    std::vector<step> s =
        script(boot_rom_accepts(boot_image_size), {send("?"), expect(1), send(":0?"), expect(1)});
    std::string trace;
    for (int i = 0; i < 8; ++i) {
        s.push_back(pause(400));
        s.push_back(send(" E" + std::to_string(i) + "0000\r\n"));
        trace += " E" + std::to_string(i) + "0000\r\n";
    }
    s.push_back(send(":0?"));
    scripted_peer peer(s);
    const run_result r = run({bin("korvin"), "-p", peer.path(), "--timeout", "1", "-v", "flash"},
                             {}, std::chrono::seconds(30));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, WARNING + WAKING + DOWNLOADING + "Testing FLASH...\n" + trace + "passed\n");
}

TEST(Cli, DiagnoseSaysWhereTheRunWasInterrupted) {
    // Two continuous passes of FLASH, then the link goes in the third.
    scripted_peer lost(
        script(boot_rom_accepts(boot_image_size),
               {send("?"), expect(1), send(":0?"), expect(1), send(":0?"), expect(1), send(":0?"),
                expect(1), send(":1?"), expect(1), pause(300), hang_up()}));
    run_result r = run({bin("korvin"), "-p", lost.path(), "-c", "--diagnose", "flash"}, {},
                       std::chrono::seconds(30));
    EXPECT_EQ(r.status, 1);
    const std::string message = "Could not read from serial port " + lost.path() + ".\n";
    ASSERT_EQ(r.err.substr(0, message.size()), message);
    EXPECT_NE(
        r.err.find("The link was lost during the FLASH test, in pass 3 (2 passes completed)."),
        std::string::npos)
        << r.err;

    scripted_peer silent(boot_rom_accepts(boot_image_size));
    r = run({bin("korvin"), "-p", silent.path(), "--timeout", "1", "--diagnose", "sram"}, {},
            std::chrono::seconds(30));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("The board sent nothing for 1 seconds.\n"
                         "The board fell silent before the first test, in pass 1 (no pass "
                         "completed).\n"),
              0u)
        << r.err;
}

TEST(Cli, WaitingExplainsWhatTheLineDoes) {
    const std::string monitor_answer = [] {
        std::string s;
        for (int i = 0; i < 16; ++i)
            s += ":0?";
        return s;
    }();
    const std::string garbage = bytes({0xe0, 0x00, 0xfc, 0x1c, 0x80, 0x00, 0xe0, 0xfc, 0x00, 0x1e});
    const std::string secure = bytes({0x12, 0x34, 0x34, 0x12});
    struct {
        const char* what;
        std::string answer;
        line_behaviour behaviour;
    } cases[] = {
        {"echo", STATUS_REQUEST, line_behaviour::echo},
        {"monitor", monitor_answer, line_behaviour::monitor},
        {"garbage", garbage, line_behaviour::other},
        {"secure", secure, line_behaviour::secure},
    };
    for (const auto& c : cases) {
        std::vector<step> s;
        for (int i = 0; i < 3; ++i) {
            s.push_back(expect(16));
            s.push_back(send(c.answer));
        }
        wake_observation seen;
        seen.behaviour = c.behaviour;
        seen.first_answer = c.answer.substr(0, 64);
        const std::string explanation = explain_wake(seen);
        const std::string gave_up = "\rThe board did not answer within 2 seconds.\n";
        for (bool diagnose : {false, true}) {
            scripted_peer peer(s);
            std::vector<std::string> argv{bin("korvin"), "-p", peer.path(), "--wait", "2", "sram"};
            if (diagnose)
                argv.push_back("--diagnose");
            const run_result r = run(argv, {}, std::chrono::seconds(30));
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "Waiting for the board to wake up...") << c.what;
            // Said once while waiting, on the lines below the waiting message;
            // the give-up message says it again, with or without --diagnose.
            EXPECT_EQ(r.err, (diagnose ? "\n" + explanation : "") + gave_up + explanation)
                << c.what;
        }
    }
    // Silence: said while waiting only once three requests went unanswered.
    wake_observation silent;
    silent.behaviour = line_behaviour::silent;
    for (const auto& [wait, diagnose, err] :
         std::vector<std::tuple<std::string, bool, std::string>>{
             {"2", true, ""}, {"5", true, "\n" + explain_wake(silent)}, {"2", false, ""}}) {
        scripted_peer peer({});
        std::vector<std::string> argv{bin("korvin"), "-p", peer.path(), "--wait", wait, "sram"};
        if (diagnose)
            argv.push_back("--diagnose");
        const run_result r = run(argv, {}, std::chrono::seconds(30));
        EXPECT_EQ(r.err, err + "\rThe board did not answer within " + wait + " seconds.\n" +
                             explain_wake(silent));
    }
}

TEST(Cli, DiagnoseExplainsARefusedDownloadOrStart) {
    const std::string fails_download = "\rCould not initiate code download.\n";
    const std::string fails_start = "\rCould not start code execution.\n";
    const std::string secure = bytes({0x12, 0x34, 0x34, 0x12});
    struct {
        std::vector<step> after_wake; // from the write-file command on
        bool start;
        std::string answer;
    } cases[] = {
        {{expect(16)}, false, ""},
        {{expect(16), send(secure)}, false, secure},
        {{expect(16), send(bytes({0x78, 0x78, 0x56}))}, false, bytes({0x78, 0x78, 0x56})},
        {{expect(16), send(READY), expect(boot_image_size), expect(16)}, true, ""},
        {{expect(16), send(READY), expect(boot_image_size), expect(16), send(secure)},
         true,
         secure},
        {{expect(16), send(READY), expect(boot_image_size), expect(16), send(READY)}, true, READY},
    };
    for (const auto& c : cases) {
        scripted_peer peer(script({expect(16), send(READY)}, c.after_wake));
        const run_result r = run({bin("korvin"), "-p", peer.path(), "--diagnose", "sram"}, {},
                                 std::chrono::seconds(30));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  (c.start ? fails_start : fails_download) + explain_refusal(c.start, c.answer))
            << hex_bytes(c.answer);
    }
}

TEST(Cli, DiagnoseSaysWhyThePortDidNotOpen) {
    // COM numbers: the device they stand for on this system comes first.
    const run_result r = run({bin("korvin"), "-p", "COM99", "--diagnose", "sdram"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Could not open serial port COM99.\n"
                     "COM99 is /dev/ttyS98 on this system.\n"
                     "/dev/ttyS98 does not exist.\n"
                     "Run korvin --list-ports to see the serial ports this machine has.\n");
    // Without --diagnose the message stands alone.
    EXPECT_EQ(run({bin("korvin"), "-p", "com99", "sdram"}).err,
              "Could not open serial port COM99.\n");
}

TEST(Cli, ASecondKorvinCannotOpenTheSamePort) {
    scripted_peer peer({expect(16)});
    child_process first({bin("korvin"), "-p", peer.path(), "sdram"});
    ASSERT_TRUE(first.wait_for_output("Waiting for the board to wake up..."));
    const run_result second = run({bin("korvin"), "-p", peer.path(), "sdram"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "Could not open serial port " + peer.path() + ".\n");
    // --diagnose names the holder after the same message.
    const run_result told = run({bin("korvin"), "-p", peer.path(), "--diagnose", "sdram"});
    EXPECT_EQ(told.status, 1);
    // The scripted peer keeps the line open too, so it is named beside korvin.
    const std::string message = "Could not open serial port " + peer.path() + ".\n";
    EXPECT_EQ(told.err.substr(0, message.size()), message);
    EXPECT_NE(told.err.find(peer.path() + " is in use by "), std::string::npos) << told.err;
    EXPECT_NE(told.err.find("korvin (process " + std::to_string(first.pid()) + ")"),
              std::string::npos)
        << told.err;
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(std::chrono::seconds(10)).term_signal, SIGTERM);
}

} // namespace
} // namespace korvin::test
