// UART1 on the bench, on one end of a socket pair that stands for the host's line: what the
// monitor reads in URXD and UTS and what it writes to UTXD. What it may not touch is in
// board_devices_test.cpp, with the other refusals.
#include "sim/serial_line.h"
#include "sim/uart1.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace korvin::test {
namespace {

using sim::uart1;

struct uart_bench {
    explicit uart_bench(bool paced = false) : line(open_pair(fds), paced), uart(line, clock) {}
    ~uart_bench() {
        close(fds[0]);
        close(fds[1]);
    }
    static int open_pair(int* fds) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair failed");
        return fds[0];
    }
    // The host sends `bytes`; the line takes them in.
    void host_sends(const std::string& bytes) {
        ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        line.pump(sim::sim_clock::now());
    }
    std::string host_receives() {
        line.pump(sim::sim_clock::now());
        std::string got;
        char buf[64];
        for (ssize_t n; (n = read(fds[1], buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        return got;
    }
    uint32_t uts() { return uart.read(uart1::UTS, 4); }

    int fds[2] = {-1, -1};
    sim::serial_line line;
    sim::device_clock clock; // no waiting: a polled UTS answers at once
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
