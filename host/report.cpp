#include "report.h"

#include <cstdarg>

namespace korvin {

std::FILE* log_file = nullptr;

namespace {

void vreport(int targets, const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    if (targets & REPORT_CONSOLE)
        std::vprintf(format, args);
    if ((targets & REPORT_LOG) && log_file) {
        std::vfprintf(log_file, format, again);
        // A continuous run ends only by CTRL-C, which flushes nothing.
        std::fflush(log_file);
    }
    va_end(again);
}

} // namespace

void report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vreport(REPORT_BOTH, format, args);
    va_end(args);
}

void report_to(int targets, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vreport(targets, format, args);
    va_end(args);
}

void print_usage(std::FILE* stream) {
    std::fputs("Usage: korvin [-c] [-h] [-l <logfile>] [-p <port>] [-v] [sdram|flash|sram]\n"
               "\n"
               "Version: 1.1, 4 December 2012\n"
               "\n"
               "Tests basic components (SDRAM, FLASH and SRAM) of a Velmora i.MX27-\n"
               "based unit. If no test is specified all tests are run in sequence.\n"
               "\n"
               "  -c            Run test(s) continuously (CTRL-C to stop).\n"
               "\n"
               "  -h            Print this usage message.\n"
               "\n"
               "  -l            Log test(s) results to <logfile>.\n"
               "\n"
               "  -p <port>     Use the specified serial port (default is \"1\").  Valid\n"
               "                values are 1 (COM1), 2 (COM2), etc.\n"
               "\n"
               "  -v            Run test(s) in verbose mode.\n"
               "\n",
               stream);
}

void print_long_options(std::FILE* stream) {
    std::fputs("Options for the production line:\n"
               "\n"
               "  --diagnose        After each failed test, name the faulty data or address\n"
               "                    lines the test's trace shows (the log gets the trace).\n"
               "  --report <file>   Write a JUnit XML report to <file> after every pass.\n"
               "  --strict          Exit with status 2 when a test failed.\n"
               "  --wait <seconds>  Give up when the board does not answer within <seconds>.\n"
               "  --list-ports      List the serial ports of this machine and exit.\n"
               "  --help            Print this text and exit.\n"
               "\n"
               "Exit status: 0 done, 1 trouble (options, port, board not answering, link\n"
               "lost, report not written), 2 a test failed (with --strict).\n",
               stream);
}

} // namespace korvin
