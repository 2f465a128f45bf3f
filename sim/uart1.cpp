#include "uart1.h"

#include <algorithm>
#include <cstdio>

namespace korvin::sim {

uint32_t uart1::status(time_point now) const {
    uint32_t s = 0;
    if (line_.tx_idle(now))
        s |= UTS_TXEMPTY;
    if (!line_.rx_available(now))
        s |= UTS_RXEMPTY;
    if (line_.tx_full(now))
        s |= UTS_TXFULL;
    return s;
}

bool uart1::refuses(uint32_t offset, unsigned width, bool write, std::string& why) const {
    if (offset == URXD && write)
        why = "URXD is read-only";
    else if (offset == UTXD && !write)
        why = "UTXD is write-only";
    else if (offset == UTS && write)
        why = "UTS is only read: writing it would change the UART's test modes";
    else if (offset != URXD && offset != UTXD && offset != UTS)
        why = "not a UART1 register the monitor may use (URXD, UTXD, UTS)";
    else if (width != 4)
        why = "UART1 registers take 32-bit accesses only";
    else
        return false;
    return true;
}

uint32_t uart1::read(uint32_t offset, unsigned) {
    time_point now = clock_.now();
    line_.flush_due(now);
    if (offset == URXD) {
        last_status_ = ~0u;
        if (!line_.rx_available(now))
            return 0; // CHARRDY clear
        return URXD_CHARRDY | line_.rx_pop();
    }
    uint32_t s = status(now);
    // The same status twice in a row: the program is polling. Nothing can change it but the
    // line, so wait on the line (until a byte arrives or one leaves) instead of spinning.
    if (s == last_status_ && clock_.wait) {
        constexpr auto CAP = std::chrono::milliseconds(50);
        time_point deadline = now + CAP;
        if (auto rx = line_.rx_next(); rx && *rx > now)
            deadline = std::min(deadline, *rx);
        if (!clock_.wait(deadline))
            return s;
        now = clock_.now();
        s = status(now);
    }
    last_status_ = s;
    return s;
}

void uart1::write(uint32_t, unsigned, uint32_t value) {
    last_status_ = ~0u;
    const time_point now = clock_.now();
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
