#pragma once
// The serial line between the host and UART1. Without pacing bytes pass at once; paced, each
// byte takes 10 bit times at 115200 baud in each direction, and the transmitter has the
// UART's 32-byte FIFO in front of its shift register. The line is the wire alone: what sits
// at the host's end of it (a pseudo-terminal, a host in the same process) puts bytes on with
// host_send() and takes them off from output().
#include "clock.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace korvin::sim {

class serial_line;

// The host's end of the line, told when bytes come off the wire.
class line_end {
  public:
    virtual ~line_end() = default;
    // Bytes wait in line.output(now); the end takes (erases) what it can. Called for every
    // byte the board sends, so it must be cheap.
    virtual void output_due(serial_line& line, time_point now) = 0;
};

class serial_line {
  public:
    static constexpr size_t TX_FIFO_SIZE = 32;
    // Past this much output left in output() the host is not draining the line: the FIFO
    // reports full.
    static constexpr size_t BACKLOG_LIMIT = 1 << 16;

    explicit serial_line(bool paced) : paced_(paced) {}
    bool paced() const { return paced_; }
    // `end` is told of the output from now on (none: it waits in output() until taken);
    // `backlog_limit` is how much the end may leave there before the FIFO reports full.
    void attach(line_end* end, size_t backlog_limit = BACKLOG_LIMIT) {
        end_ = end;
        backlog_limit_ = backlog_limit;
    }

    // Host to board: a byte the host sends is in the receiver once it has crossed the wire.
    void host_send(uint8_t byte, time_point now);
    bool rx_available(time_point now) const { return !rx_.empty() && rx_.front().at <= now; }
    std::optional<time_point> rx_next() const;
    uint8_t rx_pop();

    // Board to host.
    bool tx_full(time_point now) const;
    bool tx_idle(time_point now) const; // FIFO and shift register empty
    void tx_push(uint8_t byte, time_point now);
    // When the byte now on the wire has crossed it, if one is on it.
    std::optional<time_point> tx_next() const;
    // The bytes off the wire by `now` that the host's end has not taken yet.
    std::string& output(time_point now);
    // Moves what is off the wire by `now` into output() and tells the end; the path taken
    // on every transmitted byte.
    void flush_due(time_point now);

    // Drops what is to be sent; `discard_input` also drops what was received and is queued
    // (without it, those are the next opener's first bytes).
    void clear(bool discard_input);
    // Bytes received and sent since the start, for statistics.
    uint64_t received() const { return received_; }
    uint64_t sent() const { return sent_; }

  private:
    struct queued_byte {
        uint8_t value;
        time_point at;  // received: when it is in the receiver; sent: when it starts on the wire
        time_point end; // sent: when its stop bit ends
    };

    bool paced_;
    line_end* end_ = nullptr;
    size_t backlog_limit_ = BACKLOG_LIMIT;
    std::deque<queued_byte> rx_, tx_;
    std::string out_; // bytes off the wire, not yet taken by the host's end
    time_point rx_last_{}, tx_last_{};
    uint64_t received_ = 0, sent_ = 0;
};

} // namespace korvin::sim
