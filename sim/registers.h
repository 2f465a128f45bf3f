#pragma once
// Plain 32-bit registers that only record what is written: the AIPI bridges' PSR0/PSR1, the
// clock module's CSCR and the WEIM's chip-select controls.
#include "device.h"

#include <cstdint>
#include <map>
#include <string>

namespace korvin::sim {

class recording_registers : public device {
  public:
    struct reg {
        std::string name;
        uint32_t reset;
    };
    // `regs` maps register offsets to names and reset values; `block` names the module.
    recording_registers(std::string block, std::map<uint32_t, reg> regs);

    bool refuses(uint32_t offset, unsigned width, bool write, std::string& why) const override;
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;
    void reset() override;
    // The register's value, for the module that owns the block and for tests.
    uint32_t value(uint32_t offset) const { return values_.at(offset); }

  private:
    std::string block_;
    std::map<uint32_t, reg> regs_;
    std::map<uint32_t, uint32_t> values_;
};

} // namespace korvin::sim
