#include "monitor.h"

#include "diagnose.h"
#include "junit_report.h"
#include "report.h"
#include "serial.h"

#include <chrono>
#include <cstdio>

namespace korvin {

int monitor_wait_for(unsigned byte) {
    for (;;) {
        const unsigned b = serial_read_byte(0);
        if (serial_failed())
            return 0;
        if (b == (byte & 0xFFu))
            return 1;
    }
}

int monitor_command(unsigned command, bool show_trace, monitor_answer& answer) {
    answer = {};
    if (!monitor_wait_for('?'))
        return MONITOR_LINK_LOST;
    serial_write_byte(command);
    for (;;) {
        const unsigned b = serial_read_byte(0);
        if (serial_failed())
            return MONITOR_LINK_LOST;
        if (b == ':')
            break;
        report_to(show_trace ? REPORT_BOTH : REPORT_LOG, "%c", static_cast<int>(b));
        answer.trace += static_cast<char>(b);
    }
    const unsigned first_digit = serial_read_byte(0);
    if (serial_failed())
        return MONITOR_LINK_LOST;
    // Only the first digit is read: the next one would be the prompt of the
    // next command, which monitor_wait_for has to see. Codes carry no leading
    // zeros, so '0' alone is a pass.
    if (first_digit >= '0' && first_digit <= '9')
        answer.code = first_digit - '0';
    else if (first_digit >= 'a' && first_digit <= 'f')
        answer.code = first_digit - 'a' + 10;
    else
        answer.code = 0xFFFFFFFFu; // not a hex digit: a garbled answer
    return first_digit == '0' ? 1 : 0;
}

int monitor_command(unsigned command) {
    monitor_answer ignored;
    return monitor_command(command, true, ignored);
}

namespace {

struct test_entry {
    memory tested;
    bool run_settings::*selected;
    const char* heading;
    char command;
    const char* name; // in the report
};

const test_entry tests[] = {
    {memory::sdram, &run_settings::test_sdram, "Testing SDRAM...%c", '1', "sdram"},
    {memory::flash, &run_settings::test_flash, "Testing FLASH...%c", '2', "flash"},
    {memory::sram, &run_settings::test_sram, "Testing SRAM...%c", '3', "sram"},
};

const char* report_name(memory tested) {
    for (const test_entry& t : tests)
        if (t.tested == tested)
            return t.name;
    return "";
}

bool write_report(const std::string& path, const std::vector<test_verdict>& verdicts) {
    std::vector<test_outcome> outcomes;
    for (const test_verdict& v : verdicts)
        outcomes.push_back({report_name(v.tested), v.passed ? 0 : v.code, v.seconds, v.findings});
    if (write_junit_report(path, outcomes))
        return true;
    std::fprintf(stderr, "Could not write report '%s'.\n", path.c_str());
    return false;
}

} // namespace

test_run_result test_run(const run_settings& settings) {
    test_run_result result;
    // A diagnosis needs the trace even when the console is not to show it.
    const bool trace_sent = settings.verbose || settings.diagnose;
    if (trace_sent && monitor_command('v') == MONITOR_LINK_LOST) {
        result.link_lost = true;
        return result;
    }
    if (settings.continuous && monitor_command('s') == MONITOR_LINK_LOST) {
        result.link_lost = true;
        return result;
    }
    do {
        result.verdicts.clear();
        for (const test_entry& t : tests) {
            if (!(settings.*t.selected))
                continue;
            const char console_end = settings.verbose ? '\n' : ' ';
            const char log_end = trace_sent ? '\n' : ' ';
            if (console_end == log_end) {
                report(t.heading, console_end);
            } else {
                report_to(REPORT_CONSOLE, t.heading, console_end);
                report_to(REPORT_LOG, t.heading, log_end);
            }
            monitor_answer answer;
            const auto start = std::chrono::steady_clock::now();
            const int r =
                monitor_command(static_cast<unsigned char>(t.command), settings.verbose, answer);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            if (r == MONITOR_LINK_LOST) {
                result.link_lost = true;
                return result;
            }
            report(r ? "passed\n" : "failed\n");
            test_verdict verdict{t.tested, r == 1, answer.code, took.count(), {}};
            if (r != 1) {
                result.any_failed = true;
                verdict.findings = diagnose(t.tested, answer.code, answer.trace);
                if (settings.diagnose)
                    for (const std::string& finding : verdict.findings)
                        report("    %s\n", finding.c_str());
            }
            result.verdicts.push_back(verdict);
        }
        ++result.passes;
        if (!settings.report_path.empty() && !write_report(settings.report_path, result.verdicts))
            result.report_failed = true;
    } while (settings.continuous);
    return result;
}

} // namespace korvin
