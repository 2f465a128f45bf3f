#include "run.h"

#include "boot_rom.h"
#include "command_line.h"
#include "ports.h"
#include "report.h"
#include "serial.h"
#include "system.h"
#include "test_run.h"

#include <algorithm>
#include <cstdio>
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
    if (path.empty() || std::filesystem::is_directory(path, error))
        return false;
    const std::string probe = path + ".tmp";
    std::FILE* file = std::fopen(probe.c_str(), "wb");
    if (!file)
        return false;
    std::fclose(file);
    std::remove(probe.c_str());
    return true;
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
        std::fprintf(stderr, "Could not write report '%s'.\n", path);
        return false;
    }
    return false;
}

void close_log() {
    if (log_file)
        std::fclose(log_file);
    log_file = nullptr;
}

// From the serial port on: returns the exit status.
int run_sequence(const run_settings& settings, const unsigned char* image,
                 std::size_t image_length) {
    const int opened = settings.port_path.empty() ? serial_open(settings.port_number)
                                                  : serial_open_path(settings.port_path);
    if (!opened) {
        if (settings.diagnose)
            std::fputs(serial_open_explanation().c_str(), stderr);
        close_log();
        return 1;
    }
    serial_configure(115200);
    if (settings.test_flash)
        std::printf("*** Warning! The contents of the FLASH will be erased. ***\n");

    int status = 0;
    if (!boot_rom_download(image, image_length, {settings.wait_seconds, settings.diagnose})) {
        status = 1;
        if (serial_failed()) {
            // A dead link would otherwise poll the boot ROM for ever.
            std::fprintf(stderr, "Could not read from serial port %s.\n",
                         serial_port_name().c_str());
        }
    } else {
        run_facts facts;
        facts.hostname = system_host_name();
        facts.port = serial_port_name();
        facts.version = KORVIN_VERSION;
        facts.boot_image_length = image_length;
        const test_run_result result = test_run(settings, facts);
        if (result.link_lost || result.report_failed)
            status = 1;
        else if (settings.strict && result.any_failed)
            status = 2;
    }
    // The port first, then the log.
    serial_close();
    close_log();
    return status;
}

} // namespace

int korvin_main(int argc, char** argv, const unsigned char* image, std::size_t image_length) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const parsed_command_line parsed = parse_command_line(argc, argv);
    // The effects come in command-line order and before the action: -l x -h
    // announces x, leaves it empty and then prints the usage text, and the
    // first -l or --report that fails ends the program before anything after
    // it. A log file opened on the way stays empty and is closed by the exit.
    for (const command_line_effect& effect : parsed.effects)
        if (!carry_out(effect))
            return 1;
    switch (parsed.action) {
    case command_line_action::run:
        break;
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
    case command_line_action::help:
        print_usage(stdout);
        print_long_options(stdout);
        return 0;
    }
    return run_sequence(parsed.settings, image, image_length);
}

} // namespace korvin
