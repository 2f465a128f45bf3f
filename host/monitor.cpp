#include "monitor.h"

#include "report.h"
#include "serial.h"

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

int monitor_command(unsigned command) {
    if (!monitor_wait_for('?'))
        return MONITOR_LINK_LOST;
    serial_write_byte(command);
    for (;;) {
        const unsigned b = serial_read_byte(0);
        if (serial_failed())
            return MONITOR_LINK_LOST;
        if (b == ':')
            break;
        report("%c", static_cast<int>(b));
    }
    const unsigned first_digit = serial_read_byte(0);
    if (serial_failed())
        return MONITOR_LINK_LOST;
    // Only the first digit counts: codes carry no leading zeros.
    return first_digit == '0' ? 1 : 0;
}

namespace {

struct test_entry {
    memory tested;
    bool run_settings::*selected;
    const char* heading;
    char command;
};

const test_entry tests[] = {
    {memory::sdram, &run_settings::test_sdram, "Testing SDRAM...%c", '1'},
    {memory::flash, &run_settings::test_flash, "Testing FLASH...%c", '2'},
    {memory::sram, &run_settings::test_sram, "Testing SRAM...%c", '3'},
};

} // namespace

test_run_result test_run(const run_settings& settings) {
    test_run_result result;
    if (settings.verbose && monitor_command('v') == MONITOR_LINK_LOST) {
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
            report(t.heading, settings.verbose ? '\n' : ' ');
            const int r = monitor_command(static_cast<unsigned char>(t.command));
            if (r == MONITOR_LINK_LOST) {
                result.link_lost = true;
                return result;
            }
            report(r ? "passed\n" : "failed\n");
            result.verdicts.push_back({t.tested, r == 1});
        }
        ++result.passes;
    } while (settings.continuous);
    return result;
}

} // namespace korvin
