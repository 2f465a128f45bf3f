#include "uart.h"

#include <algorithm>
#include <cstdio>

namespace korvin::sim {

uint32_t Uart1::status(Time now) const {
    uint32_t s = 0;
    if (line_.tx_idle(now))
        s |= uts_txempty;
    if (!line_.rx_available(now))
        s |= uts_rxempty;
    if (line_.tx_full(now))
        s |= uts_txfull;
    return s;
}

bool Uart1::check(uint32_t offset, unsigned bytes, bool write) {
    const char* what = nullptr;
    if (offset == urxd && write)
        what = "URXD is read-only";
    else if (offset == utxd && !write)
        what = "UTXD is write-only";
    else if (offset == uts && write)
        what = "UTS is only read: writing it would change the UART's test modes";
    else if (offset != urxd && offset != utxd && offset != uts)
        what = "not a UART1 register the monitor may use (URXD, UTXD, UTS)";
    else if (bytes != 4)
        what = "UART1 registers take 32-bit accesses only";
    if (what) {
        bus_.fail(what);
        return false;
    }
    return true;
}

uint32_t Uart1::read(uint32_t offset, unsigned bytes) {
    if (!check(offset, bytes, false))
        return 0;
    Time now = Clock::now();
    line_.flush_due(now);
    if (offset == urxd) {
        last_status_ = ~0u;
        if (!line_.rx_available(now))
            return 0; // CHARRDY clear
        return 0x8000 | line_.rx_pop();
    }
    uint32_t s = status(now);
    // The same status twice in a row: the program is polling. Nothing can change it but the
    // line, so wait on the line (until a byte arrives or one leaves) instead of spinning.
    if (s == last_status_ && bus_.wait) {
        constexpr auto cap = std::chrono::milliseconds(50);
        Time deadline = now + cap;
        if (auto rx = line_.rx_next(); rx && *rx > now)
            deadline = std::min(deadline, *rx);
        if (!bus_.wait(deadline))
            return s;
        now = Clock::now();
        s = status(now);
    }
    last_status_ = s;
    return s;
}

void Uart1::write(uint32_t offset, unsigned bytes, uint32_t value) {
    if (!check(offset, bytes, true))
        return;
    last_status_ = ~0u;
    const Time now = Clock::now();
    if (line_.tx_full(now)) {
        if (!lost_reported_)
            std::fprintf(stderr, "korvin-sim: UTXD written while the transmit FIFO is full: "
                                 "byte lost\n");
        lost_reported_ = true;
        return;
    }
    line_.tx_push(static_cast<uint8_t>(value), now);
    line_.flush_due(now);
}

} // namespace korvin::sim
