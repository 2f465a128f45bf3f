#include "report.h"

#include <cstdarg>

namespace korvin {

std::FILE* log_file = nullptr;

void report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    std::vprintf(format, args);
    if (log_file) {
        std::vfprintf(log_file, format, again);
        // A continuous run ends only by CTRL-C, which flushes nothing.
        std::fflush(log_file);
    }
    va_end(again);
    va_end(args);
}

void print_usage() {
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
               stderr);
}

} // namespace korvin
