// korvin.exe, the Windows build, under Wine against korvin-sim over a real
// COM port: Wine maps COMn to the simulator's pseudo-terminal through the
// symlink dosdevices/comN in its prefix. Each case also runs the Linux build
// on a simulator of its own and expects the same output, log and status.
#include "korvin_output.h"
#include "process.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace korvin::test {
namespace {

const std::string EXE = KORVIN_WINDOWS_EXE;
const std::string PREFIX = EXE.substr(0, EXE.rfind('/') + 1) + "wine";

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Why the Windows cases cannot run here, or "" when they can.
std::string unavailable() {
    if (!exists(EXE))
        return EXE + " is not built (make windows)";
    if (access(KORVIN_WINE, X_OK) != 0)
        return std::string("no Wine: ") + KORVIN_WINE + " is missing (Debian package wine64)";
    if (!exists(PREFIX + "/korvin-ready"))
        return "the Wine prefix " + PREFIX + " is not set up (ctest -L windows sets it up)";
    return "";
}

#define SKIP_WITHOUT_WINE()                                                                        \
    do {                                                                                           \
        const std::string why = unavailable();                                                     \
        if (!why.empty())                                                                          \
            GTEST_SKIP() << why;                                                                   \
    } while (0)

// The Windows C runtime writes standard output, standard error and the "wt"
// log in text mode: every line feed goes out as CR LF.
std::string text_mode(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

// Only Wine's own lines ("wine: ..."); korvin never writes one.
std::string without_wine_noise(const std::string& err) {
    std::string out;
    for (std::size_t at = 0; at < err.size();) {
        std::size_t end = err.find('\n', at);
        end = end == std::string::npos ? err.size() : end + 1;
        if (err.compare(at, 6, "wine: ") != 0)
            out += err.substr(at, end - at);
        at = end;
    }
    return out;
}

// COMn of the prefix pointing at `device` while the object lives.
class com_port {
  public:
    com_port(int n, const std::string& device) : link_(link_path(n)) {
        unlink(link_.c_str());
        if (symlink(device.c_str(), link_.c_str()) != 0)
            ADD_FAILURE() << "cannot link " << link_ << " -> " << device;
    }
    ~com_port() { unlink(link_.c_str()); }
    com_port(const com_port&) = delete;
    com_port& operator=(const com_port&) = delete;
    // Wine looks the device up by the lowercase name.
    static std::string link_path(int n) { return PREFIX + "/dosdevices/com" + std::to_string(n); }

  private:
    std::string link_;
};

std::vector<std::string> wine_env() {
    return {"WINEPREFIX=" + PREFIX, "WINEDEBUG=-all",
            std::string("WINESERVER=") + KORVIN_WINESERVER, "WINELOADER=" KORVIN_WINE};
}

std::vector<std::string> windows_argv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KORVIN_WINE, EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::vector<std::string> linux_argv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{bin("korvin")};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// What one korvin run showed: its streams, its status and its log.
struct windows_outcome {
    run_result result;
    std::string log;
};

// `-p PORT` is appended; "LOG" in args stands for the log file's path.
struct run_case {
    const char* name;
    std::vector<std::string> sim_args;
    std::vector<std::string> args;
    int status;
    std::string out_tail; // after "Logging to ...", as the Linux build prints it
    std::string err;      // with COM5 for the port
    std::string log;
};

void PrintTo(const run_case& c, std::ostream* os) {
    *os << c.name;
}

std::vector<std::string> with_log(std::vector<std::string> args, const std::string& log,
                                  const std::string& port) {
    for (auto& a : args)
        if (a == "LOG")
            a = log;
    args.push_back("-p");
    args.push_back(port);
    return args;
}

windows_outcome run_windows(const run_case& c, int com) {
    simulator sim(c.sim_args);
    com_port port(com, sim.port());
    temp_file log(std::string(c.name) + ".win.log");
    windows_outcome o{
        run(windows_argv(with_log(c.args, log.path, std::to_string(com))), wine_env(), 120s), ""};
    o.result.err = without_wine_noise(o.result.err);
    o.log = read_file(log.path);
    return o;
}

windows_outcome run_linux(const run_case& c) {
    simulator sim(c.sim_args);
    temp_file log(std::string(c.name) + ".linux.log");
    windows_outcome o{run(linux_argv(with_log(c.args, log.path, sim.port())), {}, 120s), ""};
    // The same case on COM5.
    o.result.err = replace_all(o.result.err, sim.port(), "COM5");
    o.log = read_file(log.path);
    return o;
}

std::string logging(const run_case& c, const std::string& log) {
    for (const auto& a : c.args)
        if (a == "LOG")
            return "Logging to '" + log + "'\n";
    return "";
}

class windows_run : public testing::TestWithParam<run_case> {};

TEST_P(windows_run, MatchesTheLinuxBuild) {
    SKIP_WITHOUT_WINE();
    const run_case& c = GetParam();
    const int com = std::string(c.name) == "com12" ? 12 : 5;
    const windows_outcome win = run_windows(c, com);
    const windows_outcome lin = run_linux(c);

    // Both builds print the log's path as given; compare with it blanked.
    const std::string win_log_path = temp_path(std::string(c.name) + ".win.log");
    const std::string lin_log_path = temp_path(std::string(c.name) + ".linux.log");
    const std::string expected_out = logging(c, "LOG") + c.out_tail;

    EXPECT_FALSE(win.result.timed_out);
    EXPECT_EQ(win.result.status, c.status);
    EXPECT_EQ(replace_all(win.result.out, win_log_path, "LOG"), text_mode(expected_out));
    EXPECT_EQ(win.result.err, text_mode(c.err));
    EXPECT_EQ(win.log, text_mode(c.log));

    EXPECT_EQ(lin.result.status, c.status);
    EXPECT_EQ(replace_all(lin.result.out, lin_log_path, "LOG"), expected_out);
    EXPECT_EQ(lin.result.err, c.err);
    EXPECT_EQ(lin.log, c.log);
}

const std::string PASSED3 =
    "Testing SDRAM... passed\nTesting FLASH... passed\nTesting SRAM... passed\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, windows_run,
    testing::Values(
        run_case{"good_board",
                 {},
                 {"-l", "LOG"},
                 0,
                 WARNING + WAKING + DOWNLOADING + PASSED3,
                 "",
                 PASSED3},
        run_case{
            "com12", {}, {"sram"}, 0, WAKING + DOWNLOADING + "Testing SRAM... passed\n", "", ""},
        run_case{"refused_download",
                 {"--fault", "boot:refuse-write"},
                 {"-l", "LOG", "sram"},
                 1,
                 WAKING + "Downloading boot code...(  0%)",
                 "\rCould not initiate code download.\n",
                 ""},
        run_case{"refused_start",
                 {"--fault", "boot:refuse-start"},
                 {"sram"},
                 1,
                 WAKING + DOWNLOADING,
                 "\rCould not start code execution.\n",
                 ""},
        run_case{"failing_sram",
                 {"--fault", "sram:d3=0"},
                 {"-l", "LOG", "sram"},
                 0,
                 WAKING + DOWNLOADING + "Testing SRAM... failed\n",
                 "",
                 "Testing SRAM... failed\n"},
        run_case{"strict_diagnosis",
                 {"--fault", "sram:a2=1"},
                 {"--strict", "--diagnose", "sram"},
                 2,
                 WAKING + DOWNLOADING +
                     "Testing SRAM... failed\n    address line stuck or shorted: word-index bit 2 "
                     "= chip pin A2 (word mode) = processor line A3 (2 mismatches, first at "
                     "offset 0x0 read 0x3)\n",
                 "",
                 ""},
        run_case{"wait_runs_out",
                 {"--fault", "boot:never-wakes"},
                 {"--wait", "1", "-l", "LOG", "sram"},
                 1,
                 "Waiting for the board to wake up...",
                 "\rThe board did not answer within 1 seconds.\n"
                 "Nothing came back to korvin's status requests: check that the board has "
                 "power,\nthat the cable leads to its UART1, and that its boot-mode pins "
                 "select serial boot;\nthen reset it.\n",
                 ""}),
    [](const testing::TestParamInfo<run_case>& info) { return info.param.name; });

// The trace is the monitor's own text: the Linux build's run on the same
// simulator says what it must be.
TEST(Windows, VerboseRunRelaysTheTraceAsTheLinuxBuildDoes) {
    SKIP_WITHOUT_WINE();
    const run_case c{"verbose", {}, {"-v", "-l", "LOG", "sram"}, 0, "", "", ""};
    const windows_outcome win = run_windows(c, 5);
    const windows_outcome lin = run_linux(c);
    ASSERT_EQ(lin.result.status, 0);
    const std::string heading = "Testing SRAM...\n";
    const std::size_t at = lin.log.find("Dc8000000\r\n");
    ASSERT_EQ(lin.log.compare(0, heading.size(), heading), 0) << lin.log;
    ASSERT_EQ(at, heading.size()) << lin.log;
    ASSERT_EQ(lin.log.substr(lin.log.size() - 7), "passed\n");
    EXPECT_EQ(win.result.status, 0);
    EXPECT_EQ(win.result.err, "");
    EXPECT_EQ(win.log, text_mode(lin.log));
    EXPECT_EQ(win.result.out.substr(win.result.out.find('\n') + 1),
              text_mode(lin.result.out.substr(lin.result.out.find('\n') + 1)));
}

TEST(Windows, PortThatDoesNotExist) {
    SKIP_WITHOUT_WINE();
    unlink(com_port::link_path(7).c_str());
    for (const char* test : {"sram", "flash"}) {
        const run_result r = run(windows_argv({"-p", "7", test}), wine_env(), 60s);
        EXPECT_EQ(r.status, 1) << test;
        EXPECT_EQ(r.out, "") << test;
        EXPECT_EQ(without_wine_noise(r.err), "Could not open serial port COM7.\r\n") << test;
    }
}

// Waits until `process` has printed `text`, then stops the simulator: the
// pseudo-terminal closes under korvin, as a pulled cable or adapter would.
run_result stop_board_after(simulator& sim, child_process& korvin, const std::string& text) {
    EXPECT_TRUE(korvin.wait_for_output(text, 60s)) << korvin.out();
    sim.stop();
    return korvin.wait(60s);
}

TEST(Windows, LinkClosedMidRun) {
    SKIP_WITHOUT_WINE();
    struct {
        const char* name;
        std::vector<std::string> sim_args;
        std::vector<std::string> args;
        std::string shown; // the board goes away once this is on the screen
        std::string log;
    } cases[] = {
        // Timed reads, while the boot ROM stays silent.
        {"waking", {"--fault", "boot:never-wakes"}, {"sram"}, "Waiting for the board", ""},
        // Reads without a limit, while the FLASH test erases.
        // The reason ends the open heading and is the log's last line.
        {"testing",
         {"--flash-timing"},
         {"-c", "flash"},
         "Testing FLASH... ",
         "Testing FLASH... \n"},
    };
    for (const auto& c : cases) {
        temp_file win_log(std::string(c.name) + ".win.log"),
            lin_log(std::string(c.name) + ".lin.log");
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"-l", ""});

