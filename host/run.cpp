#include "run.h"

#include "bench_session.h"
#include "boot_rom.h"
#include "command_line.h"
#include "events.h"
#include "ports.h"
#include "processes.h"
#include "report.h"
#include "run_record.h"
#include "serial.h"
#include "station.h"
#include "summary.h"
#include "system.h"
#include "test_report.h"
#include "test_run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace korvin {

void print_port_list() {
    const std::vector<serial_port_entry> ports = serial_list_ports();
    if (ports.empty()) {
        std::printf("No serial ports found.\n");
        return;
    }
    std::size_t width = 0;
    for (const serial_port_entry& port : ports)
        width = std::max(width, port.argument.size());
    for (const serial_port_entry& port : ports)
        std::printf("%-*s  %s\n", static_cast<int>(width), port.argument.c_str(),
                    port.description.c_str());
}

namespace {

// Whether a report can be written at `path`, tried before the board is
// touched so that a bad path fails at once and not after a long run. The
// report is renamed over `path` in the end, which no system does over a
// folder.
bool report_writable(const std::string& path) {
    std::error_code error;
    return !path.empty() && !std::filesystem::is_directory(path, error) &&
           file_creatable(path + ".tmp");
}

// Carries out one effect of the command line; false, with its message
// printed, when it failed.
bool carry_out(const command_line_effect& effect) {
    const char* path = effect.path.c_str();
    switch (effect.kind) {
    case effect_kind::open_log: {
        // An earlier log file stays open, unused, until the process ends.
        std::FILE* file = std::fopen(path, "wt");
        if (!file) {
            std::fprintf(stderr, "Could not open logfile '%s'.\n", path);
            return false;
        }
        log_file = file;
        std::printf("Logging to '%s'\n", path);
        return true;
    }
    case effect_kind::check_report:
        if (report_writable(effect.path))
            return true;
        print_error("Could not write report '%s'.\n", path);
        return false;
    case effect_kind::check_report_dir:
        if (report_dir_writable(effect.path))
            return true;
        print_error("Could not write to the report directory '%s'.\n", path);
        return false;
    }
    return false;
}

// The report directory's log is written beside its final name and renamed
// when the run ends, as the reports are: a reader never sees half a log.
std::string record_log;

void close_log() {
    if (log_file)
        std::fclose(log_file);
    log_file = nullptr;
    if (!record_log.empty()) {
        std::error_code error;
        std::filesystem::rename(record_log + ".tmp", record_log, error);
        record_log.clear();
    }
}

// The run whose board is waking, for after_wake, and whether it woke; its
// record in the results store.
run_settings* waking = nullptr;
bool woke = false;
run_record* recording = nullptr;
std::size_t image_bytes = 0;

// --ask-board: "N ID", the board's number, a space and its ID (perhaps empty).
bool read_board_line(run_settings& settings) {
    char line[512];
    if (!std::fgets(line, sizeof line, stdin)) {
        if (!stop_requested())
            print_error("No board number came on standard input.\n");
        return false;
    }
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    char* end = nullptr;
    const unsigned long number = std::strtoul(text.c_str(), &end, 10);
    if (end == text.c_str() || number == 0 || (*end != '\0' && *end != ' ')) {
        print_error("Not a board number and ID: '%s'.\n", text.c_str());
        return false;
    }
    settings.board_number = number;
    settings.board_id = *end == ' ' ? end + 1 : "";
    return true;
}

// The board has woken: its number and ID, then its records' names and log.
bool after_wake() {
    run_settings& settings = *waking;
    if (settings.ask_board && !read_board_line(settings))
        return false;
    woke = true;
    // A run is recorded from the wake: a port that never saw a board has no run.
    if (recording)
        recording->begin(serial_port_name(), image_bytes,
                         settings.board_id.empty() ? std::nullopt
                                                   : std::optional<std::string>(settings.board_id),
                         settings.board_number ? std::optional<long long>(settings.board_number)
                                               : std::nullopt,
                         !settings.events);
    if (settings.report_dir.empty())
        return true;
    settings.record_base =
        (std::filesystem::path(settings.report_dir) /
         record_name(record_stamp(), serial_port_name(), settings.board_number, settings.board_id))
            .string();
    const std::string log = settings.record_base + ".log";
    std::FILE* file = std::fopen((log + ".tmp").c_str(), "wt");
    if (!file) {
        print_error("Could not open logfile '%s'.\n", log.c_str());
        return false;
    }
    log_file = file;
    record_log = log;
    return true;
}

const char* outcome_of(int status, bool failed) {
    if (stop_requested())
        return "interrupted";
    return status == 1 ? "error" : failed ? "failed" : "passed";
}

// The exit status, after the end event when the stream is on.
int finish(int status, bool failed = false) {
    run_event end;
    end.kind = event_kind::end;
    end.outcome = outcome_of(status, failed);
    end.status = status;
    emit_event(end);
    return status;
}

station_settings station_settings_of(const run_settings& settings) {
    station_settings station;
    station.ports = settings.ports;
    const int tests = settings.test_sdram + settings.test_flash + settings.test_sram;
    if (tests == 1)
        station.test = settings.test_sdram ? "sdram" : settings.test_flash ? "flash" : "sram";
    station.diagnose = settings.diagnose;
    station.report_dir = settings.report_dir;
    station.count = settings.count;
    station.strict = settings.strict;
    if (settings.timeout_seconds != DEFAULT_SILENCE_SECONDS)
        station.timeout_seconds = settings.timeout_seconds;
    station.record_url = settings.record_url;
    return station;
}

// From the serial port on: returns the exit status.
int run_sequence(run_settings settings, boot_image_bytes boot) {
    const unsigned char* image = boot.bytes;
    const std::size_t image_length = boot.length;
    // A store that is refused stops the run before the board is touched.
    run_record record;
    if (!record.open(settings.record_url)) {
        close_log();
        return finish(1);
    }
    recording = &record;
    image_bytes = image_length;
    const int opened = settings.port_path.empty() ? serial_open(settings.port_number)
                                                  : serial_open_path(settings.port_path);
    if (!opened) {
        if (events_enabled()) {
            run_event e;
            e.kind = event_kind::error;
            e.message = "Could not open serial port " + serial_port_name() + ".";
            emit_event(e);
        }
        if (settings.diagnose)
            std::fputs(serial_open_explanation().c_str(), stderr);
        close_log();
        return finish(1);
    }
    serial_configure(115200);
    if (settings.test_flash)
        std::printf("*** Warning! The contents of the FLASH will be erased. ***\n");

    int status = 0;
    bool failed = false;
    waking = &settings;
    woke = false;
    download_settings download{settings.wait_seconds, settings.diagnose, after_wake};
    const bool started = boot_rom_download(image, image_length, download);
    run_facts facts;
    facts.hostname = system_host_name();
    facts.port = serial_port_name();
    facts.version = KORVIN_VERSION;
    facts.boot_image_length = image_length;
    facts.board_number = settings.board_number;
    facts.board_id = settings.board_id;
    if (!started) {
        status = 1;
        if (stop_requested()) {
            print_error("The run was interrupted.\n");
        } else if (serial_failed()) {
            // A dead link would otherwise poll the boot ROM for ever.
            print_error("Could not read from serial port %s.\n", serial_port_name().c_str());
        }
        record.end(stop_requested() ? "interrupted" : "error", last_error());
        // A board that woke has its record, however short.
        if (!settings.record_base.empty()) {
            facts.timestamp = report_timestamp();
            report_to(REPORT_LOG, "%s\n", last_error().c_str());
            const std::vector<test_outcome> cut_short{{"download", 0, 0, {}, last_error()}};
            for (const char* kind : {".xml", ".json"})
                if (!write_test_report(settings.record_base + kind, facts, cut_short))
                    print_error("Could not write report '%s%s'.\n", settings.record_base.c_str(),
                                kind);
        }
    } else if (!settings.bench_operations.empty()) {
        status = bench_session(settings);
    } else {
        const test_run_result result = test_run(settings, facts, &record);
        record.end(result.stopped      ? "interrupted"
                   : result.link_lost  ? "error"
                   : result.any_failed ? "failed"
                                       : "passed",
                   result.link_lost ? last_error() : "");
        failed = result.any_failed;
        if (result.link_lost || result.stopped || result.report_failed)
            status = 1;
        else if (settings.strict && result.any_failed)
            status = 2;
    }
    waking = nullptr;
    recording = nullptr;
    if (settings.until_swapped && woke && !serial_failed() && !stop_requested()) {
        // The board's record is complete; the port stays open while the
        // board is on, so that the next run meets the next board and not
        // this one again (reopening a port may reset a board).
        close_log();
        const int code = finish(status, failed);
        boot_rom_watch_until_swapped(started);
        serial_close();
        return code;
    }
    // The port first, then the log.
    serial_close();
    close_log();
    return finish(status, failed);
}

} // namespace

