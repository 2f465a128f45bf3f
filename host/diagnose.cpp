#include "diagnose.h"

#include "analysers.h"

namespace korvin {

parsed_test split_trace(const std::vector<trace_record>& records) {
    parsed_test test;
    trace_section* current = nullptr;
    trace_record previous;
    for (const trace_record& line : records) {
        switch (line.kind) {
        case record_kind::data_header:
            current = &test.data;
            test.data.present = true;
            break;
        case record_kind::address_header:
            current = &test.address;
            test.address.present = true;
            test.address.size = line.b;
            break;
        case record_kind::write:
        case record_kind::read:
        case record_kind::mismatch:
            if (line.kind == record_kind::mismatch)
                ++test.total_mismatches;
            if (current) {
                current->records.push_back(line);
                if (line.kind == record_kind::mismatch)
                    ++current->mismatches;
            }
            break;
        case record_kind::manufacturer:
            test.have_manufacturer = true;
            test.manufacturer = line.a;
            break;
        case record_kind::device:
            test.have_device = true;
            test.device = line.a;
            break;
        case record_kind::poll_timeout:
            test.timed_out = true;
            test.timeout_address = line.a;
            // The erase line goes out before the erase commands, so an erase
            // poll's time-out follows it directly.
            test.timeout_in_erase = previous.kind == record_kind::erase && previous.a == line.a;
            if (current && !test.timeout_in_erase)
                current->records.push_back(line);
            break;
        case record_kind::erase:
        case record_kind::other:
            break;
        }
        if (line.kind != record_kind::other)
            previous = line;
    }
    return test;
}

namespace {

void append(std::vector<std::string>& to, const std::vector<std::string>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// What the result code says failed but no analyser explained.
std::vector<std::string> unexplained(const parsed_test& test, const memory_layout& layout,
                                     std::uint32_t result_code, bool data_named,
                                     bool address_named) {
    std::vector<std::string> findings;
    if (result_code == layout.data_code && !data_named)
        findings.push_back(
            test.data.present
                ? format("data-bus test failed with %d mismatch %s but names no line",
                         test.data.mismatches, plural(test.data.mismatches, "line", "lines"))
                : std::string("data-bus test failed; the trace does not show it"));
    if (result_code == layout.address_code && !address_named)
        findings.push_back(
            test.address.present
                ? format("address-line test failed with %d mismatch %s but names no line",
                         test.address.mismatches, plural(test.address.mismatches, "line", "lines"))
                : std::string("address-line test failed; the trace does not show it"));
    if (result_code > layout.last_code)
        findings.push_back(format("result code 0x%x is not one this test reports", result_code));
    return findings;
}

} // namespace

std::vector<std::string> diagnose(memory tested, std::uint32_t result_code,
                                  const std::string& trace) {
    std::vector<std::string> findings;
    if (result_code == 0)
        return findings;
    const memory_layout& layout = layout_of(tested);
    const parsed_test test = split_trace(parse_trace(tested, trace));
    const bool flash = tested == memory::flash;

    // Chips off the data lines, a lane, an SDRAM that never started: no line to name.
    const net_result nets = analyse_nets(test, layout);
    data_bus_result data;
    if (!nets.settled)
        data = analyse_data_bus(test.data, layout);
    if (flash)
        append(findings, analyse_flash_identification(test, result_code, data.faulty_bits));
    append(findings, nets.findings);
    append(findings, data.findings);
    std::vector<std::string> address;
    if (!nets.settled)
        address = tested == memory::sdram
                      ? analyse_sdram_address(test, layout, data.faulty_bits)
                      : analyse_address_lines(test.address, layout, data.faulty_bits);
    append(findings, address);
    if (flash)
        append(findings, analyse_flash_completion(test, result_code));
    append(findings, unexplained(test, layout, result_code, nets.settled || !data.findings.empty(),
                                 nets.settled || !address.empty()));
    if (findings.empty())
        findings.push_back(format("test failed with result code 0x%x; the trace shows %d mismatch "
                                  "%s and names no line",
                                  result_code, test.total_mismatches,
                                  plural(test.total_mismatches, "line", "lines")));
    return findings;
}

} // namespace korvin
