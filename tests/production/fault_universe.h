#pragma once
// The faults a production line meets, as korvin-sim injects them, and what korvin's diagnosis
// must say of each: the memories and their lines, a fault's --fault text and the words that
// name it, the judgement of a diagnosis, and one fault run on the simulated board in process
// (the boot image started in internal RAM, the monitor's trace fed to the diagnosis).
#include "settings.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvin::test {

struct device_case {
    const char* name; // as korvin and korvin-sim name it
    const char* heading;
    memory tested;
    char command; // the monitor's command byte for its test
    int data_lines;
    int address_bits; // word-index bits the address-line test walks
};

extern const std::vector<device_case> DEVICES;

enum class fault_kind { stuck_data, stuck_address };

struct fault_case {
    const device_case* device;
    fault_kind kind;
    int line;
    int level;

    // korvin-sim's --fault argument: "sdram:d3=0".
    std::string text() const;
    // The words of a finding that name this fault: "data line D3 stuck low".
    std::string expected_name() const;
    // The FLASH's unlock cycles write word addresses 0x555 and 0x2AA: a stuck bit among 0 to 10
    // sends them elsewhere, the chip takes no command, and the first completion poll runs out
    // as with a dead chip. The trace then cannot tell which line it was.
    bool identifiable() const;
};

// Every data line and tested word-index bit of each memory, stuck low and high.
std::vector<fault_case> stuck_line_faults();

// What a diagnosed run of a fault gave, and what is wrong with it.
struct fault_outcome {
    bool ran = false; // the test ran to its verdict
    bool detected = false;
    bool named = false;
    std::string problem; // why the run or its naming is wrong, when it is
    std::vector<std::string> findings;
    double seconds = 0; // the in-process run's wall time
};

// Judges `findings` of a run that ended with a verdict (`detected`: the test failed).
fault_outcome judge(const fault_case& fault, bool detected, std::vector<std::string> findings);

// The boot image as the build left it beside the binaries (bin/boot.bin); empty when missing.
std::vector<std::uint8_t> read_image(const std::string& path);

// A memory test on a fresh simulated board in this process with `faults` (--fault texts),
// its trace diagnosed as korvin --diagnose does.
struct diagnosed_run {
    bool ran = false;    // the monitor answered the test
    std::string problem; // why it did not: the runner's or a bad --fault text
    bool passed = false;
    std::vector<std::string> findings;
    double seconds = 0;
};
diagnosed_run diagnose_in_process(const device_case& device, const std::vector<std::string>& faults,
                                  const std::vector<std::uint8_t>& image);

// `fault`'s memory test in process, diagnosed and judged.
fault_outcome run_in_process(const fault_case& fault, const std::vector<std::uint8_t>& image);

// Every fault in process on `workers` threads, a fresh board each; the outcomes in the
// faults' order. The FLASH's faults go first: theirs are the long runs (a data poll that runs
// out takes seconds), and a long run started last would leave the other workers idle.
std::vector<fault_outcome> run_all_in_process(const std::vector<fault_case>& faults,
                                              const std::vector<std::uint8_t>& image,
                                              unsigned workers);

// The monitor's result code for a test as korvin reads it: its first hexadecimal digit.
std::uint32_t result_code(const std::string& digits);

} // namespace korvin::test
