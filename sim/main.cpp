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
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

// The signal that ended the board's run: SIGUSR1 for a swap, any other to stop.
std::atomic<int> stop_signal{0};

void on_signal(int sig) {
    if (sig == SIGUSR1) {
        // A stop asked for before the swap stands.
        int none = 0;
        stop_signal.compare_exchange_strong(none, SIGUSR1);
    } else {
        stop_signal = sig;
    }
}

const char USAGE_TEXT[] =
    "usage: korvin-sim [--link PATH] [--line-rate] [--flash-timing[=PROG_US,ERASE_MS]]\n"
    "                  [--flash-file PATH] [--trace-bus FILE] [--fault FAULT]... [--stats]\n"
    "                  [--swap-pause MS] [--swap-faults FILE] [--help]\n"
    "\n"
    "Simulates an i.MX27 board in serial boot mode behind a pseudo-terminal, whose path is\n"
    "the first line printed. Stops cleanly on SIGINT or SIGTERM. SIGUSR1 swaps the board:\n"
    "the line is silent for a moment, then a new board's boot ROM answers on the same path.\n"
    "\n"
    "  --link PATH          also make PATH a symlink to the pseudo-terminal\n"
    "  --line-rate          pace the line at 115200 baud, 10 bits a byte, both directions\n"
    "  --flash-timing       FLASH word program and sector erase take time (default 10 us and\n"
    "                       500 ms; e.g. --flash-timing=20,100)\n"
    "  --flash-file PATH    keep the FLASH contents in PATH across runs\n"
    "  --trace-bus FILE     write every device access to FILE\n"
    "  --stats              print instruction and line counts on exit\n"
    "  --swap-pause MS      how long the line is silent in a swap (default 1000)\n"
    "  --swap-faults FILE   the faults of each board swapped in: FILE, read at the swap, lists\n"
    "                       them as --fault takes them, separated by white space; '#' starts\n"
    "                       a comment (default, or no FILE: a good board)\n"
    "  --fault FAULT        inject a fault (repeatable):\n"
    "      sdram:dN=0|1  flash:dN=0|1  sram:dN=0|1     data line N stuck low/high\n"
    "      sdram:aN=0|1  flash:aN=0|1  sram:aN=0|1     word-index bit N stuck low/high\n"
    "      sdram:dN~dM=and|or  (flash:, sram: alike)   data lines N and M shorted: both\n"
    "                                                  carry their AND or their OR\n"
    "      sdram:aN~aM=and|or  (flash:, sram: alike)   word-index bits N and M shorted\n"
    "      sdram:dN=open  flash:dN=open  sram:dN=open  data line N open\n"
    "      sdram:maN=0|1|open  sdram:baN=0|1|open      SDRAM address pin MA0-MA11 or bank\n"
    "                                                  pin BA0-BA1 stuck low/high or open\n"
    "      sdram:maN~baM=and|or  (maN~maM, ...)        SDRAM address or bank pins shorted\n"
    "      sdram:dqmN=0|1|open  sram:ebN=0|1|open      byte lane N's mask or enable line\n"
    "      sdram:cs|ras|cas|we|cke=0|1|open            SDRAM control line stuck or open\n"
    "      flash:cs|oe|we=0|1|open  (sram: alike)      chip select, output or write enable\n"
    "      flash:id=MMMM:DDDD                          other identification codes (hex)\n"
    "      flash:dead                                  no FLASH chip answers\n"
    "      sdram:cell=ADDR.B=0|1|rise|fall  (sram: alike)  bit B of the word at ADDR (hex)\n"
    "                                                  stuck, or unable to rise or fall\n"
    "      sdram:cell=ADDR.B~ADDR.C  (sram: alike)     a change of the first bit inverts\n"
    "                                                  the second\n"
    "      flash:cell=ADDR.B=0|1                       bit B of the word at ADDR will not\n"
    "                                                  erase (0) or will not program (1)\n"
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

// The next board's faults: those `path` lists (none when it does not exist); false with
// `error` set on a malformed one.
bool read_swap_faults(const std::string& path, korvin::sim::fault_set& faults, std::string& error) {
    faults = korvin::sim::fault_set{};
    std::ifstream in(path);
    if (!in) {
        if (!std::filesystem::exists(path))
            return true;
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        std::istringstream words(line.substr(0, line.find('#')));
        for (std::string word; words >> word;)
            if (!korvin::sim::parse_fault(word, faults, error)) {
                error = path + ":" + std::to_string(number) + ": " + error;
                return false;
            }
    }
    return true;
}

