// korvin-sim: a simulated board behind a pseudo-terminal, for korvin to test.
#include "board.h"
#include "faults.h"
#include "line_watch.h"
#include "pty.h"
#include "pty_host.h"

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::atomic<int> stop_signal{0};

void on_signal(int sig) {
    stop_signal = sig;
}

const char USAGE_TEXT[] =
    "usage: korvin-sim [--link PATH] [--line-rate] [--flash-timing[=PROG_US,ERASE_MS]]\n"
    "                  [--flash-file PATH] [--trace-bus FILE] [--fault FAULT]... [--stats]\n"
    "                  [--help]\n"
    "\n"
    "Simulates an i.MX27 board in serial boot mode behind a pseudo-terminal, whose path is\n"
    "the first line printed. Stops cleanly on SIGINT or SIGTERM.\n"
    "\n"
    "  --link PATH          also make PATH a symlink to the pseudo-terminal\n"
    "  --line-rate          pace the line at 115200 baud, 10 bits a byte, both directions\n"
    "  --flash-timing       FLASH word program and sector erase take time (default 10 us and\n"
    "                       500 ms; e.g. --flash-timing=20,100)\n"
    "  --flash-file PATH    keep the FLASH contents in PATH across runs\n"
    "  --trace-bus FILE     write every device access to FILE\n"
    "  --stats              print instruction and line counts on exit\n"
    "  --fault FAULT        inject a fault (repeatable):\n"
    "      sdram:dN=0|1  flash:dN=0|1  sram:dN=0|1     data line N stuck low/high\n"
    "      sdram:aN=0|1  flash:aN=0|1  sram:aN=0|1     word-index bit N stuck low/high\n"
    "      sdram:dN~dM=and|or  (flash:, sram: alike)   data lines N and M shorted: both\n"
    "                                                  carry their AND or their OR\n"
    "      sdram:aN~aM=and|or  (flash:, sram: alike)   word-index bits N and M shorted\n"
    "      sdram:dN=open  flash:dN=open  sram:dN=open  data line N open\n"
    "      flash:id=MMMM:DDDD                          other identification codes (hex)\n"
    "      flash:dead                                  no FLASH chip answers\n"
    "      sdram:cell=ADDR.B=0|1|rise|fall  (sram: alike)  bit B of the word at ADDR (hex)\n"
    "                                                  stuck, or unable to rise or fall\n"
    "      sdram:cell=ADDR.B~ADDR.C  (sram: alike)     a change of the first bit inverts\n"
    "                                                  the second\n"
    "      sdram:dqmN=0                                byte lane N's data mask stuck low\n"
    "      boot:never-wakes  boot:wake-after=N  boot:wake-alt\n"
    "      boot:refuse-write  boot:refuse-start\n";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "korvin-sim: %s\n%s", message.c_str(), USAGE_TEXT);
    return 2;
}

bool parse_timing(const char* text, korvin::sim::flash_timing& timing) {
    unsigned long program = 0, erase = 0;
    char tail = 0;
    if (std::sscanf(text, "%lu,%lu%c", &program, &erase, &tail) != 2 || program > 10000000 ||
        erase > 100000)
        return false;
    timing.program = std::chrono::microseconds(program);
    timing.erase = std::chrono::milliseconds(erase);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    using namespace korvin::sim;
    board_options options;
    std::string link;
    bool stats = false;
    enum {
        OPT_LINK = 1,
        OPT_LINE_RATE,
        OPT_FLASH_TIMING,
        OPT_FLASH_FILE,
        OPT_TRACE,
        OPT_FAULT,
        OPT_STATS,
        OPT_HELP
    };
    const option long_options[] = {
        {"link", required_argument, nullptr, OPT_LINK},
        {"line-rate", no_argument, nullptr, OPT_LINE_RATE},
        {"flash-timing", optional_argument, nullptr, OPT_FLASH_TIMING},
        {"flash-file", required_argument, nullptr, OPT_FLASH_FILE},
        {"trace-bus", required_argument, nullptr, OPT_TRACE},
        {"fault", required_argument, nullptr, OPT_FAULT},
        {"stats", no_argument, nullptr, OPT_STATS},
        {"help", no_argument, nullptr, OPT_HELP},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (;;) {
        const int c = getopt_long(argc, argv, "", long_options, nullptr);
        if (c == -1)
            break;
        std::string error;
        switch (c) {
        case OPT_LINK:
            link = optarg;
            break;
        case OPT_LINE_RATE:
            options.line_rate = true;
            break;
        case OPT_FLASH_TIMING:
            options.flash_timing.enabled = true;
            if (optarg && !parse_timing(optarg, options.flash_timing))
                return usage_error(std::string("bad --flash-timing '") + optarg + "'");
            break;
        case OPT_FLASH_FILE:
            options.flash_file = optarg;
            break;
        case OPT_TRACE:
            options.trace_file = optarg;
            break;
        case OPT_FAULT:
            if (!parse_fault(optarg, options.faults, error))
                return usage_error(error);
            break;
        case OPT_STATS:
            stats = true;
            break;
        case OPT_HELP:
            std::fputs(USAGE_TEXT, stdout);
            return 0;
        default:
            return usage_error(std::string("unknown or incomplete option '") + argv[optind - 1] +
                               "'");
        }
    }
    if (optind < argc)
        return usage_error(std::string("unexpected argument '") + argv[optind] + "'");

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    pty line;
    std::string error;
    if (!line.open(error)) {
        std::fprintf(stderr, "korvin-sim: %s\n", error.c_str());
        return 1;
    }
    line_watch watch(line.fd(), line.slave_path());
    pty_host host(line.fd(), watch, stop_signal);
    board simulated(options, stop_signal);
    if (!host.open(error) || !simulated.init(error) ||
        (!options.flash_file.empty() && !simulated.flash().load(options.flash_file, error)) ||
        (!link.empty() && !line.link(link, error))) {
        std::fprintf(stderr, "korvin-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", line.slave_path().c_str());
    std::fflush(stdout);

    const int status = simulated.run(host);
    // The watch goes first: ending an inotify watch takes a moment, in which the last bytes
    // sent reach the host before the line's hang-up would discard them.
    watch.close();
    line.close();
    if (!options.flash_file.empty() && !simulated.flash().save(options.flash_file, error)) {
        std::fprintf(stderr, "korvin-sim: %s\n", error.c_str());
        return status ? status : 1;
    }
    if (stats) {
        const double s = simulated.emulation_seconds();
        std::fprintf(stderr,
                     "korvin-sim: %llu instructions in %.3f s of emulation (%.1f million/s); "
                     "line: %llu bytes received, %llu sent\n",
                     static_cast<unsigned long long>(simulated.instructions()), s,
                     s > 0 ? static_cast<double>(simulated.instructions()) / s / 1e6 : 0.0,
                     static_cast<unsigned long long>(simulated.line().received()),
                     static_cast<unsigned long long>(simulated.line().sent()));
    }
    return status;
}
