#pragma once
// The host's two fixed outputs: the test run's report (console and log file)
// and the usage text.
#include <cstdio>
#include <string>

namespace korvin {

// The open log file, or null; written only through report.
extern std::FILE* log_file;

// printf to standard output and, when a log file is open, into it as well.
// The log is flushed each time so that an interrupted run keeps all of it.
void report(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Where report_to writes: a diagnosis run keeps the trace in the log but
// shows the console only headings and verdicts.
enum report_target { REPORT_CONSOLE = 1, REPORT_LOG = 2, REPORT_BOTH = 3 };
void report_to(int targets, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Also keep the log's text (what -l writes) in `log` from now on; null
// stops. The run's record carries it.
void report_capture_log(std::string* log);

// Ends the line that report left open (a heading waiting for its verdict,
// a trace line cut short) on those of `targets` where one is.
void end_open_lines(int targets);

// The usage text, to standard error (or to `stream`).
void print_usage(std::FILE* stream = stderr);

// The long options, after the usage text of --help.
void print_long_options(std::FILE* stream);

} // namespace korvin
