#pragma once
// The command line and the run sequence of korvin.
#include "settings.h"

#include <cstddef>
#include <cstdint>

namespace korvin {

// Converts like atoi (leading white space, a sign, decimal digits up to the
// first other character, 0 without digits), but clamps to the int32 range.
std::int32_t parse_port_number(const char* text);

// What parse_command_line asks of the program.
constexpr int PARSE_FAILED = 0; // end with status 1 (usage text or message printed)
constexpr int PARSE_RUN = 1;    // go on with the run
constexpr int PARSE_DONE = 2;   // --help or --list-ports has been answered: status 0

// Parses the options ("chl:p:v" and the long options, GNU permutation unless
// POSIXLY_CORRECT) and the test name into `settings`, acting on each option
// as it comes: -l opens log_file, --help and --list-ports print at once.
int parse_command_line(int argc, char** argv, run_settings& settings);

// The serial ports, one a line: the argument -p takes, then what the system
// says of the port.
void print_port_list();

// The whole program: returns the exit status.
int korvin_main(int argc, char** argv, const unsigned char* image, std::size_t image_length);

} // namespace korvin
