#include "command_line.h"
#include "option_parts.h"

#include "serial.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
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
    OPT_STATION,
    OPT_COUNT,
    OPT_REPORT_DIR,
    OPT_EVENTS,
    OPT_ASK_BOARD,
    OPT_UNTIL_SWAPPED,
    OPT_BOARD_NUMBER,
    OPT_BOARD_ID,
    OPT_RECORD,
    OPT_FULL,
    OPT_FULL_RANGE,
    OPT_PROBE_FLASH,
    OPT_PEEK,
    OPT_POKE,
    OPT_DUMP,
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
    {"station", no_argument, nullptr, OPT_STATION},
    {"count", required_argument, nullptr, OPT_COUNT},
    {"report-dir", required_argument, nullptr, OPT_REPORT_DIR},
    {"events", no_argument, nullptr, OPT_EVENTS},
    {"ask-board", no_argument, nullptr, OPT_ASK_BOARD},
    {"until-swapped", no_argument, nullptr, OPT_UNTIL_SWAPPED},
    {"board-number", required_argument, nullptr, OPT_BOARD_NUMBER},
    {"board-id", required_argument, nullptr, OPT_BOARD_ID},
    {"record", required_argument, nullptr, OPT_RECORD},
    {"full", no_argument, nullptr, OPT_FULL},
    {"full-range", required_argument, nullptr, OPT_FULL_RANGE},
    {"probe-flash", no_argument, nullptr, OPT_PROBE_FLASH},
    {"peek", required_argument, nullptr, OPT_PEEK},
    {"poke", required_argument, nullptr, OPT_POKE},
    {"dump", required_argument, nullptr, OPT_DUMP},
    {nullptr, 0, nullptr, 0},
};

// A whole number from 1 up to `limit`; 0 for anything else.
long parse_whole(const char* text, long limit) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < 1 || value > limit)
        return 0;
    return value;
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

void set_port(run_settings& settings, const char* argument) {
    std::int32_t number = 0;
    const std::string device = serial_device_path(argument);
    if (com_port_argument(argument, number)) {
        settings.port_path.clear();
        settings.port_number = number;
    } else if (std::strchr(argument, '/')) {
        // A path, relative ones too ("./board", "st/tty1"), is never a number.
        settings.port_path = argument;
    } else if (!device.empty()) {
        settings.port_path = device;
    } else {
        settings.port_path.clear();
        settings.port_number = parse_port_number(argument);
    }
}

bool test_name(const char* word) {
    return std::strcmp(word, "sdram") == 0 || std::strcmp(word, "flash") == 0 ||
           std::strcmp(word, "sram") == 0;
}

// Reads the whole-number argument of --`name` ("seconds", "boards");
// false, with the message in `parsed`, when it is none.
template <typename Number>
bool whole_option(const char* name, const char* unit, const char* text, Number& value,
                  parsed_command_line& parsed) {
    const long number = parse_whole(text, INT_MAX);
    value = static_cast<Number>(number);
    if (number != 0)
        return true;
    parsed.action = command_line_action::message_failure;
    parsed.message = std::string("The --") + name + " option takes a whole number of " + unit +
                     " from 1 up, not '" + text + "'.\n";
    return false;
}

// What a station does not take: it runs each board once, quietly, and keeps
// the records itself.
bool station_conflicts(const run_settings& settings,
                       const std::vector<command_line_effect>& effects,
                       parsed_command_line& parsed) {
    const char* option =
        settings.continuous ? "-c"
        : settings.verbose  ? "-v"
        : std::any_of(effects.begin(), effects.end(),
                      [](const command_line_effect& e) { return e.kind == effect_kind::open_log; })
            ? "-l"
        : !settings.report_path.empty()      ? "--report"
        : settings.wait_seconds != 0         ? "--wait"
        : settings.events                    ? "--events"
        : settings.ask_board                 ? "--ask-board"
        : settings.until_swapped             ? "--until-swapped"
        : settings.board_number != 0         ? "--board-number"
        : !settings.board_id.empty()         ? "--board-id"
        : settings.full                      ? "--full"
        : settings.probe_flash               ? "--probe-flash"
        : !settings.bench_operations.empty() ? "--peek, --poke or --dump"
                                             : nullptr;
    if (!option)
        return true;
    parsed.action = command_line_action::message_failure;
    parsed.message = std::string("The --station option runs each board once and keeps its "
                                 "records in --report-dir; it does not take ") +
                     option + ".\n";
    return false;
}

