#include "monitor.h"

#include "processes.h"
#include "report.h"
#include "serial.h"

namespace korvin {

namespace {

std::uint32_t silence_limit_ms = 0;

// One byte of the monitor's answer; false when the link failed or the board
// stayed silent past the limit.
bool read_answer_byte(unsigned& byte) {
    bool missed = false;
    byte = serial_read_byte(silence_limit_ms, &missed);
    return !missed && !serial_failed();
}

monitor_outcome lost() {
    if (stop_requested())
        return monitor_outcome::stopped;
    return serial_failed() ? monitor_outcome::link_lost : monitor_outcome::silent;
}

} // namespace

void monitor_set_silence_limit(int seconds) {
    silence_limit_ms = seconds > 0 ? static_cast<std::uint32_t>(seconds) * 1000u : 0;
}

std::uint32_t monitor_silence_limit_ms() {
    return silence_limit_ms;
}

bool monitor_wait_for(unsigned byte) {
    for (;;) {
        unsigned b = 0;
        if (!read_answer_byte(b))
            return false;
        if (b == (byte & 0xFFu))
            return true;
    }
}

std::uint32_t result_code_of(unsigned first_digit) {
    if (first_digit >= '0' && first_digit <= '9')
        return first_digit - '0';
    if (first_digit >= 'a' && first_digit <= 'f')
        return first_digit - 'a' + 10;
    return 0xFFFFFFFFu;
}

monitor_outcome monitor_command(unsigned command, bool show_trace, monitor_answer& answer) {
    answer = {};
    if (!monitor_wait_for('?'))
        return lost();
    serial_write_byte(command);
    for (;;) {
        unsigned b = 0;
        if (!read_answer_byte(b))
            return lost();
        if (b == ':')
            break;
        report_to(show_trace ? REPORT_BOTH : REPORT_LOG, "%c", static_cast<int>(b));
        answer.trace += static_cast<char>(b);
    }
    unsigned first_digit = 0;
    if (!read_answer_byte(first_digit))
        return lost();
    // Only the first digit is read: the next one would be the prompt of the
    // next command, which monitor_wait_for has to see. Codes carry no leading
    // zeros, so '0' alone is a pass.
    answer.code = result_code_of(first_digit);
    return first_digit == '0' ? monitor_outcome::passed : monitor_outcome::failed;
}

int monitor_command(unsigned command) {
    monitor_answer ignored;
    return monitor_command(command, true, ignored) == monitor_outcome::passed ? 1 : 0;
}

} // namespace korvin
