// The bench monitor's options: where to look and what to write.
#include "option_parts.h"

#include "bench_session.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace korvin {

// A 32-bit number, whole text: hexadecimal for an address (0x optional),
// C style (0x hexadecimal, else decimal) for the rest.
bool parse_u32(const std::string& text, int base, std::uint32_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' ||
        std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (*end != '\0' || errno != 0 || v > 0xFFFFFFFFull)
        return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

// "ADDR[:WIDTH]", WIDTH in bits (8, 16 or 32), into the operation.
namespace {

std::string hex_text(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", v);
    return text;
}

bool parse_location(const std::string& text, bench_operation& op) {
    const auto colon = text.find(':');
    if (!parse_u32(text.substr(0, colon), 16, op.address))
        return false;
    if (colon == std::string::npos)
        return true;
    const std::string bits = text.substr(colon + 1);
    op.width = bits == "8" ? 1 : bits == "16" ? 2 : bits == "32" ? 4 : 0;
    return op.width != 0;
}

} // namespace

// --peek ADDR[:WIDTH], --poke ADDR=VALUE[:WIDTH], --dump ADDR[:WIDTH] LENGTH (the
// length the next word of the command line); false, with the message, when
// the argument is none of these.
bool bench_option(bench_operation::kind what, int argc, char** argv, parsed_command_line& parsed) {
    bench_operation op{};
    const std::string text = optarg;
    bool good = false;
    const char* form = "";
    if (what == bench_operation::kind::peek) {
        op.what = what;
        form = "ADDR[:WIDTH]";
        good = parse_location(text, op);
    } else if (what == bench_operation::kind::poke) {
        op.what = what;
        form = "ADDR=VALUE[:WIDTH]";
        const auto eq = text.find('=');
        const auto colon = text.find(':', eq == std::string::npos ? 0 : eq);
        const std::string value =
            eq == std::string::npos
                ? ""
                : text.substr(eq + 1,
                              colon == std::string::npos ? std::string::npos : colon - eq - 1);
        const std::string where =
            text.substr(0, eq) + (colon == std::string::npos ? "" : text.substr(colon));
        good =
            eq != std::string::npos && parse_location(where, op) && parse_u32(value, 0, op.value);
        const unsigned width = op.width ? op.width : natural_width(op.address);
        if (good && width < 4 && (op.value >> (width * 8)) != 0) {
            parsed.action = command_line_action::message_failure;
            parsed.message = "The --poke value 0x" + hex_text(op.value) + " does not fit in " +
                             std::to_string(width * 8) + " bits.\n";
            return false;
        }
    } else {
        op.what = what;
        form = "ADDR[:WIDTH] LENGTH";
        good = parse_location(text, op) && optind < argc && parse_u32(argv[optind], 0, op.length) &&
               op.length != 0;
        if (good)
            ++optind;
    }
    if (good) {
        parsed.settings.bench_operations.push_back(op);
        return true;
    }
    parsed.action = command_line_action::message_failure;
    parsed.message = std::string("The --") +
                     (what == bench_operation::kind::peek   ? "peek"
                      : what == bench_operation::kind::poke ? "poke"
                                                            : "dump") +
                     " option takes " + form +
                     " (ADDR in hexadecimal, WIDTH 8, 16 or 32 bits), not '" + text + "'.\n";
    return false;
}

} // namespace korvin
