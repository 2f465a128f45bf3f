#pragma once
// The command line and the run sequence of korvin.
#include "settings.h"

#include <cstddef>
#include <cstdint>

namespace korvin {

// Converts like atoi (leading white space, a sign, decimal digits up to the
// first other character, 0 without digits), but clamps to the int32 range.
std::int32_t parse_port_number(const char* text);

// Parses the options ("chl:p:v", GNU permutation unless POSIXLY_CORRECT) and
// the test name into `settings`, acting on each option as it comes: -l opens
// log_file. 1 to go on with the run; 0 when the program must end with status
// 1 (usage text or message printed).
int parse_command_line(int argc, char** argv, run_settings& settings);

// The whole program: returns the exit status.
int korvin_main(int argc, char** argv, const unsigned char* image, std::size_t image_length);

} // namespace korvin
