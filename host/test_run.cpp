#include "test_run.h"

#include "diagnose.h"
#include "events.h"
#include "flash_probe.h"
#include "full_test.h"
#include "monitor.h"
#include "report.h"
#include "serial.h"

#include <chrono>
#include <cstdio>

namespace korvin {

namespace {

struct test_entry {
    memory tested;
    bool run_settings::*selected;
    const char* heading;
    char command;
    const char* name;    // in the report
    const char* display; // in the messages
};

const test_entry TESTS[] = {
    {memory::sdram, &run_settings::test_sdram, "Testing SDRAM...%c", '1', "sdram", "SDRAM"},
    {memory::flash, &run_settings::test_flash, "Testing FLASH...%c", '2', "flash", "FLASH"},
    {memory::sram, &run_settings::test_sram, "Testing SRAM...%c", '3', "sram", "SRAM"},
};

const char* report_name(memory tested) {
    for (const test_entry& t : TESTS)
        if (t.tested == tested)
            return t.name;
    return "";
}

// The report files of the run: --report's, and the report directory's two.
std::vector<std::string> report_files(const run_settings& settings) {
    std::vector<std::string> files;
    if (!settings.report_path.empty())
        files.push_back(settings.report_path);
    if (!settings.record_base.empty()) {
        files.push_back(settings.record_base + ".xml");
        files.push_back(settings.record_base + ".json");
    }
    return files;
}

bool write_reports(const run_settings& settings, const run_facts& facts,
                   const std::vector<test_verdict>& verdicts,
                   const test_outcome* cut_short = nullptr) {
    std::vector<test_outcome> outcomes;
    for (const test_verdict& v : verdicts)
        outcomes.push_back(
            {report_name(v.tested), v.passed ? 0 : v.code, v.seconds, v.findings, ""});
    if (cut_short)
        outcomes.push_back(*cut_short);
    bool written = true;
    for (const std::string& path : report_files(settings)) {
        if (!write_test_report(path, facts, outcomes)) {
            print_error("Could not write report '%s'.\n", path.c_str());
            written = false;
        }
    }
    return written;
}

void emit_test(event_kind kind, const test_entry& t, unsigned long pass,
               const test_verdict* verdict = nullptr) {
    run_event e;
    e.kind = kind;
    e.test = t.name;
    e.pass = pass;
    if (verdict) {
        e.passed = verdict->passed;
        e.code = verdict->code;
        e.seconds = verdict->seconds;
        e.findings = verdict->findings;
    }
    emit_event(e);
}

bool interrupted(monitor_outcome outcome) {
    return outcome == monitor_outcome::link_lost || outcome == monitor_outcome::silent ||
           outcome == monitor_outcome::stopped;
}

// Closes the record of a run whose link failed or whose board fell silent:
// the reason on a line of its own on the console and as the log's last line,
// the report with what this pass measured and the interrupted test as an
// error, and with --diagnose where it happened.
void record_interruption(const run_settings& settings, const run_facts& facts,
                         test_run_result& result, monitor_outcome why, const test_entry* during,
                         double seconds, test_run_observer* observer) {
    char message[160];
    if (why == monitor_outcome::silent)
        std::snprintf(message, sizeof message, "The board sent nothing for %d seconds.",
                      settings.timeout_seconds);
    else if (why == monitor_outcome::stopped)
        std::snprintf(message, sizeof message, "The run was interrupted.");
    else
        std::snprintf(message, sizeof message, "Could not read from serial port %s.",
                      serial_port_name().c_str());
    end_open_lines(REPORT_BOTH);
    print_error("%s\n", message);
    report_to(REPORT_LOG, "%s\n", message);
    (why == monitor_outcome::stopped ? result.stopped : result.link_lost) = true;
    if (observer && during)
        observer->test_ended(result.passes + 1, during->name, "error", 0, seconds, {});

    const test_outcome cut_short{during ? during->name : "monitor", 0, seconds, {}, message};
    if (!write_reports(settings, facts, result.verdicts, &cut_short))
        result.report_failed = true;
    if (settings.diagnose && why != monitor_outcome::stopped) {
        const std::string where = during ? std::string("during the ") + during->display + " test"
                                         : std::string("before the first test");
        const unsigned long pass = result.passes + 1;
        const std::string done = result.passes == 0 ? "no pass completed"
                                 : result.passes == 1
                                     ? "1 pass completed"
                                     : std::to_string(result.passes) + " passes completed";
        std::fprintf(stderr, "%s %s, in pass %lu (%s).\n",
                     why == monitor_outcome::silent ? "The board fell silent" : "The link was lost",
                     where.c_str(), pass, done.c_str());
        std::fputs(why == monitor_outcome::silent
                       ? "No test on a working board is silent this long: the board lost power or "
                         "was\nreset, or the cable was pulled. Check them and run korvin again.\n"
                       : "The serial device went away: a USB adapter was unplugged or the cable "
                         "pulled.\nCheck the connection and run korvin again; the tests completed "
                         "are in the\nreport.\n",
                   stderr);
    }
}

} // namespace

test_run_result test_run(const run_settings& settings, const run_facts& run,
                         test_run_observer* observer) {
    test_run_result result;
    run_facts facts = run;
    facts.timestamp = report_timestamp();
    monitor_set_silence_limit(settings.timeout_seconds);
    // A diagnosis needs the trace even when the console is not to show it.
    const bool trace_sent = settings.verbose || settings.diagnose;
    for (const char mode : {'v', 's'}) {
        if (mode == 'v' ? !trace_sent : !settings.continuous)
            continue;
        monitor_answer ignored;
        const monitor_outcome r = monitor_command(static_cast<unsigned char>(mode), true, ignored);
        if (interrupted(r)) {
            record_interruption(settings, facts, result, r, nullptr, 0, observer);
            return result;
        }
    }
    do {
        result.verdicts.clear();
        if (result.passes > 0)
            facts.timestamp = report_timestamp();
        for (const test_entry& t : TESTS) {
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
            emit_test(event_kind::test, t, result.passes + 1);
            monitor_answer answer;
            const auto start = std::chrono::steady_clock::now();
            const monitor_outcome r =
                monitor_command(static_cast<unsigned char>(t.command), settings.verbose, answer);
            // The command's time; with a probe or a full test, to the end of those.
            const auto took = [start] {
                return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                    .count();
            };
            const double command_seconds = took();
            if (interrupted(r)) {
                record_interruption(settings, facts, result, r, &t, command_seconds, observer);
                return result;
            }
            const bool passed = r == monitor_outcome::passed;
            report(passed ? "passed\n" : "failed\n");
            test_verdict verdict{t.tested, passed, answer.code, command_seconds, {}};
            if (!passed) {
                result.any_failed = true;
                verdict.findings = diagnose(t.tested, answer.code, answer.trace);
                if (settings.diagnose)
                    for (const std::string& finding : verdict.findings)
                        report("    %s\n", finding.c_str());
            }
            // On the bench image, a FLASH that took no command is looked at further.
            const bool flash_dead =
                !passed && t.tested == memory::flash && flash_looked_dead(verdict.findings);
            bool looked_further = false; // the probe or the full test ran
            bool answers_as_good = false;
            if (flash_dead && settings.diagnose && (settings.full || settings.probe_flash)) {
                looked_further = true;
                const flash_probe_result probed = flash_probe(bench_exchange);
                answers_as_good = probed.answers_as_good;
                if (probed.lost) {
                    record_interruption(settings, facts, result, probed.why_lost, &t, took(),
                                        observer);
                    return result;
                }
                for (const std::string& finding : probed.findings)
                    report("    %s\n", finding.c_str());
                verdict.findings.insert(verdict.findings.end(), probed.findings.begin(),
                                        probed.findings.end());
            }
            // After a failed test the FLASH's full test would only repeat the test's fault on
            // every sector: it runs when the probe found the chip answering as a good one.
            // The RAMs' full test runs and leaves out what such a fault spoils.
            if (settings.full && t.tested == memory::flash && !passed && !answers_as_good)
                report("Full test of %s... not run after a failed test\n", t.display);
            else if (settings.full && full_test_covers(t.tested)) {
                looked_further = true;
                report("Full test of %s...%c", t.display, ' ');
                const full_test_result full =
                    full_test(t.tested, settings.full_range, !passed && !answers_as_good);
                if (full.lost) {
                    record_interruption(settings, facts, result, full.why_lost, &t, took(),
                                        observer);
                    return result;
                }
                report(full.passed ? "passed\n" : "failed\n");
                for (const std::string& finding : full.findings)
                    report("    %s\n", finding.c_str());
                if (!full.passed) {
                    result.any_failed = true;
                    if (verdict.passed)
                        verdict.code = FULL_TEST_FAILED;
                    verdict.passed = false;
                    verdict.findings.insert(verdict.findings.end(), full.findings.begin(),
                                            full.findings.end());
                }
            }
            if (looked_further)
                verdict.seconds = took();
            emit_test(event_kind::verdict, t, result.passes + 1, &verdict);
            if (observer)
                observer->test_ended(result.passes + 1, t.name,
                                     verdict.passed ? "passed" : "failed", verdict.code,
                                     verdict.seconds, verdict.findings);
            result.verdicts.push_back(verdict);
        }
        ++result.passes;
        if (!write_reports(settings, facts, result.verdicts))
            result.report_failed = true;
    } while (settings.continuous);
    return result;
}

} // namespace korvin
