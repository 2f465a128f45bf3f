// The production-line options of korvin against korvin-sim: exit statuses, the
// bounded wake-up, the report as an XML parser reads it, the diagnosis output.
#include "process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <string>
#include <vector>

namespace korvin::test {
namespace {

run_result korvin(simulator& sim, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {bin("korvin"), "-p", sim.port()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, {}, std::chrono::minutes(5));
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The report as Python's XML parser sees it: one line for the suite, one per
// test case ("name ok" or "name code=<message>: <finding text>").
// The report's content, one line a test, read from the JUnit XML or the
// JSON with Python's own parsers; both must give the same lines. The run's
// facts are checked here too: a fresh timestamp, this host, the port.
std::string parsed_report(const std::string& path, const std::string& port = "") {
    static const char* script = R"(
import sys, json, re, socket, datetime
import xml.etree.ElementTree as ET
path, port = sys.argv[1], sys.argv[2]
if path.lower().endswith('.json'):
    r = json.load(open(path))
    facts = dict(r['properties'], timestamp=r['timestamp'], hostname=r['hostname'])
    print('testsuite', r['name'], r['tests'], r['failures'])
    cases = []
    for c in r['testcases']:
        float(c['time'])
        if c['status'] == 'passed':
            print(c['name'], 'ok')
        elif c['status'] == 'error':
            print(c['name'], 'error:', c['error'])
        else:
            print(c['name'], 'failed with result code %x:' % c['result_code'], '\n'.join(c['findings']) or None)
else:
    suite = ET.parse(path).getroot()
    facts = {p.get('name'): p.get('value') for p in suite.iter('property')}
    facts.update(timestamp=suite.get('timestamp'), hostname=suite.get('hostname'))
    print(suite.tag, suite.get('name'), suite.get('tests'), suite.get('failures'))
    for case in suite.iter('testcase'):
        float(case.get('time'))
        failure, error = case.find('failure'), case.find('error')
        if error is not None:
            print(case.get('name'), 'error:', error.get('message'))
        elif failure is None:
            print(case.get('name'), 'ok')
        else:
            print(case.get('name'), failure.get('message') + ':', failure.text)
when = datetime.datetime.strptime(facts['timestamp'], '%Y-%m-%dT%H:%M:%S')
assert abs((datetime.datetime.now() - when).total_seconds()) < 600, facts
assert facts['hostname'] == socket.gethostname(), facts
assert facts['korvin_version'] == '1.1', facts
assert int(facts['boot_image_length']) > 0, facts
assert not port or facts['port'] == port, facts
)";
    run_result r = run({"/usr/bin/python3", "-c", script, path, port});
    return r.status == 0 ? r.out : "parse failed: " + r.err;
}

struct status_case {
    const char* what;
    std::vector<std::string> faults;
    std::vector<std::string> args;
    int status;
};

TEST(Production, ExitStatuses) {
    const status_case cases[] = {
        {"good board, strict", {}, {"--strict"}, 0},
        {"failing SRAM, strict", {"sram:a2=1"}, {"--strict"}, 2},
        {"failing SRAM, strict, only SDRAM tested", {"sram:a2=1"}, {"--strict", "sdram"}, 0},
        {"failing SRAM, not strict", {"sram:a2=1"}, {}, 0},
        {"failing FLASH, strict and diagnosing", {"flash:d9=1"}, {"--strict", "--diagnose"}, 2},
        {"download refused, strict", {"boot:refuse-write"}, {"--strict"}, 1},
        {"start refused, strict", {"boot:refuse-start"}, {"--strict"}, 1},
    };
    for (const status_case& c : cases) {
        simulator sim(with_faults(c.faults));
        run_result r = korvin(sim, c.args);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out << r.err;
    }
}

TEST(Production, WaitEndsWhenTheBoardStaysSilent) {
    simulator sim(with_faults({"boot:never-wakes"}));
    temp_file log("wait.log");
    run_result r = korvin(sim, {"--wait", "1", "-l", log.path, "sram"});
    EXPECT_EQ(r.status, 1);
    // The timeout line, then what the line did: nothing at all.
    EXPECT_EQ(r.err, "\rThe board did not answer within 1 seconds.\n"
                     "Nothing came back to korvin's status requests: check that the board has "
                     "power,\nthat the cable leads to its UART1, and that its boot-mode pins "
                     "select serial boot;\nthen reset it.\n");
    EXPECT_EQ(r.out, "Logging to '" + log.path + "'\nWaiting for the board to wake up...");
    EXPECT_EQ(read_file(log.path), "");
    // The port was closed: the board can be used again at once.
    run_result again = korvin(sim, {"--wait", "1", "sram"});
    EXPECT_EQ(again.status, 1);
}

TEST(Production, WaitLeavesAWakingBoardAlone) {
    // The boot ROM answers only the third status request: about two seconds.
    simulator sim(with_faults({"boot:wake-after=3"}));
    run_result r = korvin(sim, {"--wait", "30", "--strict", "sram"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Testing SRAM... passed\n"), std::string::npos);
}

TEST(Production, BadOptionArguments) {
    const std::vector<std::vector<std::string>> cases = {
        {"--wait", "0"},   {"--wait", "-3"},     {"--wait", "x"},
        {"--wait", "5s"},  {"--wait", ""},       {"--wait=99999999999"},
        {"--wait"},        {"--report"},         {"--report", "/nonexistent-dir/r.xml"},
        {"--strict=yes"},  {"--no-such-option"}, {"--report", "/tmp"},
        {"--report", "."}, {"--timeout", "0"},   {"--timeout", "1.5"},
        {"--timeout"},     {"--timeout", "-1"},  {"--timeout=2147483648"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv = {bin("korvin"), "-p", "/dev/null"};
        argv.insert(argv.end(), args.begin(), args.end());
        run_result r = run(argv);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_NE(r.err, "") << args[0];
    }
}

TEST(Production, HelpIsTheUsageTextThenTheLongOptions) {
    run_result help = run({bin("korvin"), "--help"});
    run_result h = run({bin("korvin"), "-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(h.status, 1);
    EXPECT_EQ(help.out.substr(0, h.err.size()), h.err);
    for (const char* option : {"--diagnose", "--report", "--strict", "--wait", "--list-ports"})
        EXPECT_NE(help.out.find(option, h.err.size()), std::string::npos) << option;
    // --report writes either format, by the file's name.
    EXPECT_NE(help.out.find(".json", h.err.size()), std::string::npos);
}

TEST(Production, VersionIsOneLineOnStandardOutput) {
    run_result r = run({bin("korvin"), "-p", "/dev/null", "--version", "-x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "korvin 1.1\n");
    EXPECT_EQ(r.err, "");
}

TEST(Production, ListPortsNamesWhatThisMachineHas) {
    run_result r = run({bin("korvin"), "--list-ports", "-p", "/dev/null"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_FALSE(r.out.empty());
    if (r.out == "No serial ports found.\n")
        return;
    // Each line begins with what -p takes: a COM number or a device path,
    // and that device is there.
    std::size_t pos = 0;
    while (pos < r.out.size()) {
        const std::size_t end = r.out.find('\n', pos);
        const std::string line = r.out.substr(pos, end - pos);
        const std::string argument = line.substr(0, line.find(' '));
        if (argument[0] == '/')
            EXPECT_TRUE(exists(argument)) << line;
        else
            EXPECT_TRUE(exists("/dev/ttyS" + std::to_string(std::stoi(argument) - 1))) << line;
        EXPECT_GT(line.size(), argument.size() + 2) << "no description: " << line;
        pos = end + 1;
    }
}

TEST(Production, DiagnosisShowsFindingsAndLogsTheTrace) {
    simulator sim(with_faults({"sram:d3=1"}));
    temp_file log("diagnose.log");
    run_result r = korvin(sim, {"--diagnose", "-l", log.path, "sram"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string finding = "    data line D3 stuck high: ";
    // The console: a quiet run's line, then the finding; no trace.
    const std::size_t verdict = r.out.find("Testing SRAM... failed\n" + finding);
    EXPECT_NE(verdict, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Dc8000000"), std::string::npos);
    // The log: the heading line, the trace as relayed, the verdict, the finding.
    const std::string logged = read_file(log.path);
    EXPECT_EQ(logged.rfind("Testing SRAM...\nDc8000000\r\n", 0), 0u) << logged;
    EXPECT_NE(logged.find("\r\nfailed\n" + finding), std::string::npos) << logged;
    // What follows the verdict is the same on both.
    EXPECT_EQ(r.out.substr(verdict + 23), logged.substr(logged.find("\r\nfailed\n") + 9));
}

TEST(Production, VerboseDiagnosisShowsTheTraceToo) {
    simulator sim(with_faults({"sram:a4=0"}));
    run_result r = korvin(sim, {"--diagnose", "-v", "sram"});
    EXPECT_NE(r.out.find("Testing SRAM...\nDc8000000\r\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\r\nfailed\n    address line stuck or shorted: word-index bit 4 "),
              std::string::npos)
        << r.out;
}

TEST(Production, ReportOfOnePassInBothFormats) {
    for (const char* name : {"one.xml", "one.json", "one.JSON"}) {
        simulator sim(with_faults({"sdram:d3=0"}));
        temp_file report(name);
        run_result r = korvin(sim, {"--diagnose", "--report", report.path});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(parsed_report(report.path, sim.port()),
                  "testsuite korvin 3 1\n"
                  "sdram failed with result code 2: data line D3 stuck low: it reads 0 in every "
                  "check, wrong under 32 patterns (first 0xfffffffe, last 0x7fffffff)\n"
                  "address-line test: its 16 mismatches come from the data line fault above\n"
                  "flash ok\n"
                  "sram ok\n")
            << name;
        EXPECT_FALSE(exists(report.path + ".tmp"));
    }
}

TEST(Production, ReportWithoutDiagnosisStillCarriesTheCode) {
    simulator sim(with_faults({"flash:dead"}));
    temp_file report("quiet.xml");
    run_result r = korvin(sim, {"--report", report.path, "flash"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string parsed = parsed_report(report.path);
    EXPECT_EQ(parsed.rfind("testsuite korvin 1 1\nflash failed with result code ", 0), 0u)
        << parsed;
}

TEST(Production, InterruptedContinuousRunLeavesTheLastCompletePass) {
    simulator sim(with_faults({"sram:a1=1"}));
    temp_file report("continuous.xml");
    child_process p({bin("korvin"), "-p", sim.port(), "-c", "--report", report.path});
    // The third heading means two passes and their reports are done.
    ASSERT_TRUE(p.wait_for_output("passed\nTesting SRAM... failed\nTesting SDRAM..."
                                  " passed\nTesting FLASH... passed\nTesting SRAM... failed\n"
                                  "Testing SDRAM...",
                                  60s))
        << p.out();
    p.signal(SIGINT);
    p.wait();
    EXPECT_EQ(parsed_report(report.path), "testsuite korvin 3 1\n"
                                          "sdram ok\n"
                                          "flash ok\n"
                                          "sram failed with result code 2: address-line test "
                                          "failed; the trace does not show it\n");
}

} // namespace
} // namespace korvin::test
