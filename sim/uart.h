#pragma once
// UART1 as the monitor uses it: URXD, UTXD and UTS on the serial line the boot ROM set up.
// Any other register is outside what the board offers the image.
#include "bus.h"
#include "line.h"

#include <cstdint>

namespace korvin::sim {

class Uart1 {
  public:
    static constexpr uint32_t urxd = 0x00, utxd = 0x40, uts = 0xB4;
    static constexpr uint32_t uts_txempty = 1u << 6, uts_rxempty = 1u << 5, uts_txfull = 1u << 4;

    Uart1(Bus& bus, SerialLine& line) : bus_(bus), line_(line) {}

    uint32_t read(uint32_t offset, unsigned bytes);
    void write(uint32_t offset, unsigned bytes, uint32_t value);
    void reset() { last_status_ = ~0u; }

  private:
    uint32_t status(Time now) const;
    bool check(uint32_t offset, unsigned bytes, bool write);

    Bus& bus_;
    SerialLine& line_;
    uint32_t last_status_ = ~0u; // UTS as last read, while nothing else touched the UART
    bool lost_reported_ = false;
};

} // namespace korvin::sim
