#include "fault_universe.h"

#include "diagnose.h"
#include "sim/faults.h"
#include "sim/image_runner.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <fstream>
#include <iterator>
#include <numeric>
#include <thread>

namespace korvin::test {

const std::vector<device_case> DEVICES = {
    {"sdram", "Testing SDRAM... ", memory::sdram, '1', 32, 23},
    {"flash", "Testing FLASH... ", memory::flash, '2', 16, 23},
    {"sram", "Testing SRAM... ", memory::sram, '3', 16, 17},
};

std::string fault_case::text() const {
    return std::string(device->name) + ":" + (kind == fault_kind::stuck_data ? "d" : "a") +
           std::to_string(line) + "=" + std::to_string(level);
}

std::string fault_case::expected_name() const {
    if (kind == fault_kind::stuck_data)
        return "data line D" + std::to_string(line) + " stuck " + (level ? "high" : "low");
    return "word-index bit " + std::to_string(line) + " = ";
}

bool fault_case::identifiable() const {
    return !(device->tested == memory::flash && kind == fault_kind::stuck_address && line <= 10);
}

std::vector<fault_case> stuck_line_faults() {
    std::vector<fault_case> faults;
    for (const device_case& d : DEVICES)
        for (fault_kind kind : {fault_kind::stuck_data, fault_kind::stuck_address}) {
            const int lines = kind == fault_kind::stuck_data ? d.data_lines : d.address_bits;
            for (int line = 0; line < lines; ++line)
                for (int level : {0, 1})
                    faults.push_back({&d, kind, line, level});
        }
    return faults;
}

fault_outcome judge(const fault_case& f, bool detected, std::vector<std::string> findings) {
    fault_outcome o;
    o.ran = true;
    o.detected = detected;
    o.findings = std::move(findings);
    if (!detected)
        return o;
    const std::string right = f.expected_name();
    for (const std::string& finding : o.findings) {
        if (finding.find(right) != std::string::npos) {
            o.named = true;
            continue;
        }
        // Any other line named is a wrong name.
        if (finding.find("data line D") != std::string::npos ||
            finding.find("word-index bit") != std::string::npos)
            o.problem = "names another line: " + finding;
    }
    // The address-line test only sees where a write went, not why.
    if (f.kind == fault_kind::stuck_address && o.named) {
        bool hedged = false;
        for (const std::string& finding : o.findings)
            hedged |= finding.find("stuck or shorted: " + right) != std::string::npos;
        if (!hedged)
            o.problem = "names the address line without \"stuck or shorted\"";
    }
    if (!f.identifiable() && !o.named) {
        bool seen = false;
        for (const std::string& finding : o.findings)
            seen |= finding.find("FLASH did not complete") != std::string::npos;
        if (!seen)
            o.problem = "does not say the FLASH stopped answering";
    }
    return o;
}

std::vector<std::uint8_t> read_image(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t result_code(const std::string& digits) {
    const char c = digits.empty() ? '\0' : digits[0];
    if (c >= '0' && c <= '9')
        return static_cast<std::uint32_t>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<std::uint32_t>(c - 'a' + 10);
    return 0xFFFFFFFFu; // not a hex digit: a garbled answer
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
        d.findings = diagnose(device.tested, result_code(test.code), test.trace);
    return d;
}

fault_outcome run_in_process(const fault_case& fault, const std::vector<std::uint8_t>& image) {
    diagnosed_run d = diagnose_in_process(*fault.device, {fault.text()}, image);
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
