#pragma once
// The host side of the monitor protocol and nothing more: waiting for the
// monitor's '?' prompt, sending one command byte, relaying the trace text
// through report, and reading the first digit of the result after ':'. Every
// read is bounded by the silence limit when one is set. The test run built on
// it is test_run.h.
#include <cstdint>
#include <string>

namespace korvin {

// How long the board may stay silent before a read of its answer gives up;
// 0 (the default) waits without limit.
void monitor_set_silence_limit(int seconds);
// The limit in milliseconds, 0 for none, for other readers of the monitor.
std::uint32_t monitor_silence_limit_ms();

// Discards bytes until `byte` arrives. False when the link failed or the
// board stayed silent past the limit.
bool monitor_wait_for(unsigned byte);

// Sends `command` after the prompt and relays the trace through report.
// 1 passed (the result starts with '0'), 0 failed or no answer at all.
int monitor_command(unsigned command);

// What a command's answer came to.
enum class monitor_outcome {
    passed,    // the result starts with '0'
    failed,    // any other result
    link_lost, // the link failed (device gone, hang-up)
    silent,    // nothing came within the silence limit
    stopped,   // a stop request (--events: SIGTERM, CTRL-C) ended the wait
};

// The result code the first digit of an answer stands for: a lowercase hexadecimal
// digit, or 0xFFFFFFFF for any other byte (a garbled answer).
std::uint32_t result_code_of(unsigned first_digit);

// What a command answered, for the diagnosis and the report.
struct monitor_answer {
    std::string trace;
    std::uint32_t code = 0; // the first result digit: every code is one digit
};

// monitor_command that also keeps the answer and tells a lost link from a
// silent board; the trace goes to the console only when show_trace, to the
// log always.
monitor_outcome monitor_command(unsigned command, bool show_trace, monitor_answer& answer);

} // namespace korvin
