#pragma once
// The test run on a started monitor: the mode commands, then passes over the
// selected tests, each with its heading and verdict on the console and in the
// log; the findings of a failed test; a report file after every pass; and the
// record of a run that a lost link or a silent board cut short.
#include "settings.h"
#include "test_report.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvin {

// One test of one pass.
struct test_verdict {
    memory tested;
    bool passed;
    std::uint32_t code;                // the monitor's result code (its first digit)
    double seconds;                    // from the command to its result, or to the end of
                                       // the FLASH probe and the full test when they ran
    std::vector<std::string> findings; // of a failed test: what its trace proves
};

struct test_run_result {
    // The tests of the last pass begun, in run order; after an interruption
    // those that pass completed.
    std::vector<test_verdict> verdicts;
    unsigned long passes = 0; // passes completed
    bool any_failed = false;  // a test failed in any pass
    // The link failed or the board fell silent; the run's record (console,
    // log, report) has been closed with the reason.
    bool link_lost = false;
    bool stopped = false;       // a stop request (--events) cut it short, recorded likewise
    bool report_failed = false; // a report file could not be written
};

// Told of each test as it ends, for the run's record in a results store.
class test_run_observer {
  public:
    virtual ~test_run_observer() = default;
    // status: "passed", "failed", or "error" for the test the link cut short.
    virtual void test_ended(unsigned long pass, const char* name, const char* status,
                            std::uint32_t code, double seconds,
                            const std::vector<std::string>& findings) = 0;
};

// Runs the tests over the open serial port on a monitor that has just
// started: its first prompt is the next thing the run waits for. The mode
// commands ('v' with verbose or diagnose, 's' with continuous) cannot be
// undone on the board, so a board gets one test run per download.
//
// Sets the monitor's silence limit to settings.timeout_seconds. Writes the
// headings, the relayed trace, the verdicts and (with diagnose) the findings
// through report, and each test's start and verdict as events; with a
// report_path (and a record_base: its .xml and .json), the report of each
// pass, stamped with the pass's start, with `facts` for the rest. When the link fails or the
// board falls silent it ends the open lines, puts the reason on standard
// error and as the log's last line, writes the report with the interrupted
// test as an error and, with diagnose, says where the run stood.
//
// Returns after one pass, or, when continuous, only after an interruption.
// Closes neither the port nor the log, and never touches the exit status.
test_run_result test_run(const run_settings& settings, const run_facts& facts = {},
                         test_run_observer* observer = nullptr);

} // namespace korvin
