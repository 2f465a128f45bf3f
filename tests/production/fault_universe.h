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

// A control line as korvin-sim names it: chip select, output enable, write enable, and the
// SDRAM's RAS, CAS and clock enable.
enum class control_line { cs, oe, we, ras, cas, cke };

struct device_case {
    const char* name; // as korvin and korvin-sim name it
    const char* heading;
    memory tested;
    char command; // the monitor's command byte for its test
    int data_lines;
    // Word-index bits the address-line test walks that are the chip's own address lines: the
    // FLASH's and the SRAM's. The SDRAM's address pins are multiplexed and counted apart.
    int address_bits;
    int address_pins, bank_pins; // the SDRAM's wired MA and BA pins
    const char* lane_prefix;     // "dqm", "eb": a byte lane's line; none for the FLASH
    int lanes;
    std::vector<control_line> controls;
};

extern const std::vector<device_case> DEVICES;

// The SDRAM's address pins by number, as in korvin-sim: MA<n> is n, BA<n> BANK_PIN + n.
constexpr int BANK_PIN = 13;

enum class fault_kind {
    stuck_data,
    data_short,
    open_data,
    stuck_address, // a word-index line of the FLASH or the SRAM
    address_short,
    stuck_pin, // an SDRAM address pin MA<n>
    pin_short,
    open_pin,
    stuck_bank, // an SDRAM bank pin, and its shorts to any address or bank pin
    bank_short,
    open_bank,
    stuck_lane, // a byte lane's mask or enable line
    open_lane,
    stuck_control,
    open_control,
};

// The classes a coverage table counts, in its order: by net, data, address, bank, byte lane,
// control.
extern const std::vector<fault_kind> FAULT_KINDS;
const char* kind_name(fault_kind kind);

struct fault_case {
    const device_case* device;
    fault_kind kind;
    int line;       // a data line, word-index bit, pin number, lane, or control_line
    int level;      // stuck: the level; shorts: 0 wired-AND, 1 wired-OR
    int other = -1; // shorts: the second line (above `line`, or an MA pin for a bank short)

    // korvin-sim's --fault argument: "sdram:d3=0", "sram:a4~a5=and", "sdram:ba1~ma11=or",
    // "sdram:dqm2=open", "flash:we=1".
    std::string text() const;
    bool on_data_lines() const;
    // Whether the memory's own test cannot see the fault: a byte lane stuck enabled (every
    // access of the tests enables it anyway), a chip select stuck active, the SRAM's OE#
    // stuck low (it writes while WE# is low whatever OE# says), the SDRAM's clock enable
    // stuck or open high.
    bool invisible() const;
    // Whether the fault changes a FLASH command cycle as the chip decodes it (the low byte of
    // the data, word-index bits 0 to 10) in a sector the test programs: the chip then takes
    // no command, the first completion poll runs out as with a dead chip, and the trace
    // cannot tell which line it was. Stuck lines act at the chip's outputs only. Write enable
    // stuck high or open, and OE# low (which inhibits writes), lose every command likewise.
    bool breaks_command_cycles() const;
    // Whether an address fault makes two of the FLASH's data-bus test units (its first 64
    // words) one word, or moves the identification words 0 and 1: the data-bus test, which
    // sees values and not addresses, then fails first and cannot say which line it was.
    bool merges_data_bus_units() const;
    // Whether a short of SDRAM pins spoils the start-up's addressed commands: the precharge of
    // all banks (A10 high), the mode register load (0x033 on A11..A0, banks 00: CAS latency
    // 3, standard operation) and the extended one (banks 10). Every load is then undefined,
    // and the trace cannot tell which pins it was. A stuck pin that does so is named among
    // the few that can.
    bool spoils_sdram_start_up() const;
    bool identifiable() const {
        return !breaks_command_cycles() && !merges_data_bus_units() && !spoils_sdram_start_up();
    }
};

// Every data line and tested word-index bit of each memory, stuck low and high.
std::vector<fault_case> stuck_line_faults();
// Every pair of data lines and of tested word-index bits shorted, wired-AND and wired-OR, and
// every open data line; with `neighbours_only` the shorts of neighbouring lines alone.
std::vector<fault_case> short_and_open_faults(bool neighbours_only);
// The SDRAM's address and bank pins stuck and open, their shorts both ways (with
// `neighbours_only` those of neighbouring pins in the order MA0..MA11, BA0, BA1), every byte
// lane's line and every control line stuck and open.
std::vector<fault_case> net_faults(bool neighbours_only);

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
// The FLASH array file each FLASH fault's board starts from ("" for a blank chip).
void use_earlier_flash(std::string path);
// Runs the FLASH test on a good board whose array starts from and goes back to `path`:
// the file then holds what a passing test leaves. False, with the problem, when it fails.
bool leave_earlier_flash(const std::string& path, std::string& problem);
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
