#pragma once
// A boot image on a fresh simulated board, with the host in this process: the image goes
// straight into internal RAM and starts at its entry, as the boot ROM leaves a download, and
// the monitor's byte protocol runs over an in-memory line. No pseudo-terminal, no child
// process and none of the download's pauses: a memory test on a board with faults takes what
// its emulation takes. Tests and korvin_coverage link it (korvin_image_runner); korvin-sim
// does not.
#include "sim/board.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvin::sim {

// The monitor's answer to one command byte.
struct command_answer {
    char command = 0;
    std::string trace; // what the monitor sent between the command and ':'
    std::string code;  // the result as sent, hexadecimal digits up to the next prompt
};

struct image_run {
    // Every command was answered and the monitor prompts for the next.
    bool completed = false;
    std::string problem; // why not: a bad access, an exception, the budget spent, ...
    std::vector<command_answer> answers;
    uint64_t instructions = 0;
    double seconds = 0; // wall time of the run, the board's set-up included
};

struct run_request {
    std::vector<uint8_t> image;
    uint32_t load_address = IRAM_BASE; // where the image goes and starts
    // Each byte is sent after a prompt: "v1" turns the trace on and tests the SDRAM.
    std::string commands;
    // Asked after the last command, with the answers so far: the next thing to send after a
    // prompt (a command byte and its arguments, as the bench commands take them); false ends
    // the run.
    std::function<bool(const std::vector<command_answer>&, std::string&)> more;
    // Wall time for the whole run; a program that hangs is stopped and reported.
    std::chrono::milliseconds budget{60000};
    // The board's FLASH starts from the options' flash_file, if any; with keep_flash the
    // array goes back into that file after the run, as korvin-sim keeps it.
    bool keep_flash = false;
};

// Runs `request` on a new board built from `options` (faults included). The line is unpaced
// and FLASH operations take no time: a request for either is refused as a problem.
image_run run_image(const run_request& request, const board_options& options);

} // namespace korvin::sim
