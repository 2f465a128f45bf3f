#include "bench_session.h"

#include "bench.h"
#include "events.h"
#include "report.h"
#include "serial.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace korvin {

namespace {

constexpr std::uint32_t WEIM_WINDOWS = 0xC0000000, WEIM_WINDOWS_END = 0xD0000000;

// Says why an answer did not come; false.
bool lost(const bench_answer& answer) {
    if (answer.why_lost == monitor_outcome::stopped)
        print_error("The run was interrupted.\n");
    else if (answer.why_lost == monitor_outcome::link_lost)
        print_error("Could not read from serial port %s.\n", serial_port_name().c_str());
    else
        print_error("The board sent nothing for %u seconds.\n",
                    static_cast<unsigned>(monitor_silence_limit_ms() / 1000));
    return false;
}

bool refused(const bench_answer& answer, std::uint32_t address, unsigned width) {
    if (answer.result == bench_result::lost)
        return lost(answer);
    if (answer.result == bench_result::done)
        return true;
    print_error("0x%08x (%u-bit): %s.\n", address, width * 8, bench_refusal(answer.result));
    return false;
}

// One operation; false when it was refused or the link was lost.
bool carry_out(const bench_operation& op) {
    const unsigned width = op.width ? op.width : natural_width(op.address);
    switch (op.what) {
    case bench_operation::kind::peek: {
        const bench_answer a = bench_exchange(BENCH_READ, bench_read(width, op.address));
        if (!refused(a, op.address, width))
            return false;
        std::printf("0x%08x: 0x%s\n", op.address, a.lines.empty() ? "?" : a.lines[0].c_str());
        return true;
    }
    case bench_operation::kind::poke: {
        // The command line saw that the value fits the width.
        const bench_answer a =
            bench_exchange(BENCH_WRITE, bench_write(width, op.address, op.value));
        if (!refused(a, op.address, width))
            return false;
        std::printf("0x%08x <- 0x%s\n", op.address, bench_hex(op.value, width * 2).c_str());
        return true;
    }
    case bench_operation::kind::dump: {
        // Whole units: the length is rounded up to the width.
        const std::uint32_t length = (op.length + width - 1) / width * width;
        const bench_answer a = bench_exchange(BENCH_DUMP, bench_range(width, op.address, length));
        if (!refused(a, op.address, width))
            return false;
        std::fputs(format_dump(op.address, width, a.lines).c_str(), stdout);
        return true;
    }
    }
    return false;
}

} // namespace

unsigned natural_width(std::uint32_t address) {
    return address >= WEIM_WINDOWS && address < WEIM_WINDOWS_END ? 2 : 4;
}

std::string format_dump(std::uint32_t address, unsigned width,
                        const std::vector<std::string>& lines) {
    std::string out;
    char text[16];
    for (const std::string& line : lines) {
        std::snprintf(text, sizeof text, "%08x:", address);
        out += text;
        std::string chars;
        std::istringstream values(line);
        std::string value;
        unsigned bytes = 0;
        while (values >> value) {
            out += ' ' + value;
            const unsigned long v = std::strtoul(value.c_str(), nullptr, 16);
            for (unsigned i = 0; i < width; ++i) {
                const unsigned c = (v >> (8 * i)) & 0xFF;
                chars += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
            }
            bytes += width;
        }
        // The characters line up under each other whatever the line's length.
        const unsigned missing = (16 - bytes) / width * (width * 2 + 1);
        out += std::string(missing + 4, ' ') + chars + '\n';
        address += 16;
    }
    return out;
}

int bench_session(const run_settings& settings) {
    monitor_set_silence_limit(settings.timeout_seconds);
    const bench_answer setup = bench_exchange(BENCH_SETUP, "");
    if (setup.result == bench_result::lost) {
        lost(setup);
        return 1;
    }
    for (const bench_operation& op : settings.bench_operations)
        if (!carry_out(op))
            return 1;
    return 0;
}

} // namespace korvin
