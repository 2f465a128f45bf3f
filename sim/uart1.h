#pragma once
// UART1 as the monitor uses it: URXD, UTXD and UTS on the serial line the boot ROM set up.
// Any other register is outside what the board offers the image.
#include "device.h"
#include "serial_line.h"

#include <cstdint>

namespace korvin::sim {

class uart1 : public device {
  public:
    static constexpr uint32_t URXD = 0x00, UTXD = 0x40, UTS = 0xB4;
    // URXD: CHARRDY, a received character is in the low byte.
    static constexpr uint32_t URXD_CHARRDY = 1u << 15;
    static constexpr uint32_t UTS_TXEMPTY = 1u << 6, UTS_RXEMPTY = 1u << 5, UTS_TXFULL = 1u << 4;

    // `clock` is waited on while the program polls UTS.
    uart1(serial_line& line, const device_clock& clock) : line_(line), clock_(clock) {}

    bool refuses(uint32_t offset, unsigned width, bool write, std::string& why) const override;
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;
    void reset() override { last_status_ = ~0u; }

  private:
    uint32_t status(time_point now) const;

    serial_line& line_;
    const device_clock& clock_;
    uint32_t last_status_ = ~0u; // UTS as last read, while nothing else touched the UART
    bool lost_reported_ = false;
};

} // namespace korvin::sim
