#pragma once
// The parts of the command line that have options of their own: the
// summary's, and the bench monitor's locations and values. Used by
// command_line.cpp only.
#include "command_line.h"

#include <cstdint>
#include <string>

namespace korvin {

// Whether the command line asks for --summary, which is read with the
// summary's options alone.
bool summary_wanted(int argc, char** argv);
// Reads --summary URL, --since, --until, --station NAME and --html FILE.
void parse_summary(int argc, char** argv, parsed_command_line& parsed);

// A 32-bit number, whole text, in `base` (0: C style); false for anything
// else.
bool parse_u32(const std::string& text, int base, std::uint32_t& value);
// --peek, --poke or --dump with its argument in optarg (and --dump's length
// the next word); false, with the message in `parsed`, when it is none of
// these.
bool bench_option(bench_operation::kind what, int argc, char** argv, parsed_command_line& parsed);

} // namespace korvin
