// korvin --station against several korvin-sim boards at once: the lines a
// log gets for each port, the records, IDs, swaps, CTRL-C and the terminal view.
#include "process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

namespace korvin::test {
namespace {

namespace fs = std::filesystem;

// The lines of each port, in order, without their times; the board numbers
// the station gave (in wake order, so any order across ports) become "#".
struct station_output {
    std::map<std::string, std::vector<std::string>> ports;
    std::set<std::string> numbers;
    std::string last_line;
};

station_output by_port(const std::string& out, const std::vector<std::string>& ports) {
    station_output result;
    static const std::regex TIMED(R"(^\d\d:\d\d:\d\d (.*)$)"), BOARD(R"(board (\d+))");
    std::size_t at = 0;
    for (std::size_t end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = out.substr(at, end - at);
        std::smatch m;
        if (std::regex_match(line, m, TIMED))
            line = m[1];
        result.last_line = line;
        if (std::regex_search(line, m, BOARD))
            result.numbers.insert(m[1]);
        line = std::regex_replace(line, BOARD, "board #");
        for (const std::string& port : ports)
            if (line.compare(0, port.size() + 1, port + " ") == 0 ||
                line.compare(0, port.size() + 2, port + ": ") == 0)
                result.ports[port].push_back(line);
    }
    return result;
}

// Waits until each port has a line "PORT board N: <what>".
bool wait_for_each(child_process& station, const std::vector<std::string>& ports,
                   const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (;;) {
        const station_output seen = by_port(station.out(), ports);
        bool all = true;
        for (const std::string& port : ports) {
            const auto lines = seen.ports.find(port);
            all = all && lines != seen.ports.end() &&
                  std::find(lines->second.begin(), lines->second.end(),
                            port + " board #: " + what) != lines->second.end();
        }
        if (all)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

std::vector<std::string> station_argv(const std::vector<std::string>& ports,
                                      const std::vector<std::string>& args) {
    std::vector<std::string> argv{bin("korvin"), "--station"};
    for (const std::string& port : ports)
        argv.insert(argv.end(), {"-p", port});
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

const std::string D3_HIGH = "FLASH manufacturer code read 0x00CA, expected 0x0001 or 0x00C2; "
                            "the data line fault below explains the difference from 0x00C2";

TEST(Station, MixedBoardsAndOnePulledMidTest) {
    simulator good, faulty(with_faults({"flash:d3=1"})), pulled({"--flash-timing=10,3000"});
    const std::vector<std::string> ports{good.port(), faulty.port(), pulled.port()};
    temp_file dir("records");
    child_process station(station_argv(
        ports, {"flash", "--diagnose", "--count", "3", "--strict", "--report-dir", dir.path}));
    ASSERT_TRUE(wait_for_each(station, {pulled.port()}, "FLASH")) << station.out();
    pulled.stop();
    const run_result r = station.wait(60s);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    const station_output seen = by_port(r.out, ports);
    const std::vector<std::string> start{"woke", "downloading", "FLASH"};
    const struct {
        const std::string& port;
        std::vector<std::string> ends;
    } expected[] = {
        {good.port(), {"FLASH passed", ": board #: FLASH passed"}},
        {faulty.port(), {"FLASH failed: " + D3_HIGH, ": board #: FLASH failed"}},
        {pulled.port(),
         {"error: Could not read from serial port " + pulled.port() + ".",
          ": board #: error: Could not read from serial port " + pulled.port() + "."}},
    };
    for (const auto& e : expected) {
        std::vector<std::string> lines;
        for (const std::string& s : start)
            lines.push_back(e.port + " board #: " + s);
        lines.push_back(e.port + " board #: " + e.ends[0]);
        lines.push_back(e.port + e.ends[1]);
        EXPECT_EQ(seen.ports.at(e.port), lines) << r.out;
    }
    EXPECT_EQ(seen.numbers, (std::set<std::string>{"1", "2", "3"}));
    EXPECT_EQ(seen.last_line, "Station: 3 boards, 1 passed, 1 failed, 1 errors.");
    // A JUnit XML, a JSON report and a log for every board, named after its port.
    std::multiset<std::string> records;
    for (const auto& entry : fs::directory_iterator(dir.path)) {
        const std::string name = entry.path().filename().string();
        static const std::regex RECORD(R"(\d{8}T\d{6}Z-dev_pts_\d+-[123]\.(xml|json|log))");
        EXPECT_TRUE(std::regex_match(name, RECORD)) << name;
        records.insert(entry.path().extension().string());
    }
    EXPECT_EQ(records, (std::multiset<std::string>{".json", ".json", ".json", ".log", ".log",
                                                   ".log", ".xml", ".xml", ".xml"}));
    fs::remove_all(dir.path);
}

TEST(Station, IdsFromStandardInputAndASwappedBoard) {
    // One port for two boards: korvin-sim's link names whichever board is on.
    temp_file link("board");
    auto first = std::make_unique<simulator>(std::vector<std::string>{"--link", link.path});
    child_process station(station_argv({link.path}, {"sram", "--count", "2"}), {}, true);
    station.write_input("SN-1\n\n  SN 2  \n");
    ASSERT_TRUE(station.wait_for_output(link.path + " done: swap the board\n", 30s))
        << station.out();
    first->stop();
    simulator second({"--link", link.path});
    const run_result r = station.wait(60s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> lines = by_port(r.out, {link.path}).ports[link.path];
    // Whether the empty port's open fails before the next board is on is a race.
    lines.erase(std::remove(lines.begin(), lines.end(),
                            link.path + " error: Could not open serial port " + link.path + "."),
                lines.end());
    const std::string p = link.path;
    EXPECT_EQ(lines, (std::vector<std::string>{
                         p + " board # [SN-1]: woke", p + " board # [SN-1]: downloading",
                         p + " board # [SN-1]: SRAM", p + " board # [SN-1]: SRAM passed",
                         p + ": board # [SN-1]: SRAM passed", p + " done: swap the board",
                         p + " board # [SN 2]: woke", p + " board # [SN 2]: downloading",
                         p + " board # [SN 2]: SRAM", p + " board # [SN 2]: SRAM passed",
                         p + ": board # [SN 2]: SRAM passed"}))
        << r.out;
    EXPECT_NE(r.out.find("Station: 2 boards, 2 passed, 0 failed, 0 errors.\n"), std::string::npos);
}

TEST(Station, ASimulatorSwapsItsBoardUnderARunningStation) {
    temp_file faults("swap-faults");
    simulator sim({"--swap-faults", faults.path, "--swap-pause", "300"});
    child_process station(station_argv({sim.port()}, {"sram", "--diagnose", "--count", "2"}));
    ASSERT_TRUE(station.wait_for_output(sim.port() + " done: swap the board\n", 30s))
        << station.out();
    std::ofstream(faults.path) << "# the next board\nsram:d3=1\n";
    sim.process().signal(SIGUSR1);
    const run_result r = station.wait(60s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string p = sim.port();
    EXPECT_EQ(
        by_port(r.out, {p}).ports[p],
        (std::vector<std::string>{
            p + " board #: woke", p + " board #: downloading", p + " board #: SRAM",
            p + " board #: SRAM passed", p + ": board #: SRAM passed", p + " done: swap the board",
            p + " board #: woke", p + " board #: downloading", p + " board #: SRAM",
            p + " board #: SRAM failed: data line D3 stuck high: it reads 1 in every "
                "check, wrong under 16 patterns (first 0x1, last 0x8000)",
            p + ": board #: SRAM failed"}))
        << r.out;
    EXPECT_NE(r.out.find("Station: 2 boards, 1 passed, 1 failed, 0 errors.\n"), std::string::npos);
}

TEST(Station, CtrlCRecordsTheBoardsUnderTestAsInterrupted) {
    simulator a({"--flash-timing=10,3000"}), b({"--flash-timing=10,3000"});
    child_process station(station_argv({a.port(), b.port()}, {"flash", "--strict"}));
    // Both boards in the FLASH test, which takes seconds on these boards.
    ASSERT_TRUE(wait_for_each(station, {a.port(), b.port()}, "FLASH")) << station.out();
    station.signal(SIGINT);
    const run_result r = station.wait(30s);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    const station_output seen = by_port(r.out, {a.port(), b.port()});
    for (const simulator* s : {&a, &b})
        EXPECT_EQ(seen.ports.at(s->port()).back(),
                  s->port() + ": board #: error: The run was interrupted.")
            << r.out;
    EXPECT_EQ(seen.last_line, "Station: 2 boards, 0 passed, 0 failed, 2 errors.");
    // The boards' korvin processes have let go of the ports.
    for (simulator* s : {&a, &b})
        EXPECT_EQ(
            run({bin("korvin"), "-p", s->port(), "--wait", "1", "sram"}).err.find("Could not open"),
            std::string::npos);
}

TEST(Station, TerminalViewRedrawsOneLinePerPort) {
    if (!fs::exists("/usr/bin/script"))
        GTEST_SKIP() << "script(1) is not installed";
    simulator sim;
    std::string command;
    for (const std::string& arg : station_argv({sim.port()}, {"sram", "--count", "1"}))
        command += arg + " ";
    const run_result r = run({"/usr/bin/script", "-qfec", command + "</dev/null", "/dev/null"});
    EXPECT_EQ(r.status, 0) << r.out;
    // What the terminal shows at the end: the redrawn lines, colours left out.
    const std::string plain = std::regex_replace(r.out, std::regex("\x1b\\[[0-9;]*[A-Za-z]"), "");
    const std::string last = plain.substr(plain.rfind(sim.port() + ": board 1"));
    EXPECT_TRUE(std::regex_search(
        last, std::regex(sim.port() + ": board 1: SRAM passed\r\n" + sim.port() +
                         "  board 1  +0:0\\d  passed\r\n"
                         "1 boards: 1 passed, 0 failed, 0 errors; [0-9.]+ boards per hour\r\n")))
        << last;
    EXPECT_NE(r.out.find("\x1b[32mpassed\x1b[0m"), std::string::npos);
    EXPECT_NE(plain.find("Station: 1 boards, 1 passed, 0 failed, 0 errors.\r\n"),
              std::string::npos);
}

} // namespace
} // namespace korvin::test
