#pragma once
// The command line read into the run settings without acting on any of it.
// What the options ask to be done on the way (opening log files, trying
// report paths) comes back in command-line order, with the action that ends
// the command line; korvin_main carries them out.
#include "settings.h"
#include "summary.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvin {

// Converts like atoi (leading white space, a sign, decimal digits up to the
// first other character, 0 without digits), but clamps to the int32 range.
std::int32_t parse_port_number(const char* text);

enum class effect_kind {
    open_log,         // -l: open (create or empty) the file and make it the log
    check_report,     // --report: make sure a report can be written at the path
    check_report_dir, // --report-dir: make the folder if need be and try writing in it
};

// Something an option asks to be done before the action.
struct command_line_effect {
    effect_kind kind;
    std::string path;
};

// What the program does once the effects are done.
enum class command_line_action {
    run,             // the run sequence with the settings
    usage_failure,   // the usage text to standard error; status 1
    message_failure, // `message` to standard error; status 1
    print_version,   // "korvin <version>"; status 0
    list_ports,      // the serial ports of this machine; status 0
    help,            // the usage text and the long options, to standard output; status 0
    station,         // the station with the settings (station, ports, count, ...)
    summary,         // --summary: the results store's summary (and page)
};

struct parsed_command_line {
    run_settings settings;
    // The options' effects up to the one that ended the parse, in the order
    // given: an effect that fails ends the program before the later ones.
    std::vector<command_line_effect> effects;
    command_line_action action = command_line_action::run;
    std::string message; // of a message_failure, line end included
    // --summary URL with its own options: --since, --until, --station, --html.
    std::string summary_url, html_path;
    summary_filter filter;
};

// Parses the options ("chl:p:v" and the long options, GNU permutation unless
// POSIXLY_CORRECT) and the test name. -h, a bad option or a bad option
// argument, --version, --list-ports and --help end the parse where they
// stand: later options have no effect and the test name is not looked at.
// Prints nothing and touches no file. A command line with --summary is read
// with the summary's options alone.
parsed_command_line parse_command_line(int argc, char** argv);

} // namespace korvin
