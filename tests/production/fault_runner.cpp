// korvin_fault_runner: the stuck-line matrix on simulated boards in this process, timed.
// Usage: korvin_fault_runner [IMAGE [WORKERS]]; IMAGE defaults to boot.bin beside this
// program, WORKERS to one per core. Prints the faults per second of wall time; the status is
// 1 when a fault is missed or misnamed.
#include "fault_universe.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace korvin::test;

int main(int argc, char** argv) {
    std::string path = argc > 1 ? argv[1] : "";
    if (path.empty()) {
        const std::string self = argv[0];
        const auto slash = self.rfind('/');
        path =
            (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/boot.bin";
    }
    const std::vector<std::uint8_t> image = read_image(path);
    if (image.empty()) {
        std::fprintf(stderr, "korvin_fault_runner: cannot read %s\n", path.c_str());
        return 2;
    }
    unsigned workers =
        argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : std::thread::hardware_concurrency();
    workers = std::clamp(workers, 1u, 64u);

    const std::vector<fault_case> faults = stuck_line_faults();
    const auto begin = std::chrono::steady_clock::now();
    const std::vector<fault_outcome> outcomes = run_all_in_process(faults, image, workers);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    int detected = 0, named = 0, wrong = 0;
    for (std::size_t i = 0; i < faults.size(); ++i) {
        const fault_outcome& o = outcomes[i];
        detected += o.detected;
        named += o.named;
        if (!o.ran || !o.detected || !o.problem.empty() || (faults[i].identifiable() && !o.named)) {
            ++wrong;
            std::fprintf(stderr, "%s: %s\n", faults[i].text().c_str(),
                         o.problem.empty() ? "missed or not named" : o.problem.c_str());
        }
    }
    std::printf("%zu faults in %.3f s wall with %u workers = %.1f faults/s; detected %d, named "
                "%d, wrong %d\n",
                faults.size(), wall, workers, static_cast<double>(faults.size()) / wall, detected,
                named, wrong);
    // Where the time goes: each memory's runs, and its slowest fault.
    for (const device_case& d : DEVICES) {
        double total = 0, slowest = 0;
        std::string which;
        for (std::size_t i = 0; i < faults.size(); ++i)
            if (faults[i].device == &d) {
                total += outcomes[i].seconds;
                if (outcomes[i].seconds > slowest) {
                    slowest = outcomes[i].seconds;
                    which = faults[i].text();
                }
            }
        std::printf("  %-5s %.3f s of runs, slowest %s %.3f s\n", d.name, total, which.c_str(),
                    slowest);
    }
    return wrong ? 1 : 0;
}
