#pragma once
// The host side of the bench monitor's own commands (the bench image only):
// after the prompt, one command byte and its arguments as fixed-length
// hexadecimal; the answer's lines (CR LF each) up to ':', then a result of one
// hexadecimal digit. Reads are bounded by the monitor's silence limit.
#include "monitor.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvin {

// The bench result digit, and `lost` when no answer came.
enum class bench_result {
    done,        // 0
    no_memory,   // 1 no memory of the board at the address
    wrong_width, // 2 the memory there does not take the access width
    unaligned,   // 3 the address is not a multiple of the width
    bad_range,   // 4 a bad width or length, or a range past the memory's end
    not_ram,     // 5 a test or fill where there is no RAM
    found,       // 6 a test failed; every finding sent
    found_more,  // 7 a test failed; more findings than the 32 sent
    no_finish,   // 8 the FLASH never finished a program or erase: "T address"
    lost,        // the link failed, the board fell silent or a stop came
};

struct bench_answer {
    bench_result result = bench_result::lost;
    std::vector<std::string> lines;                     // without their CR LF
    monitor_outcome why_lost = monitor_outcome::silent; // when lost
};

// One bench command: `command` and `arguments` sent after the next prompt.
bench_answer bench_exchange(char command, const std::string& arguments);

// `value` as `digits` lowercase hexadecimal digits, leading zeros kept.
std::string bench_hex(std::uint32_t value, unsigned digits);

// What a refusal means, for a message; "" for done, found and lost.
const char* bench_refusal(bench_result result);

// The argument strings of the commands; widths in bytes (1, 2 or 4).
std::string bench_read(unsigned width, std::uint32_t address);
std::string bench_write(unsigned width, std::uint32_t address, std::uint32_t value);
std::string bench_range(unsigned width, std::uint32_t address, std::uint32_t length);

// Bench command bytes.
constexpr char BENCH_SETUP = 'i';    // set up SDRAM controller, chip selects 0 and 1
constexpr char BENCH_READ = 'r';     // W AAAAAAAA: one line, the value
constexpr char BENCH_WRITE = 'w';    // W AAAAAAAA VVVVVVVV
constexpr char BENCH_DUMP = 'd';     // W AAAAAAAA LLLLLLLL: 16 bytes a line
constexpr char BENCH_FILL = 'f';     // W AAAAAAAA LLLLLLLL VVVVVVVV
constexpr char BENCH_MARCH = 'm';    // W AAAAAAAA LLLLLLLL: "F<element> addr expected read"
constexpr char BENCH_LANES = 'l';    // AAAAAAAA: "L<width><offset> word expected read"
constexpr char BENCH_COUPLING = 'c'; // W VVVVVVVV AAAAAAAA LLLLLLLL: "C aggressor victim rose fell"
constexpr char BENCH_FLASH_ERASE = 'e';   // AAAAAAAA LLLLLLLL: sectors; "B address read"
constexpr char BENCH_FLASH_PROGRAM = 'p'; // AAAAAAAA LLLLLLLL: "P address programmed read"

} // namespace korvin
