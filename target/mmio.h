#pragma once
// The only way the image touches a device or memory under test: one access of
// the named width per call, never merged, repeated or dropped by the compiler.
#include <stdint.h>

static inline uint32_t read32(uint32_t address) {
    return *reinterpret_cast<volatile uint32_t*>(address);
}
static inline uint32_t read16(uint32_t address) {
    return *reinterpret_cast<volatile uint16_t*>(address);
}
static inline void write32(uint32_t address, uint32_t value) {
    *reinterpret_cast<volatile uint32_t*>(address) = value;
}
static inline void write16(uint32_t address, uint32_t value) {
    *reinterpret_cast<volatile uint16_t*>(address) = static_cast<uint16_t>(value);
}
static inline void write8(uint32_t address, uint32_t value) {
    *reinterpret_cast<volatile uint8_t*>(address) = static_cast<uint8_t>(value);
}
static inline uint32_t read8(uint32_t address) {
    return *reinterpret_cast<volatile uint8_t*>(address);
}