        simulator win_sim(c.sim_args);
        com_port port(5, win_sim.port());
        args[1] = win_log.path;
        args.insert(args.end(), {"-p", "5"});
        child_process win(windows_argv(args), wine_env());
        const run_result w = stop_board_after(win_sim, win, c.shown);

        simulator lin_sim(c.sim_args);
        args[1] = lin_log.path;
        args.back() = lin_sim.port();
        child_process lin(linux_argv(args));
        const run_result l = stop_board_after(lin_sim, lin, c.shown);

        EXPECT_FALSE(w.timed_out) << c.name;
        EXPECT_EQ(w.status, 1) << c.name;
        EXPECT_EQ(without_wine_noise(w.err), "Could not read from serial port COM5.\r\n") << c.name;
        EXPECT_EQ(l.status, 1) << c.name;
        EXPECT_EQ(replace_all(l.err, lin_sim.port(), "COM5"),
                  "Could not read from serial port COM5.\n")
            << c.name;
        EXPECT_EQ(replace_all(w.out, win_log.path, "LOG"),
                  text_mode(replace_all(l.out, lin_log.path, "LOG")))
            << c.name;
        const std::string reason = c.log.empty() ? "" : "Could not read from serial port COM5.\n";
        EXPECT_EQ(read_file(win_log.path), text_mode(c.log + reason)) << c.name;
        EXPECT_EQ(replace_all(read_file(lin_log.path), lin_sim.port(), "COM5"), c.log + reason)
            << c.name;
    }
}

