#include "model.h"

#include <cstdio>

namespace korvin::test {

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%x", v);
    return b;
}

namespace {

std::string bus(char op, unsigned unit, uint32_t address, uint32_t value) {
    char b[32];
    std::snprintf(b, sizeof b, "%c%u %08x %0*x", op, unit * 8, address, static_cast<int>(unit * 2),
                  value);
    return b;
}

void write(expected_walk& e, uint32_t base, unsigned unit, uint32_t offset, uint32_t value) {
    e.bus.push_back(bus('w', unit, base + offset, value));
    e.lines.push_back(" " + hex(offset) + "w" + hex(value));
}

void load(expected_walk& e, uint32_t base, unsigned unit, uint32_t offset, uint32_t value) {
    e.bus.push_back(bus('r', unit, base + offset, value));
    e.lines.push_back(" " + hex(offset) + "r" + hex(value));
}

} // namespace

void expect_data_bus(expected_walk& e, uint32_t base, unsigned unit) {
    const unsigned bits = unit * 8;
    const uint32_t all = bits == 32 ? 0xFFFFFFFFu : 0xFFFFu;
    e.lines.push_back("D" + hex(base));
    for (unsigned k = 0; k < bits; ++k) {
        const uint32_t p = 1u << k;
        const uint32_t values[] = {p, all & ~p};
        for (unsigned half = 0; half < 2; ++half) {
            const uint32_t at = (4 * k + 2 * half) * unit;
            write(e, base, unit, at, values[half]);
            load(e, base, unit, at, values[half]);
            write(e, base, unit, at + unit, 0);
            load(e, base, unit, at, values[half]);
        }
    }
}

void expect_address_lines(expected_walk& e, uint32_t base, uint32_t size, unsigned unit) {
    const uint32_t units = size / unit;
    e.lines.push_back("A" + hex(base) + " " + hex(size));
    std::vector<uint32_t> low{0}, high{units - 1};
    for (uint32_t bit = 1; bit < units; bit <<= 1) {
        low.push_back(bit);
        high.push_back((units - 1) & ~bit);
    }
    for (const auto* walk : {&low, &high}) {
        for (uint32_t i = 0; i < walk->size(); ++i)
            write(e, base, unit, (*walk)[i] * unit, i);
        for (uint32_t i = 0; i < walk->size(); ++i)
            load(e, base, unit, (*walk)[i] * unit, i);
    }
}

} // namespace korvin::test
