#pragma once
// The monitor protocol: the monitor prompts with '?', takes one command byte,
// may send trace text, then answers ':' and the result code in hexadecimal.
#include "settings.h"
#include "test_report.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvin {

// How long the board may stay silent before a read of its answer gives up;
// 0 (the default) waits without limit.
void monitor_set_silence_limit(int seconds);

// Discards bytes until `byte` arrives. 1 when it did, 0 when the link failed
// or the board stayed silent past the limit.
int monitor_wait_for(unsigned byte);

constexpr int MONITOR_LINK_LOST = -1; // the link failed (device gone, hang-up)
constexpr int MONITOR_SILENT = -2;    // nothing came within the silence limit

// Sends `command` after the prompt and relays the trace through report.
// 1 passed (result starts with '0'), 0 failed, MONITOR_LINK_LOST, MONITOR_SILENT.
int monitor_command(unsigned command);

// The result code the first digit of an answer stands for: a lowercase hexadecimal
// digit, or 0xFFFFFFFF for any other byte (a garbled answer).
std::uint32_t result_code_of(unsigned first_digit);

// What a command answered, for the diagnosis and the report.
struct monitor_answer {
    std::string trace;
    std::uint32_t code = 0; // the first result digit: every code is one digit
};

// monitor_command that also keeps the answer; the trace goes to the console
// only when show_trace, to the log always.
int monitor_command(unsigned command, bool show_trace, monitor_answer& answer);

struct test_verdict {
    memory tested;
    bool passed;
    std::uint32_t code;
    double seconds;                    // from the command to its result
    std::vector<std::string> findings; // of a failed test
};

struct test_run_result {
    std::vector<test_verdict> verdicts; // of the last pass begun
    unsigned long passes = 0;           // passes completed
    bool any_failed = false;            // in any pass
    // The link failed or the board fell silent; the run's record (console,
    // log, report) has been closed with the reason.
    bool link_lost = false;
    bool report_failed = false; // a --report file could not be written
};

// The mode commands, then one pass over the selected tests (without end when
// continuous). Returns only after a single pass, or when the link failed or
// the board fell silent for settings.timeout_seconds.
// `facts` go into every report; the timestamp is each pass's own.
test_run_result test_run(const run_settings& settings, const run_facts& facts = {});

} // namespace korvin
