#include "bench.h"

#include "processes.h"
#include "serial.h"

#include <cstdio>

namespace korvin {

std::string bench_hex(std::uint32_t value, unsigned digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", static_cast<int>(digits), value);
    return text;
}

std::string bench_read(unsigned width, std::uint32_t address) {
    return bench_hex(width, 1) + bench_hex(address, 8);
}

std::string bench_write(unsigned width, std::uint32_t address, std::uint32_t value) {
    return bench_read(width, address) + bench_hex(value, 8);
}

std::string bench_range(unsigned width, std::uint32_t address, std::uint32_t length) {
    return bench_read(width, address) + bench_hex(length, 8);
}

const char* bench_refusal(bench_result result) {
    switch (result) {
    case bench_result::no_memory:
        return "no memory of the board at this address";
    case bench_result::wrong_width:
        return "the memory there does not take this access width";
    case bench_result::unaligned:
        return "the address is not a multiple of the access width";
    case bench_result::bad_range:
        return "the range runs past the end of the memory";
    case bench_result::not_ram:
        return "there is no RAM there";
    default:
        return "";
    }
}

bench_answer bench_exchange(char command, const std::string& arguments) {
    bench_answer answer;
    auto lost = [&answer] {
        answer.result = bench_result::lost;
        answer.why_lost = stop_requested()  ? monitor_outcome::stopped
                          : serial_failed() ? monitor_outcome::link_lost
                                            : monitor_outcome::silent;
        return answer;
    };
    if (!monitor_wait_for('?'))
        return lost();
    serial_write_byte(static_cast<unsigned char>(command));
    for (char c : arguments)
        serial_write_byte(static_cast<unsigned char>(c));
    std::string line;
    for (;;) {
        bool missed = false;
        const unsigned b = serial_read_byte(monitor_silence_limit_ms(), &missed);
        if (missed || serial_failed())
            return lost();
        if (b == ':')
            break;
        if (b == '\n')
            continue;
        if (b == '\r') {
            answer.lines.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(b);
        }
    }
    bool missed = false;
    const unsigned digit = serial_read_byte(monitor_silence_limit_ms(), &missed);
    if (missed || serial_failed())
        return lost();
    const std::uint32_t code = result_code_of(digit);
    answer.result = code <= 8 ? static_cast<bench_result>(code) : bench_result::lost;
    return answer;
}

} // namespace korvin