std::size_t count(const std::string& s, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = s.find(part); at != std::string::npos; at = s.find(part, at + 1))
        ++n;
    return n;
}

// Everything of a run's output after the download line.
std::string run_part(const std::string& out) {
    const std::string blank = "\r" + std::string(30, ' ') + "\r";
    const std::size_t at = out.find(blank);
    return at == std::string::npos ? "" : out.substr(at + blank.size());
}

TEST(Windows, ContinuousRunEndedByCtrlCKeepsItsLog) {
    SKIP_WITHOUT_WINE();
    simulator sim;
    com_port port(5, sim.port());
    temp_file log("continuous.log");
    child_process korvin(windows_argv({"-c", "-l", log.path, "-p", "5", "sram"}), wine_env());
    // Two whole passes and the third one's heading.
    const std::string pass_end = text_mode("passed\nTesting SRAM... ");
    for (int waited = 0; count(korvin.out(), pass_end) < 2; waited += 20) {
        ASSERT_LT(waited, 60000) << korvin.out();
        std::this_thread::sleep_for(20ms);
    }
    // The loader is korvin.exe's own process; Wine turns SIGINT into CTRL-C.
    korvin.signal(SIGINT);
    const run_result r = korvin.wait(60s);
    EXPECT_FALSE(r.timed_out);
    // Wine ends a process that has no console with status 0 here; what
    // matters is that korvin took none of its own failure paths.
    EXPECT_NE(r.status, 1);
    EXPECT_EQ(without_wine_noise(r.err), "");

    // The log holds exactly what the test run showed, and that is the pass
    // the Linux build shows, over and over.
    const std::string log_text = read_file(log.path);
    EXPECT_EQ(log_text, run_part(r.out));
    temp_file lin_log("continuous.lin.log");
    simulator lin_sim;
    const run_result lin = run(linux_argv({"-l", lin_log.path, "-p", lin_sim.port(), "sram"}));
    ASSERT_EQ(lin.status, 0);
    const std::string pass = text_mode(read_file(lin_log.path));
    ASSERT_GE(log_text.size(), 2 * pass.size());
    std::string passes;
    while (passes.size() < log_text.size())
        passes += pass;
    EXPECT_EQ(log_text, passes.substr(0, log_text.size()));
}

