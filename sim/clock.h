#pragma once
#include <chrono>

namespace korvin::sim {

using sim_clock = std::chrono::steady_clock;
using time_point = sim_clock::time_point;

// One byte on a 115200-baud line with a start and a stop bit: 10 bits.
constexpr std::chrono::nanoseconds BYTE_TIME{10 * 1000000000LL / 115200};

} // namespace korvin::sim
