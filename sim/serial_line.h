#pragma once
// The serial line between the host and UART1. Without pacing bytes pass at once; paced, each
// byte takes 10 bit times at 115200 baud in each direction, and the transmitter has the
// UART's 32-byte FIFO in front of its shift register.
#include "clock.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace korvin::sim {

class serial_line {
  public:
    static constexpr size_t TX_FIFO_SIZE = 32;

    // `fd` is the host's end (the pseudo-terminal master), or -1 when the host is in this
    // process and uses host_send() and host_take() instead.
    serial_line(int fd, bool paced) : fd_(fd), paced_(paced) {}
    bool in_process() const { return fd_ < 0; }
    // `fd` becomes readable when the line's openers change; pump() then returns. With it,
    // a hang-up on the master is not taken as the close (the watcher reports that).
    void set_wake_fd(int fd) { wake_fd_ = fd; }

    // Host to board.
    bool rx_available(time_point now) const { return !rx_.empty() && rx_.front().at <= now; }
    std::optional<time_point> rx_next() const;
    uint8_t rx_pop();

    // Board to host.
    bool tx_full(time_point now) const;
    bool tx_idle(time_point now) const; // FIFO and shift register empty
    void tx_push(uint8_t byte, time_point now);

    enum class status { ok, closed };
    // Moves due bytes to the pseudo-terminal and received ones into the queue. Waits at most
    // until `deadline` (a past deadline only polls), returning early on input or a signal.
    status pump(time_point deadline);
    // Writes whatever is due without waiting; the cheap path taken on every transmitted byte.
    void flush_due(time_point now);
    // Drops what is to be sent; `discard_input` also drops what was received, queued or still
    // unread on the master (without it, those are the next opener's first bytes).
    void clear(bool discard_input);
    // The host in this process: a byte onto the line, and what the board has sent so far.
    void host_send(uint8_t byte, time_point now);
    std::string host_take(time_point now);
    // Bytes received and sent since the start, for statistics.
    uint64_t received() const { return received_; }
    uint64_t sent() const { return sent_; }

  private:
    struct queued_byte {
        uint8_t value;
        time_point at;  // received: when it is in the receiver; sent: when it starts on the wire
        time_point end; // sent: when its stop bit ends
    };
    void move_departed(time_point now);
    void write_out();

    int fd_;
    int wake_fd_ = -1;
    bool paced_;
    std::deque<queued_byte> rx_, tx_;
    std::string out_; // bytes off the wire, not yet taken by the pseudo-terminal
    time_point rx_last_{}, tx_last_{}, last_write_{};
    uint64_t received_ = 0, sent_ = 0;
};

} // namespace korvin::sim
