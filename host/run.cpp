#include "run.h"

#include "boot_rom.h"
#include "test_run.h"
#include "report.h"
#include "serial.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace korvin {

std::int32_t parse_port_number(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT32_MAX) + 1)
            break; // already beyond either end
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

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

// Long options only, so the short options and the usage text stay as they are.
enum long_option {
    OPT_DIAGNOSE = 0x100,
    OPT_REPORT,
    OPT_STRICT,
    OPT_WAIT,
    OPT_LIST_PORTS,
    OPT_HELP,
    OPT_TIMEOUT,
    OPT_VERSION,
};

const option LONG_OPTIONS[] = {
    {"diagnose", no_argument, nullptr, OPT_DIAGNOSE},
    {"report", required_argument, nullptr, OPT_REPORT},
    {"strict", no_argument, nullptr, OPT_STRICT},
    {"wait", required_argument, nullptr, OPT_WAIT},
    {"list-ports", no_argument, nullptr, OPT_LIST_PORTS},
    {"help", no_argument, nullptr, OPT_HELP},
    {"timeout", required_argument, nullptr, OPT_TIMEOUT},
    {"version", no_argument, nullptr, OPT_VERSION},
    {nullptr, 0, nullptr, 0},
};

// A whole number of seconds from 1 up; 0 for anything else.
int parse_seconds(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < 1 || value > INT_MAX)
        return 0;
    return static_cast<int>(value);
}

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

// "COM" in any case and decimal digits: the port number a Windows user
// types ("-p COM3"), accepted on every system.
bool com_port_argument(const char* text, std::int32_t& number) {
    if (std::strlen(text) < 4)
        return false;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != "COM"[i])
            return false;
    for (const char* p = text + 3; *p; ++p)
        if (*p < '0' || *p > '9')
            return false;
    number = parse_port_number(text + 3);
    return true;
}

bool test_name(const char* word) {
    return std::strcmp(word, "sdram") == 0 || std::strcmp(word, "flash") == 0 ||
           std::strcmp(word, "sram") == 0;
}

bool seconds_option(const char* name, const char* text, int& seconds) {
    seconds = parse_seconds(text);
    if (seconds != 0)
        return true;
    std::fprintf(stderr, "The --%s option takes a whole number of seconds, not '%s'.\n", name,
                 text);
    return false;
}

} // namespace

int parse_command_line(int argc, char** argv, run_settings& settings) {
    opterr = 0;
    // 0 rather than 1 restarts the parser completely, POSIXLY_CORRECT included.
    optind = 0;
    // getopt_long also because it is the one that permutes everywhere (the
    // BSD-derived getopt of mingw-w64 does not).
    int opt;
    while ((opt = getopt_long(argc, argv, "chl:p:v", LONG_OPTIONS, nullptr)) != -1) {
        switch (opt) {
        case 'c':
            settings.continuous = true;
            break;
        case 'l': {
            // An earlier log file stays open, unused, until the process ends.
            std::FILE* file = std::fopen(optarg, "wt");
            if (!file) {
                std::fprintf(stderr, "Could not open logfile '%s'.\n", optarg);
                return PARSE_FAILED;
            }
            log_file = file;
            std::printf("Logging to '%s'\n", optarg);
            break;
        }
        case 'p': {
            std::int32_t number = 0;
            const std::string device = serial_device_path(optarg);
            if (com_port_argument(optarg, number)) {
                settings.port_path.clear();
                settings.port_number = number;
            } else if (optarg[0] == '/') {
                settings.port_path = optarg;
            } else if (!device.empty()) {
                settings.port_path = device;
            } else {
                settings.port_path.clear();
                settings.port_number = parse_port_number(optarg);
            }
            break;
        }
        case 'v':
            settings.verbose = true;
            break;
        case OPT_DIAGNOSE:
            settings.diagnose = true;
            break;
        case OPT_REPORT:
            if (!report_writable(optarg)) {
                std::fprintf(stderr, "Could not write report '%s'.\n", optarg);
                return PARSE_FAILED;
            }
            settings.report_path = optarg;
            break;
        case OPT_STRICT:
            settings.strict = true;
            break;
        case OPT_WAIT:
            if (!seconds_option("wait", optarg, settings.wait_seconds))
                return PARSE_FAILED;
            break;
        case OPT_TIMEOUT:
            if (!seconds_option("timeout", optarg, settings.timeout_seconds))
                return PARSE_FAILED;
            break;
        case OPT_VERSION:
            std::printf("korvin %s\n", KORVIN_VERSION);
            return PARSE_DONE;
        case OPT_LIST_PORTS:
            print_port_list();
            return PARSE_DONE;
        case OPT_HELP:
            print_usage(stdout);
            print_long_options(stdout);
            return PARSE_DONE;
        default: // -h, an unknown option, a missing argument
            print_usage();
            return PARSE_FAILED;
        }
    }
    // Two or more names run all three tests; but a word that names no test
    // (a typing error, or an option left unparsed under POSIXLY_CORRECT)
    // must never start a run that erases the FLASH.
    for (int i = optind; i < argc; ++i) {
        if (!test_name(argv[i])) {
            print_usage();
            return PARSE_FAILED;
        }
    }
    if (argc == optind + 1) {
        const char* name = argv[argc - 1];
        settings.test_sdram = std::strcmp(name, "sdram") == 0;
        settings.test_flash = std::strcmp(name, "flash") == 0;
        settings.test_sram = std::strcmp(name, "sram") == 0;
    }
    return PARSE_RUN;
}

namespace {

void close_log() {
    if (log_file)
        std::fclose(log_file);
    log_file = nullptr;
}

} // namespace

int korvin_main(int argc, char** argv, const unsigned char* image, std::size_t image_length) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    run_settings settings;
    int status = 0;
    const int parsed = parse_command_line(argc, argv, settings);
    if (parsed != PARSE_RUN) {
        // A log file opened on the way stays empty and is closed by the exit.
        return parsed == PARSE_DONE ? 0 : 1;
    }

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
    serial_close();
    close_log();
    return status;
}

} // namespace korvin
