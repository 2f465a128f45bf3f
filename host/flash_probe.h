#pragma once
// A look further at a FLASH that took no command, on the bench monitor: first the words an
// earlier passing test leaves its address walk in (a board tested before still holds them),
// then the CFI query and autoselect sent plainly at the base of each sector the test
// programs, then as each surviving line fault would need them sent to reach the chip
// (addresses and data pre-corrected), each answer checked against what every hypothesis
// predicts. The faults whose predictions every answer fits are named, exactly or as
// candidates.
#include "bench.h"

#include <functional>
#include <string>
#include <vector>

namespace korvin {

// One bench command and its answer; bench_exchange over the serial link, or a simulated
// board in process.
using bench_link = std::function<bench_answer(char command, const std::string& arguments)>;

// Whether the FLASH test's findings say the chip took no program or erase.
bool flash_looked_dead(const std::vector<std::string>& findings);

struct flash_probe_result {
    bool lost = false; // a bench command went unanswered
    monitor_outcome why_lost = monitor_outcome::silent;
    std::vector<std::string> findings;
    unsigned exchanges = 0;       // bench commands sent
    bool answers_as_good = false; // the chip answered every probe as a good one
};

// Probes the FLASH through `link`, the bench monitor's chip selects already set up by its
// test. Sends only reads, resets and the query and autoselect sequences: nothing programs or
// erases the chip.
flash_probe_result flash_probe(const bench_link& link);

} // namespace korvin
