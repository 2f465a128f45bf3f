#include "bench.h"

#include "sim/faults.h"

#include <cstdio>
#include <stdexcept>

namespace korvin::test {

uint32_t recording_device::read(uint32_t offset, unsigned width) {
    char text[32];
    std::snprintf(text, sizeof text, "r%u %x", width, offset);
    seen.push_back(text);
    return value;
}

void recording_device::write(uint32_t offset, unsigned width, uint32_t data) {
    char text[48];
    std::snprintf(text, sizeof text, "w%u %x %x", width, offset, data);
    seen.push_back(text);
}

board_bench::board_bench(const std::vector<std::string>& faults) {
    for (const auto& f : faults) {
        std::string error;
        if (!sim::parse_fault(f, options_.faults, error))
            throw std::runtime_error(error);
    }
    board_ = std::make_unique<sim::board>(options_, stop_);
}

void board_bench::store(const std::vector<access>& accesses) {
    for (const auto& a : accesses)
        board_->bus().write(a.address, a.bits / 8, a.value);
}

uint32_t board_bench::load(unsigned bits, uint32_t address) {
    return board_->bus().read(address, bits / 8);
}

} // namespace korvin::test
