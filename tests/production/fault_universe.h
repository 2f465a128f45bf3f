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

enum class fault_kind { stuck_data, stuck_address, data_short, address_short, open_data };

// The classes a coverage table counts, in its order.
extern const std::vector<fault_kind> FAULT_KINDS;
const char* kind_name(fault_kind kind);

struct fault_case {
    const device_case* device;
    fault_kind kind;
    int line;
    int level;      // stuck: the level; shorts: 0 wired-AND, 1 wired-OR
    int other = -1; // shorts: the second line, above `line`

    // korvin-sim's --fault argument: "sdram:d3=0", "sram:a4~a5=and", "flash:d9=open".
    std::string text() const;
    bool on_data_lines() const;
    // Whether the fault changes a FLASH command cycle as the chip decodes it (the low byte of
    // the data, word-index bits 0 to 10) in a sector the test programs: the chip then takes
    // no command, the first completion poll runs out as with a dead chip, and the trace
    // cannot tell which line it was. Stuck lines act at the chip's outputs only.
    bool breaks_command_cycles() const;
    // Whether an address fault makes two of the FLASH's data-bus test units (its first 64
    // words) one word, or moves the identification words 0 and 1: the data-bus test, which
    // sees values and not addresses, then fails first and cannot say which line it was.
    bool merges_data_bus_units() const;
    bool identifiable() const { return !breaks_command_cycles() && !merges_data_bus_units(); }
};

// Every data line and tested word-index bit of each memory, stuck low and high.
std::vector<fault_case> stuck_line_faults();
// Every pair of data lines and of tested word-index bits shorted, wired-AND and wired-OR, and
// every open data line; with `neighbours_only` the shorts of neighbouring lines alone.
std::vector<fault_case> short_and_open_faults(bool neighbours_only);

// What a diagnosed run of a fault gave, and what is wrong with it.
struct fault_outcome {
    bool ran = false; // the test ran to its verdict
    bool detected = false;
    bool named = false;         // exactly, or among the candidates of a finding
    bool named_exactly = false; // by a finding that offers no other explanation
    bool looks_dead = false;    // the FLASH stopped answering, and no line is named
    std::string problem;        // why the run or its naming is wrong, when it is
    bool named_wrongly = false; // a finding names a line outside the fault as the fault
    std::vector<std::string> findings;
    double seconds = 0; // the in-process run's wall time
};

// Judges `findings` of a run that ended with a verdict (`detected`: the test failed).
fault_outcome judge(const fault_case& fault, bool detected, std::vector<std::string> findings);

// What is wrong with `outcome` against what the model says of `fault`: it must run, fail, name
// no line wrongly, and be named when the trace can identify it (else say the FLASH stopped
// answering, where that is why not). Empty when all is as expected.
std::string unexpected(const fault_case& fault, const fault_outcome& outcome);

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

// The bench image, for the FLASH's faults: with it their test runs on the bench monitor and a
// chip that took no command is probed as korvin --probe-flash does.
void use_bench_image(std::vector<std::uint8_t> image);
bool probes_flash();
// The FLASH test with `faults` on the bench image in process, diagnosed, then probed when the
// chip took no command; the probe's findings follow the trace's.
diagnosed_run probe_flash_in_process(const std::vector<std::string>& faults);

// `fault`'s memory test in process, diagnosed and judged.
fault_outcome run_in_process(const fault_case& fault, const std::vector<std::uint8_t>& image);

// Every fault in process on `workers` threads, a fresh board each; the outcomes in the
// faults' order. The FLASH's faults go first: theirs are the long runs (a data poll that runs
// out takes seconds), and a long run started last would leave the other workers idle.
std::vector<fault_outcome> run_all_in_process(const std::vector<fault_case>& faults,
                                              const std::vector<std::uint8_t>& image,
                                              unsigned workers);

} // namespace korvin::test
