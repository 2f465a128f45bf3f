#include "report.h"

#include "text.h"

#include <cstdarg>
#include <string>

namespace korvin {

std::FILE* log_file = nullptr;

namespace {

// Whether the last text written to the console or the log left a line open.
bool console_open = false;
bool log_open = false;
std::string* log_capture = nullptr;

void vreport(int targets, const char* format, va_list args) {
    // Formatted once into a buffer: the text may hold NUL bytes (a relayed
    // trace byte), and its last character tells whether a line is open.
    const std::string text = vformat(format, args);
    if (text.empty())
        return;
    const bool open = text.back() != '\n';
    // The log first: whatever the console shows is then in the log already,
    // even when CTRL-C (which flushes nothing) comes next.
    if ((targets & REPORT_LOG) && (log_file || log_capture)) {
        log_open = open;
        if (log_capture)
            log_capture->append(text);
        if (log_file) {
            std::fwrite(text.data(), 1, text.size(), log_file);
            std::fflush(log_file);
        }
    }
    if (targets & REPORT_CONSOLE) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        console_open = open;
    }
}

} // namespace

void report_capture_log(std::string* log) {
    log_capture = log;
}

void end_open_lines(int targets) {
    int open = 0;
    if (console_open)
        open |= REPORT_CONSOLE;
    if (log_open)
        open |= REPORT_LOG;
    if (targets & open)
        report_to(targets & open, "\n");
}

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
               "  --report <file>   Write a JUnit XML report to <file> after every pass; a\n"
               "                    <file> whose name ends in .json gets JSON instead.\n"
               "  --strict          Exit with status 2 when a test failed.\n"
               "  --wait <seconds>  Give up when the board does not answer within <seconds>.\n"
               "  --timeout <seconds>\n"
               "                    Give up when the board sends nothing for <seconds> during\n"
               "                    the tests (default 120).\n"
               "  --report-dir <dir>\n"
               "                    Keep each board's JUnit XML, JSON report and log in <dir>,\n"
               "                    named <UTC time>-<port>-<board number>[-<ID>].\n"
               "  --record <url>    Keep every run in a results store: sqlite:<file> or\n"
               "                    postgresql://... (a PostgreSQL connection URI).\n"
               "  --summary <url>   Print the yield, the failing lines and the failed boards\n"
               "                    of a results store and exit; with --since <date>,\n"
               "                    --until <date>, --station <name>, and --html <file> for\n"
               "                    the same as a page.\n"
               "  --list-ports      List the serial ports of this machine and exit.\n"
               "  --help            Print this text and exit.\n"
               "  --version         Print korvin's version and exit.\n"
               "\n"
               "Exit status: 0 done, 1 trouble (options, port, board not answering, link\n"
               "lost, report not written), 2 a test failed (with --strict).\n"
               "\n"
               "On the bench (these download the bench monitor instead):\n"
               "\n"
               "  --full            After each memory's test, its full test: a march test of\n"
               "                    every SDRAM and SRAM cell and their byte lanes.\n"
               "  --full-range <bytes>\n"
               "                    The full test over the first <bytes> of each memory only.\n"
               "  --probe-flash     With --diagnose implied: when the FLASH took no command,\n"
               "                    probe it (CFI query, autoselect, corrected command cycles)\n"
               "                    and name the line fault; --full --diagnose does the same.\n"
               "  --peek <addr>[:<width>], --poke <addr>=<value>[:<width>]\n"
               "  --dump <addr>[:<width>] <length>\n"
               "                    Read, write or dump memory (width 8, 16 or 32 bits), after\n"
               "                    the controllers are set up as the tests set them; no test.\n"
               "\n"
               "The station: many boards at once, one korvin per board.\n"
               "\n"
               "  korvin --station [-p <port>]... [sdram|flash|sram] [--diagnose]\n"
               "         [--report-dir <dir>] [--count <n>] [--strict] [--timeout <seconds>]\n"
               "\n"
               "  --station         Test every board the moment it wakes on the ports given\n"
               "                    with -p (or on every port --list-ports shows, as adapters\n"
               "                    come and go), then wait for it to be swapped. Lines typed\n"
               "                    on standard input are board IDs for the boards to come.\n"
               "                    CTRL-C ends it. Status 2 with --strict after a failure or\n"
               "                    an error, 1 when it cannot start.\n"
               "  --count <n>       End the station after <n> boards.\n"
               "\n"
               "For programs that drive korvin (the station's own runs):\n"
               "\n"
               "  --events          Standard output carries only events, one JSON object a\n"
               "                    line; SIGTERM or CTRL-C ends the run as interrupted.\n"
               "  --ask-board       At the wake, read \"<number> <ID>\" from standard input.\n"
               "  --board-number <n>, --board-id <id>\n"
               "                    The board's number and ID, for the reports.\n"
               "  --until-swapped   After the run keep the port and report the line until\n"
               "                    the board is taken away.\n",
               stream);
}

} // namespace korvin