// The ports are what Wine's mount manager registered when the prefix's
// services started: the dosdevices/comN links it made then (for /dev/ttyS*,
// /dev/ttyUSB*, /dev/ttyACM*) are in the device map and the DOS names. A
// link made later still opens but no Windows call reports it, so the case
// makes none; a port a driver adds to the device map later is listed.
TEST(Windows, ListPortsNamesThePrefixsComPorts) {
    SKIP_WITHOUT_WINE();
    std::vector<std::string> linked;
    for (int n = 1; n <= 256; ++n)
        if (exists(com_port::link_path(n))) // a dangling link is no port
            linked.push_back(std::to_string(n));
    const std::string device_map = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    const std::vector<std::string> reg{KORVIN_WINE, "reg"};
    auto reg_command = [&](std::vector<std::string> args) {
        args.insert(args.begin(), reg.begin(), reg.end());
        return run(args, wine_env(), 60s);
    };
    ASSERT_EQ(reg_command({"add", device_map, "/v", "\\Device\\Serial41", "/t", "REG_SZ", "/d",
                           "COM42", "/f"})
                  .status,
              0);
    const run_result r = run(windows_argv({"--list-ports"}), wine_env(), 60s);
    reg_command({"delete", device_map, "/v", "\\Device\\Serial41", "/f"});

    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(without_wine_noise(r.err), "");
    std::vector<std::string> arguments;
    std::string com42;
    for (std::size_t at = 0; at < r.out.size();) {
        std::size_t end = r.out.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << r.out;
        const std::string line = r.out.substr(at, end - at);
        const std::size_t gap = line.find("  ");
        ASSERT_NE(gap, std::string::npos) << line;
        arguments.push_back(line.substr(0, line.find(' ')));
        if (arguments.back() == "42")
            com42 = line.substr(line.find_first_not_of(' ', gap));
        at = end + 2;
    }
    for (const auto& n : linked)
        EXPECT_EQ(std::count(arguments.begin(), arguments.end(), n), 1) << "COM" << n << "\n"
                                                                        << r.out;
    EXPECT_EQ(com42, "COM42 (\\Device\\Serial41)") << r.out;
    // By number, as -p takes them.
    for (std::size_t i = 1; i < arguments.size(); ++i)
        EXPECT_LT(std::stoi(arguments[i - 1]), std::stoi(arguments[i])) << r.out;
}

// Windows will not rename over an existing file by default; the report
// must still replace the previous one.
TEST(Windows, ReportReplacesTheLastOne) {
    SKIP_WITHOUT_WINE();
    simulator sim({"--fault", "sram:d1=1"});
    com_port port(5, sim.port());
    temp_file report("report.xml");
    {
        std::FILE* old = std::fopen(report.path.c_str(), "w");
        ASSERT_NE(old, nullptr);
        std::fputs("not a report\n", old);
        std::fclose(old);
    }
    const run_result r =
        run(windows_argv({"--report", report.path, "-p", "5", "sram"}), wine_env(), 120s);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string xml = read_file(report.path);
    EXPECT_EQ(xml.rfind("<?xml", 0), 0u) << xml;
    EXPECT_NE(xml.find("<testcase classname=\"korvin\" name=\"sram\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("failed with result code 2"), std::string::npos) << xml;
    EXPECT_FALSE(exists(report.path + ".tmp"));
}

} // namespace
} // namespace korvin::test
