// UART1 on the bench, on a line whose far end is the test: what the monitor reads in URXD and
// UTS and what it writes to UTXD. What it may not touch is in board_devices_test.cpp, with
// the other refusals.
#include "sim/serial_line.h"
#include "sim/uart1.h"

#include <gtest/gtest.h>

#include <string>

namespace korvin::test {
namespace {

using sim::uart1;

struct uart_bench {
    explicit uart_bench(bool paced = false) : line(paced), uart(line, clock) {}
    // The host sends `bytes`; they are on the line from now on.
    void host_sends(const std::string& bytes) {
        for (char c : bytes)
            line.host_send(static_cast<uint8_t>(c), clock.now());
    }
    std::string host_receives() {
        std::string got;
        got.swap(line.output(clock.now()));
        return got;
    }
    uint32_t uts() { return uart.read(uart1::UTS, 4); }

    sim::device_clock clock; // no waiting: a polled UTS answers at once
    sim::serial_line line;
    uart1 uart;
};

TEST(Uart1, ReceivedBytesComeThroughUrxdAsUtsSays) {
    uart_bench b;
    EXPECT_EQ(b.uts(), uart1::UTS_TXEMPTY | uart1::UTS_RXEMPTY);
    b.host_sends("A\xff");
    EXPECT_EQ(b.uts(), uart1::UTS_TXEMPTY);
    EXPECT_EQ(b.uart.read(uart1::URXD, 4), uart1::URXD_CHARRDY | 'A');
    EXPECT_EQ(b.uart.read(uart1::URXD, 4), uart1::URXD_CHARRDY | 0xFF);
    EXPECT_EQ(b.uart.read(uart1::URXD, 4) & uart1::URXD_CHARRDY, 0u) << "nothing more";
    EXPECT_EQ(b.uts(), uart1::UTS_TXEMPTY | uart1::UTS_RXEMPTY);
}

TEST(Uart1, UtxdSendsTheLowByteToTheHost) {
    uart_bench b;
    for (uint32_t v : {0x168u, 0x69u, 0x0Du})
        b.uart.write(uart1::UTXD, 4, v);
    EXPECT_EQ(b.host_receives(), "hi\r");
}

TEST(Uart1, APacedTransmitterFillsItsFifo) {
    // At 115200 baud a byte takes 87 us: 33 bytes written at one instant fill the shift
    // register and the 32-byte FIFO.
    uart_bench b(true);
    const sim::time_point instant = sim::sim_clock::now();
    b.clock.now = [instant] { return instant; };
    EXPECT_EQ(b.uts() & uart1::UTS_TXFULL, 0u);
    for (int i = 0; i < 32; ++i)
        b.uart.write(uart1::UTXD, 4, 'x');
    EXPECT_EQ(b.uts() & uart1::UTS_TXFULL, 0u);
    b.uart.write(uart1::UTXD, 4, 'x');
    const uint32_t s = b.uts();
    EXPECT_EQ(s & uart1::UTS_TXFULL, uart1::UTS_TXFULL);
    EXPECT_EQ(s & uart1::UTS_TXEMPTY, 0u);
}

} // namespace
} // namespace korvin::test
