#pragma once
// Plain 32-bit registers that only record what is written: the AIPI bridges' PSR0/PSR1 and
// the clock module's CSCR.
#include "bus.h"

#include <cstdint>
#include <map>
#include <string>

namespace korvin::sim {

class RecordingRegisters {
  public:
    // `names` maps register offsets to names and reset values.
    struct Reg {
        std::string name;
        uint32_t reset;
    };
    RecordingRegisters(Bus& bus, std::string block, std::map<uint32_t, Reg> regs);

    uint32_t read(uint32_t offset, unsigned bytes);
    void write(uint32_t offset, unsigned bytes, uint32_t value);
    void reset();
    // The register's value, for tests and diagnostics.
    uint32_t value(uint32_t offset) const { return values_.at(offset); }

  private:
    bool check(uint32_t offset, unsigned bytes);
    Bus& bus_;
    std::string block_;
    std::map<uint32_t, Reg> regs_;
    std::map<uint32_t, uint32_t> values_;
};

} // namespace korvin::sim