int korvin_main(int argc, char** argv, boot_image_bytes image, boot_image_bytes bench) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const parsed_command_line parsed = parse_command_line(argc, argv);
    if (parsed.settings.events && parsed.action == command_line_action::run) {
        // Standard output carries the events alone; the console's text goes
        // nowhere, the messages still to standard error. A stop request
        // (SIGTERM, CTRL-C) ends the run with its record, where a plain run
        // keeps no handler and simply ends.
        std::FILE* events = divert_standard_output();
        set_event_stream(events ? events : stdout);
        install_stop_handlers();
    }
    // The effects come in command-line order and before the action: -l x -h
    // announces x, leaves it empty and then prints the usage text, and the
    // first -l or --report that fails ends the program before anything after
    // it. A log file opened on the way stays empty and is closed by the exit.
    for (const command_line_effect& effect : parsed.effects)
        if (!carry_out(effect))
            return finish(1);
    switch (parsed.action) {
    case command_line_action::run:
        break;
    case command_line_action::station:
        return station_main(station_settings_of(parsed.settings), own_executable(argv[0]));
    case command_line_action::usage_failure:
        print_usage();
        return 1;
    case command_line_action::message_failure:
        std::fputs(parsed.message.c_str(), stderr);
        return 1;
    case command_line_action::print_version:
        std::printf("korvin %s\n", KORVIN_VERSION);
        return 0;
    case command_line_action::list_ports:
        print_port_list();
        return 0;
    case command_line_action::summary:
        return summary_main(parsed.summary_url, parsed.filter, parsed.html_path);
    case command_line_action::help:
        print_usage(stdout);
        print_long_options(stdout);
        return 0;
    }
    // The bench monitor only for the options that need it: every other run
    // downloads the image it always has.
    const bool bench_needed = parsed.settings.full || parsed.settings.probe_flash ||
                              !parsed.settings.bench_operations.empty();
    if (bench_needed && !bench.bytes) {
        print_error("This korvin has no bench monitor to download.\n");
        return finish(1);
    }
    return run_sequence(parsed.settings, bench_needed ? bench : image);
}

} // namespace korvin
