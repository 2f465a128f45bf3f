#include "fault_universe.h"

#include "diagnose.h"
#include "image_runner.h"
#include "monitor.h"
#include "sim/faults.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <fstream>
#include <iterator>
#include <numeric>
#include <thread>

namespace korvin::test {

std::vector<std::uint8_t> read_image(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

diagnosed_run diagnose_in_process(const device_case& device, const std::vector<std::string>& faults,
                                  const std::vector<std::uint8_t>& image) {
    diagnosed_run d;
    sim::board_options options;
    for (const std::string& f : faults)
        if (!sim::parse_fault(f, options.faults, d.problem))
            return d;
    sim::run_request request;
    request.image = image;
    // The trace on, then the test: what korvin --diagnose sends.
    request.commands = {'v', device.command};
    const sim::image_run run = sim::run_image(request, options);
    d.seconds = run.seconds;
    if (!run.completed) {
        d.problem = run.problem;
        return d;
    }
    d.ran = true;
    const sim::command_answer& test = run.answers.back();
    d.passed = !test.code.empty() && test.code[0] == '0';
    if (!d.passed)
        d.findings = diagnose(
            device.tested,
            result_code_of(test.code.empty() ? 0u : static_cast<unsigned char>(test.code[0])),
            test.trace);
    return d;
}

fault_outcome run_in_process(const fault_case& fault, const std::vector<std::uint8_t>& image) {
    diagnosed_run d = fault.device->tested == memory::flash && probes_flash()
                          ? probe_flash_in_process({fault.text()})
                          : diagnose_in_process(*fault.device, {fault.text()}, image);
    fault_outcome o;
    if (d.ran)
        o = judge(fault, !d.passed, std::move(d.findings));
    else
        o.problem = d.problem;
    o.seconds = d.seconds;
    return o;
}

std::vector<fault_outcome> run_all_in_process(const std::vector<fault_case>& faults,
                                              const std::vector<std::uint8_t>& image,
                                              unsigned workers) {
    std::vector<std::size_t> order(faults.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_partition(order.begin(), order.end(),
                          [&](std::size_t i) { return faults[i].device->tested == memory::flash; });
    std::vector<fault_outcome> outcomes(faults.size());
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < std::max(workers, 1u); ++w)
        pool.emplace_back([&] {
            for (std::size_t n; (n = next++) < order.size();) {
                const std::size_t i = order[n];
                try {
                    outcomes[i] = run_in_process(faults[i], image);
                } catch (const std::exception& e) {
                    outcomes[i].problem = e.what();
                }
            }
        });
    for (std::thread& t : pool)
        t.join();
    return outcomes;
}

} // namespace korvin::test
