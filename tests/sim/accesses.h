#pragma once
// Loads and stores on the simulated board, by address: the devices' addresses and the
// sequences that set them up, shared by the in-process and the end-to-end tests. Written from
// the chip's register map, not from the simulator's or the boot image's sources.
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace korvin::test {

constexpr uint32_t SDRAM = 0xA0000000, FLASH = 0xC0000000, SRAM = 0xC8000000;
constexpr uint32_t ESDCTL0 = 0xD8001000, ESDCFG0 = 0xD8001004, ESDMISC = 0xD8001010;
constexpr uint32_t CS0U = 0xD8002000, CS0L = 0xD8002004, CS0A = 0xD8002008;
constexpr uint32_t CS1U = 0xD8002010, CS1L = 0xD8002014, CS1A = 0xD8002018;

struct access {
    unsigned bits;
    uint32_t address, value;
};

// The controller start-up that makes the SDRAM hold data.
inline const std::vector<access> SDRAM_STARTUP = {
    {32, ESDMISC, 0x4},
    {32, ESDCFG0, 0x006AC73A},
    {32, ESDCTL0, 0x92100000},
    {32, SDRAM + 0x400, 0},
    {32, ESDCTL0, 0xA2100000},
    {32, SDRAM, 0},
    {32, SDRAM, 0},
    {32, ESDCTL0, 0xB2100000},
    {8, SDRAM + 0x33, 0},
    {8, SDRAM + 0x1000000, 0},
    {32, ESDCTL0, 0x81126080},
    {32, SDRAM, 0},
    {32, ESDMISC, 0xC},
};
inline const std::vector<access> CS0_SETUP = {
    {32, CS0U, 0x1302}, {32, CS0L, 0x01000511}, {32, CS0A, 0x010000C0}};
inline const std::vector<access> CS1_SETUP = {
    {32, CS1U, 0xA03}, {32, CS1L, 0x01000511}, {32, CS1A, 0x01000080}};

inline std::vector<access> concat(std::initializer_list<std::vector<access>> pieces) {
    std::vector<access> out;
    for (const auto& p : pieces)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// FLASH command cycles: 16-bit stores at byte offsets from `sector`.
inline std::vector<access> flash_cycles(uint32_t sector,
                                        std::vector<std::pair<uint32_t, uint16_t>> cycles) {
    std::vector<access> out;
    for (auto [offset, value] : cycles)
        out.push_back({16, sector + offset, value});
    return out;
}
inline std::vector<access> flash_program(uint32_t address, uint16_t value) {
    auto c = flash_cycles(address & 0xFFFE0000, {{0xAAA, 0xAA}, {0x554, 0x55}, {0xAAA, 0xA0}});
    c.push_back({16, address, value});
    return c;
}
inline std::vector<access> flash_erase(uint32_t sector) {
    return flash_cycles(
        sector,
        {{0xAAA, 0xAA}, {0x554, 0x55}, {0xAAA, 0x80}, {0xAAA, 0xAA}, {0x554, 0x55}, {0, 0x30}});
}
inline const std::vector<access> FLASH_AUTOSELECT =
    flash_cycles(FLASH, {{0xAAA, 0xAA}, {0x554, 0x55}, {0xAAA, 0x90}});
inline const std::vector<access> FLASH_RESET = flash_cycles(FLASH, {{0, 0xF0}});

} // namespace korvin::test
