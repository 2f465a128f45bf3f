#pragma once
// The host's two fixed outputs: the test run's report (console and log file)
// and the usage text.
#include <cstdio>

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

// The usage text, to standard error.
void print_usage();

} // namespace korvin