// Reads the options into `parsed`; false when one of them ended the parse
// with its action.
bool parse_options(int argc, char** argv, parsed_command_line& parsed) {
    run_settings& settings = parsed.settings;
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
        case 'l':
            // Each -l opens its own file, the last one becoming the log.
            parsed.effects.push_back({effect_kind::open_log, optarg});
            break;
        case 'p':
            set_port(settings, optarg);
            settings.ports.push_back(optarg);
            break;
        case 'v':
            settings.verbose = true;
            break;
        case OPT_DIAGNOSE:
            settings.diagnose = true;
            break;
        case OPT_REPORT:
            parsed.effects.push_back({effect_kind::check_report, optarg});
            settings.report_path = optarg;
            break;
        case OPT_STRICT:
            settings.strict = true;
            break;
        case OPT_WAIT:
            if (!whole_option("wait", "seconds", optarg, settings.wait_seconds, parsed))
                return false;
            break;
        case OPT_TIMEOUT:
            if (!whole_option("timeout", "seconds", optarg, settings.timeout_seconds, parsed))
                return false;
            break;
        case OPT_STATION:
            settings.station = true;
            break;
        case OPT_COUNT:
            if (!whole_option("count", "boards", optarg, settings.count, parsed))
                return false;
            break;
        case OPT_REPORT_DIR:
            parsed.effects.push_back({effect_kind::check_report_dir, optarg});
            settings.report_dir = optarg;
            break;
        case OPT_EVENTS:
            settings.events = true;
            break;
        case OPT_ASK_BOARD:
            settings.ask_board = true;
            break;
        case OPT_UNTIL_SWAPPED:
            settings.until_swapped = true;
            break;
        case OPT_BOARD_NUMBER:
            if (!whole_option("board-number", "boards", optarg, settings.board_number, parsed))
                return false;
            break;
        case OPT_BOARD_ID:
            settings.board_id = optarg;
            break;
        case OPT_RECORD:
            settings.record_url = optarg;
            break;
        case OPT_FULL:
            settings.full = true;
            break;
        case OPT_PROBE_FLASH:
            // The probe starts from what the trace proves.
            settings.probe_flash = settings.diagnose = true;
            break;
        case OPT_FULL_RANGE:
            settings.full = true;
            if (!parse_u32(optarg, 0, settings.full_range) || settings.full_range == 0) {
                parsed.action = command_line_action::message_failure;
                parsed.message = std::string("The --full-range option takes a number of bytes "
                                             "from 1 up, not '") +
                                 optarg + "'.\n";
                return false;
            }
            break;
        case OPT_PEEK:
        case OPT_POKE:
        case OPT_DUMP:
            if (!bench_option(opt == OPT_PEEK   ? bench_operation::kind::peek
                              : opt == OPT_POKE ? bench_operation::kind::poke
                                                : bench_operation::kind::dump,
                              argc, argv, parsed))
                return false;
            break;
        case OPT_VERSION:
            parsed.action = command_line_action::print_version;
            return false;
        case OPT_LIST_PORTS:
            parsed.action = command_line_action::list_ports;
            return false;
        case OPT_HELP:
            parsed.action = command_line_action::help;
            return false;
        default: // -h, an unknown option, a missing argument
            parsed.action = command_line_action::usage_failure;
            return false;
        }
    }
    return true;
}

} // namespace

parsed_command_line parse_command_line(int argc, char** argv) {
    parsed_command_line parsed;
    if (summary_wanted(argc, argv)) {
        parse_summary(argc, argv, parsed);
        return parsed;
    }
    // Options act in the order given, so whatever ends the parse (-h, a bad
    // option) leaves the options after it without effect.
    if (!parse_options(argc, argv, parsed))
        return parsed;
    // Two or more names run all three tests; but a word that names no test
    // (a typing error, or an option left unparsed under POSIXLY_CORRECT)
    // must never start a run that erases the FLASH.
    for (int i = optind; i < argc; ++i) {
        if (!test_name(argv[i])) {
            parsed.action = command_line_action::usage_failure;
            return parsed;
        }
    }
    if (argc == optind + 1) {
        const char* name = argv[argc - 1];
        parsed.settings.test_sdram = std::strcmp(name, "sdram") == 0;
        parsed.settings.test_flash = std::strcmp(name, "flash") == 0;
        parsed.settings.test_sram = std::strcmp(name, "sram") == 0;
    }
    if (!parsed.settings.bench_operations.empty() &&
        (argc > optind || parsed.settings.full || parsed.settings.probe_flash)) {
        parsed.action = command_line_action::message_failure;
        parsed.message = "The --peek, --poke and --dump options run no test; they take neither "
                         "a test name nor --full.\n";
        return parsed;
    }
    if (!parsed.settings.bench_operations.empty())
        parsed.settings.test_sdram = parsed.settings.test_flash = parsed.settings.test_sram = false;
    if (parsed.settings.station && station_conflicts(parsed.settings, parsed.effects, parsed))
        parsed.action = command_line_action::station;
    return parsed;
}

} // namespace korvin