// What --stats reports, over every board the run had.
struct run_counts {
    uint64_t instructions = 0, received = 0, sent = 0;
    double seconds = 0;

    void add(const korvin::sim::board& b) {
        instructions += b.instructions();
        seconds += b.emulation_seconds();
        received += b.line().received();
        sent += b.line().sent();
    }
};

} // namespace

int main(int argc, char** argv) {
    using namespace korvin::sim;
    board_options options;
    std::string link, swap_faults;
    bool stats = false;
    unsigned long swap_pause_ms = 1000;
    enum {
        OPT_LINK = 1,
        OPT_LINE_RATE,
        OPT_FLASH_TIMING,
        OPT_FLASH_FILE,
        OPT_TRACE,
        OPT_FAULT,
        OPT_STATS,
        OPT_SWAP_PAUSE,
        OPT_SWAP_FAULTS,
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
        {"swap-pause", required_argument, nullptr, OPT_SWAP_PAUSE},
        {"swap-faults", required_argument, nullptr, OPT_SWAP_FAULTS},
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
        case OPT_SWAP_PAUSE: {
            char* end = nullptr;
            swap_pause_ms = std::strtoul(optarg, &end, 10);
            if (end == optarg || *end || swap_pause_ms > 600000)
                return usage_error(std::string("bad --swap-pause '") + optarg + "'");
            break;
        }
        case OPT_SWAP_FAULTS:
            swap_faults = optarg;
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

    if (!swap_faults.empty()) {
        // A malformed file is a usage error now rather than at the first swap.
        fault_set unused;
        std::string error;
        if (!read_swap_faults(swap_faults, unused, error))
            return usage_error(error);
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    pty line;
    std::string error;
    if (!line.open(error)) {
        std::fprintf(stderr, "korvin-sim: %s\n", error.c_str());
        return 1;
    }
    line_watch watch(line.fd(), line.slave_path());
    pty_host host(line.fd(), watch, stop_signal);
    if (!host.open(error)) {
        std::fprintf(stderr, "korvin-sim: %s\n", error.c_str());
        return 1;
    }
    run_counts counts;
    std::unique_ptr<board> simulated;
    int status = 0;
    // One board after another on the same line, each made fresh: its boot ROM waiting, its
    // memories as at power-up, its FLASH from the file if there is one.
    for (bool first = true;; first = false) {
        simulated = std::make_unique<board>(options, stop_signal);
        if (!simulated->init(error) ||
            (!options.flash_file.empty() && !simulated->flash().load(options.flash_file, error)) ||
            (first && !link.empty() && !line.link(link, error))) {
            std::fprintf(stderr, "korvin-sim: %s\n", error.c_str());
            return 1;
        }
        if (first) {
            std::printf("%s\n", line.slave_path().c_str());
            std::fflush(stdout);
        }
        status = simulated->run(host);
        counts.add(*simulated);
        if (status != 0 || stop_signal != SIGUSR1)
            break;
        // The board is pulled: for a while nobody answers, whatever the host sends.
        const time_point until = sim_clock::now() + std::chrono::milliseconds(swap_pause_ms);
        while (stop_signal == SIGUSR1 && sim_clock::now() < until)
            host.silence(until);
        int swap = SIGUSR1;
        if (stop_signal != SIGUSR1)
            break;
        simulated.reset(); // its devices refer to the faults about to change
        options.faults = fault_set{};
        if (!swap_faults.empty() && !read_swap_faults(swap_faults, options.faults, error)) {
            std::fprintf(stderr, "korvin-sim: %s\n", error.c_str());
            status = 2;
            break;
        }
        if (!stop_signal.compare_exchange_strong(swap, 0))
            break; // a stop came in the meantime
    }
    // The watch goes first: ending an inotify watch takes a moment, in which the last bytes
    // sent reach the host before the line's hang-up would discard them.
    watch.close();
    line.close();
    if (simulated && !options.flash_file.empty() &&
        !simulated->flash().save(options.flash_file, error)) {
        std::fprintf(stderr, "korvin-sim: %s\n", error.c_str());
        return status ? status : 1;
    }
    if (stats) {
        const double s = counts.seconds;
        std::fprintf(stderr,
                     "korvin-sim: %llu instructions in %.3f s of emulation (%.1f million/s); "
                     "line: %llu bytes received, %llu sent\n",
                     static_cast<unsigned long long>(counts.instructions), s,
                     s > 0 ? static_cast<double>(counts.instructions) / s / 1e6 : 0.0,
                     static_cast<unsigned long long>(counts.received),
                     static_cast<unsigned long long>(counts.sent));
    }
    return status;
}
