#pragma once
// The station's platform layer: child processes whose standard input and
// output are pipes, waiting on their output and on the station's own
// standard input, ending them; the stop request that CTRL-C and SIGTERM (a
// console control event on Windows) make; and the terminal's facts.
// processes_posix.cpp and processes_win32.cpp implement it.
#include <cstdio>
#include <string>
#include <vector>

namespace korvin {

struct child_process; // a running (or ended, not yet released) child

// Starts argv (argv[0] a path) with its standard input and output as pipes
// and its standard error on the null device, in a process group of its own,
// so that the terminal's CTRL-C reaches the station alone. Null, with `error`
// set, when it could not be started.
child_process* child_start(const std::vector<std::string>& argv, std::string& error);

// Writes to the child's standard input without waiting; false when the
// child no longer reads it.
bool child_write(child_process* child, const std::string& text);

// Appends the complete lines the child has written so far (without their
// line ends) to `lines`, without waiting. False once its output has ended;
// a last line without its end is then given too.
bool child_read_lines(child_process* child, std::vector<std::string>& lines);

// Asks the child to stop: SIGTERM, or CTRL_BREAK to its process group.
void child_stop(child_process* child);
// Ends it at once.
void child_kill(child_process* child);

struct child_exit {
    int status = -1; // its exit status, or -1
    int signal = 0;  // the signal (POSIX) that ended it, or 0
};

// Whether the child has ended, without waiting; `how` then says how.
bool child_ended(child_process* child, child_exit& how);

// Frees what the child held; it must have ended.
void child_release(child_process* child);

// Returns when a child has output (or has ended it), standard input has a
// line (when watch_input), a stop was requested, or after timeout_ms.
void wait_for_activity(const std::vector<child_process*>& children, bool watch_input,
                       int timeout_ms);

// Appends the complete lines typed on standard input so far, without
// waiting. False once standard input has ended.
bool input_read_lines(std::vector<std::string>& lines);

// While the station shows its view on a terminal, typed lines (a barcode
// scanner's) must not echo into it. Turned back on by restore_input_echo.
void stop_input_echo();
void restore_input_echo();

// This program's own file, to start it again: the system's answer, else argv0.
std::string own_executable(const char* argv0);

// From now on CTRL-C and SIGTERM (console control events) only request a
// stop; a write to a pipe nobody reads fails instead of ending the process.
void install_stop_handlers();
bool stop_requested();
// Since install_stop_handlers: whether the process that started this one has
// ended (a station killed outright), so that its runs do not wait for ever.
bool parent_gone();

// Standard output as a stream of the caller's; standard output itself then
// goes to the null device. Null when it cannot be done.
std::FILE* divert_standard_output();

// Whether standard output is a terminal that takes ANSI sequences (on
// Windows once its virtual-terminal mode is on).
bool output_is_terminal();
// Columns of that terminal; 80 when not known.
int terminal_columns();

} // namespace korvin
