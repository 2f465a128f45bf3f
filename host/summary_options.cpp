// The command line of --summary, which has options of its own: its --station
// names a station, where a run's --station is a flag.
#include "option_parts.h"

#include <getopt.h>

#include <cstring>
#include <string>

namespace korvin {

namespace {

enum summary_option {
    OPT_SUMMARY = 0x100,
    OPT_SINCE,
    OPT_UNTIL,
    OPT_SUMMARY_STATION,
    OPT_HTML,
};

const option SUMMARY_OPTIONS[] = {
    {"summary", required_argument, nullptr, OPT_SUMMARY},
    {"since", required_argument, nullptr, OPT_SINCE},
    {"until", required_argument, nullptr, OPT_UNTIL},
    {"station", required_argument, nullptr, OPT_SUMMARY_STATION},
    {"html", required_argument, nullptr, OPT_HTML},
    {nullptr, 0, nullptr, 0},
};

const char* const SUMMARY_USAGE = "Usage: korvin --summary <url> [--since <date>] [--until <date>] "
                                  "[--station <name>] [--html <file>]\n";

} // namespace

bool summary_wanted(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--summary") == 0 || std::strncmp(argv[i], "--summary=", 10) == 0)
            return true;
    return false;
}

namespace {

// --since and --until: a date, or a date and a time, UTC.
bool date_option(const char* name, const char* text, bool until, std::string& bound,
                 parsed_command_line& parsed) {
    if (summary_time_bound(text, until, bound))
        return true;
    parsed.action = command_line_action::message_failure;
    parsed.message = std::string("The --") + name +
                     " option takes a date, YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS] (UTC), not '" +
                     text + "'.\n";
    return false;
}

} // namespace

void parse_summary(int argc, char** argv, parsed_command_line& parsed) {
    opterr = 0;
    optind = 0;
    parsed.action = command_line_action::summary;
    int opt;
    while ((opt = getopt_long(argc, argv, "", SUMMARY_OPTIONS, nullptr)) != -1) {
        switch (opt) {
        case OPT_SUMMARY:
            parsed.summary_url = optarg;
            break;
        case OPT_SINCE:
            if (!date_option("since", optarg, false, parsed.filter.since, parsed))
                return;
            break;
        case OPT_UNTIL:
            if (!date_option("until", optarg, true, parsed.filter.until, parsed))
                return;
            break;
        case OPT_SUMMARY_STATION:
            parsed.filter.station = optarg;
            break;
        case OPT_HTML:
            parsed.html_path = optarg;
            break;
        default:
            optind = argc + 1;
        }
    }
    if (optind != argc) {
        parsed.action = command_line_action::message_failure;
        parsed.message = SUMMARY_USAGE;
    }
}

} // namespace korvin
