#include "run.h"

#include "boot_rom.h"
#include "monitor.h"
#include "report.h"
#include "serial.h"

#include <getopt.h>

#include <climits>
#include <cstdio>
#include <cstring>

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

int parse_command_line(int argc, char** argv, run_settings& settings) {
    opterr = 0;
    // 0 rather than 1 restarts the parser completely, POSIXLY_CORRECT included.
    optind = 0;
    // getopt_long, even without long options, because it is the one that
    // permutes everywhere (the BSD-derived getopt of mingw-w64 does not).
    static const option no_long_options[] = {{nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "chl:p:v", no_long_options, nullptr)) != -1) {
        switch (opt) {
        case 'c':
            settings.continuous = true;
            break;
        case 'l': {
            // An earlier log file stays open, unused, until the process ends.
            std::FILE* file = std::fopen(optarg, "wt");
            if (!file) {
                std::fprintf(stderr, "Could not open logfile '%s'.\n", optarg);
                return 0;
            }
            log_file = file;
            std::printf("Logging to '%s'\n", optarg);
            break;
        }
        case 'p':
            if (optarg[0] == '/') {
                settings.port_path = optarg;
            } else {
                settings.port_path.clear();
                settings.port_number = parse_port_number(optarg);
            }
            break;
        case 'v':
            settings.verbose = true;
            break;
        default: // -h, an unknown option, a missing argument
            print_usage();
            return 0;
        }
    }
    if (argc == optind + 1) {
        const char* name = argv[argc - 1];
        const bool sdram = std::strcmp(name, "sdram") == 0;
        const bool flash = std::strcmp(name, "flash") == 0;
        const bool sram = std::strcmp(name, "sram") == 0;
        if (!sdram && !flash && !sram) {
            print_usage();
            return 0;
        }
        settings.test_sdram = sdram;
        settings.test_flash = flash;
        settings.test_sram = sram;
    }
    return 1;
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
    if (!parse_command_line(argc, argv, settings))
        return 1;

    const int opened = settings.port_path.empty() ? serial_open(settings.port_number)
                                                  : serial_open_path(settings.port_path);
    if (!opened) {
        close_log();
        return 1;
    }
    serial_configure(115200);
    if (settings.test_flash)
        std::printf("*** Warning! The contents of the FLASH will be erased. ***\n");

    if (!boot_rom_download(image, image_length))
        status = 1;
    else if (test_run(settings).link_lost)
        status = 1;
    if (serial_failed()) {
        // A dead link would otherwise relay NUL bytes or poll the boot ROM forever.
        std::fprintf(stderr, "Could not read from serial port %s.\n", serial_port_name().c_str());
        status = 1;
    }
    serial_close();
    close_log();
    return status;
}

} // namespace korvin
