#pragma once
#include <chrono>

namespace korvin::sim {

using Clock = std::chrono::steady_clock;
using Time = Clock::time_point;

// One byte on a 115200-baud line with a start and a stop bit: 10 bits.
constexpr std::chrono::nanoseconds byte_time{10 * 1000000000LL / 115200};

} // namespace korvin::sim
