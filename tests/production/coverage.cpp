// korvin_coverage: what the memory tests detect and what the diagnosis names, fault by fault,
// on simulated boards in this process. Prints a table per memory and fault class, and the
// faults per second; the status is 1 when a fault that must be caught is missed, when any
// line is named wrongly, or when a fault the trace can identify is left unnamed.
//
// Usage: korvin_coverage [--set stuck|ci|all] [--workers N] [--image PATH] [--list]
//                        [--earlier-flash]
//   stuck  every single stuck data line and word-index line (208 faults)
//   ci     those, every short of neighbouring lines and pins both ways, every open data line
//          and address pin, every byte lane and control line stuck and open
//   all    every stuck line, every pair of lines or pins shorted both ways, every open line,
//          every byte lane and control line stuck and open
// --list adds a line per fault: its --fault text, how it came out, the run's wall time, how
// many explanations a finding offering several leaves (0 for none), and its first finding.
// --earlier-flash runs only the set's FLASH faults that break the command cycles, each on a
// chip that holds what a passing FLASH test left (a board tested before), not a blank one.
#include "fault_universe.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace korvin::test;

namespace {

int usage() {
    std::fprintf(stderr, "usage: korvin_coverage [--set stuck|ci|all] [--workers N] "
                         "[--image PATH] [--list] [--earlier-flash]\n");
    return 2;
}

struct tally {
    int total = 0, detected = 0, exactly = 0, candidates = 0, wrongly = 0, dead = 0;
};

} // namespace

int main(int argc, char** argv) {
    std::string set = "all", image_path;
    unsigned workers = std::thread::hardware_concurrency();
    bool list = false, earlier_flash = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--list" || arg == "--earlier-flash") {
            (arg == "--list" ? list : earlier_flash) = true;
            continue;
        }
        if (i + 1 >= argc)
            return usage();
        if (arg == "--set")
            set = argv[++i];
        else if (arg == "--workers")
            workers = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (arg == "--image")
            image_path = argv[++i];
        else
            return usage();
    }
    if (set != "stuck" && set != "ci" && set != "all")
        return usage();
    workers = std::clamp(workers, 1u, 64u);
    if (image_path.empty()) {
        const std::string self = argv[0];
        const auto slash = self.rfind('/');
        image_path =
            (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/boot.bin";
    }
    const std::vector<std::uint8_t> image = read_image(image_path);
    if (image.empty()) {
        std::fprintf(stderr, "korvin_coverage: cannot read %s\n", image_path.c_str());
        return 2;
    }

    // The FLASH's faults run on the bench image beside it, probed when the chip took none
    // of the test's commands.
    use_bench_image(read_image(image_path.substr(0, image_path.rfind('.')) + "_bench.bin"));
    std::vector<fault_case> faults = stuck_line_faults();
    if (set != "stuck")
        for (const auto& more : {short_and_open_faults(set == "ci"), net_faults(set == "ci")})
            faults.insert(faults.end(), more.begin(), more.end());
    std::string earlier_file;
    if (earlier_flash) {
        faults.erase(std::remove_if(faults.begin(), faults.end(),
                                    [](const fault_case& f) {
                                        return f.device->tested != korvin::memory::flash ||
                                               !f.breaks_command_cycles();
                                    }),
                     faults.end());
        char path[] = "/tmp/korvin_coverage_flash_XXXXXX";
        const int fd = mkstemp(path);
        std::string problem = fd < 0 ? "cannot make a file in /tmp" : "";
        if (fd >= 0)
            close(fd);
        std::remove(path); // the name is ours; a missing array file is a blank chip
        if (problem.empty() && !probes_flash())
            problem = "no bench image beside the image";
        if (problem.empty())
            leave_earlier_flash(earlier_file = path, problem);
        if (!problem.empty()) {
            std::fprintf(stderr, "korvin_coverage: %s\n", problem.c_str());
            std::remove(path);
            return 2;
        }
        use_earlier_flash(earlier_file);
    }
    const auto begin = std::chrono::steady_clock::now();
    const std::vector<fault_outcome> outcomes = run_all_in_process(faults, image, workers);
    if (!earlier_file.empty())
        std::remove(earlier_file.c_str());
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    int violations = 0;
    for (std::size_t i = 0; i < faults.size(); ++i) {
        const fault_case& f = faults[i];
        const fault_outcome& o = outcomes[i];
        // What a blank chip must show does not hold for one that answers from an earlier
        // test's words; a wrong name never holds.
        std::string why = unexpected(f, o);
        if (earlier_flash && !o.named_wrongly)
            why = o.detected ? "" : "not detected " + o.problem;
        if (!why.empty()) {
            ++violations;
            std::fprintf(stderr, "%s: %s\n", f.text().c_str(), why.c_str());
        }
    }

    std::printf("| memory | fault class | faults | detected | named exactly | among candidates "
                "| named wrongly | looks dead |\n");
    std::printf("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: |\n");
    for (const device_case& d : DEVICES)
        for (fault_kind kind : FAULT_KINDS) {
            tally t;
            for (std::size_t i = 0; i < faults.size(); ++i) {
                if (faults[i].device != &d || faults[i].kind != kind)
                    continue;
                const fault_outcome& o = outcomes[i];
                ++t.total;
                t.detected += o.detected;
                t.exactly += o.named_exactly;
                t.candidates += o.named && !o.named_exactly;
                t.wrongly += o.named_wrongly;
                t.dead += o.looks_dead;
            }
            if (t.total)
                std::printf("| %s | %s | %d | %d | %d | %d | %d | %d |\n", d.name, kind_name(kind),
                            t.total, t.detected, t.exactly, t.candidates, t.wrongly, t.dead);
        }
    for (std::size_t i = 0; list && i < faults.size(); ++i) {
        const fault_outcome& o = outcomes[i];
        const char* how = o.named_wrongly   ? "named wrongly"
                          : o.named_exactly ? "named exactly"
                          : o.named         ? "among candidates"
                          : o.looks_dead    ? "looks dead"
                          : o.detected      ? "detected, not named"
                                            : "not detected";
        // How many explanations the last finding offering several leaves standing.
        int offered = 0;
        for (const std::string& f : o.findings)
            if (f.find(", or ") != std::string::npos) {
                offered = 1;
                for (std::size_t at = 0; (at = f.find(", or ", at)) != std::string::npos; at += 5)
                    ++offered;
            }
        std::printf("%s\t%s\t%.2f s\t%d\t%s\n", faults[i].text().c_str(), how, o.seconds, offered,
                    o.findings.empty() ? "" : o.findings.front().c_str());
    }
    std::printf("\n%zu faults in %.1f s wall with %u workers = %.1f faults/s; %d not as "
                "expected\n",
                faults.size(), wall, workers, static_cast<double>(faults.size()) / wall,
                violations);
    return violations ? 1 : 0;
}
