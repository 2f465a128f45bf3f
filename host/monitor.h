#pragma once
// The monitor protocol: the monitor prompts with '?', takes one command byte,
// may send trace text, then answers ':' and the result code in hexadecimal.
#include "settings.h"

#include <vector>

namespace korvin {

// Discards bytes until `byte` arrives. 1 when it did, 0 when the link failed.
int monitor_wait_for(unsigned byte);

constexpr int MONITOR_LINK_LOST = -1;

// Sends `command` after the prompt and relays the trace through report.
// 1 passed (result starts with '0'), 0 failed, MONITOR_LINK_LOST.
int monitor_command(unsigned command);

enum class memory { sdram, flash, sram };

struct test_verdict {
    memory tested;
    bool passed;
};

struct test_run_result {
    std::vector<test_verdict> verdicts; // of the last pass begun
    unsigned long passes = 0;           // passes completed
    bool link_lost = false;
};

// The mode commands, then one pass over the selected tests (without end when
// continuous). Returns only after a single pass or when the link failed.
test_run_result test_run(const run_settings& settings);

} // namespace korvin
