#include "serial_line.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace korvin::sim {
namespace {

// Past this much unread output the host is not draining the line: the FIFO reports full.
constexpr size_t BACKLOG_LIMIT = 1 << 16;
// A host in this process takes everything when the board stops; this much bounds a program
// that talks without end.
constexpr size_t IN_PROCESS_BACKLOG_LIMIT = 1 << 24;

} // namespace

std::optional<time_point> serial_line::rx_next() const {
    if (rx_.empty())
        return std::nullopt;
    return rx_.front().at;
}

uint8_t serial_line::rx_pop() {
    const uint8_t b = rx_.front().value;
    rx_.pop_front();
    return b;
}

bool serial_line::tx_full(time_point now) const {
    const size_t limit = in_process() ? IN_PROCESS_BACKLOG_LIMIT : BACKLOG_LIMIT;
    if (!paced_)
        return out_.size() >= limit;
    size_t waiting = tx_.size();
    if (waiting && tx_.front().at <= now)
        --waiting; // that one is in the shift register
    return waiting >= TX_FIFO_SIZE || out_.size() >= limit;
}

bool serial_line::tx_idle(time_point now) const {
    if (!paced_)
        return true;
    return tx_.empty() || tx_.back().end <= now;
}

void serial_line::tx_push(uint8_t byte, time_point now) {
    ++sent_;
    if (!paced_) {
        out_.push_back(static_cast<char>(byte));
        return;
    }
    const time_point start = std::max(now, tx_last_);
    tx_last_ = start + BYTE_TIME;
    tx_.push_back({byte, start, tx_last_});
}

void serial_line::move_departed(time_point now) {
    while (!tx_.empty() && tx_.front().end <= now) {
        out_.push_back(static_cast<char>(tx_.front().value));
        tx_.pop_front();
    }
}

void serial_line::write_out() {
    while (!in_process() && !out_.empty()) {
        const ssize_t n = ::write(fd_, out_.data(), out_.size());
        if (n <= 0)
            break;
        out_.erase(0, static_cast<size_t>(n));
    }
}

void serial_line::flush_due(time_point now) {
    move_departed(now);
    // Unpaced output goes out in chunks: a write per byte would cost more than the emulation.
    if (!out_.empty() &&
        (paced_ || out_.size() >= 1024 || now - last_write_ > std::chrono::milliseconds(2))) {
        last_write_ = now;
        write_out();
    }
}

serial_line::status serial_line::pump(time_point deadline) {
    time_point now = sim_clock::now();
    move_departed(now);
    if (in_process())
        return status::ok; // the host has nothing to say until the board stops
    last_write_ = now;
    write_out();
    time_point until = deadline;
    if (!tx_.empty())
        until = std::min(until, tx_.front().end);
    const auto wait = std::max(until - now, sim_clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0},
                     {wake_fd_, POLLIN, 0}};
    const int r = ppoll(fds, wake_fd_ >= 0 ? 2 : 1, &ts, nullptr);
    if (r < 0)
        return status::ok; // a signal: the caller looks at its flags
    if (wake_fd_ >= 0 && (fds[1].revents & POLLIN)) {
        char drain[64];
        while (::read(wake_fd_, drain, sizeof drain) > 0) {
        }
        return status::ok;
    }
    const pollfd& p = fds[0];
    if (p.revents & POLLHUP) {
        if (wake_fd_ < 0)
            return status::closed;
        // Nobody has the line open; the watcher will say so. Wait for it, not on the master.
        ppoll(&fds[1], 1, &ts, nullptr);
        return status::ok;
    }
    now = sim_clock::now();
    if (p.revents & POLLIN) {
        uint8_t buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n; ++i) {
                time_point at = now;
                if (paced_) {
                    at = std::max(now, rx_last_) + BYTE_TIME;
                    rx_last_ = at;
                }
                rx_.push_back({buf[i], at, at});
            }
            received_ += static_cast<uint64_t>(n);
        }
    }
    move_departed(now);
    write_out();
    return status::ok;
}

void serial_line::clear(bool discard_input) {
    tx_.clear();
    out_.clear();
    tx_last_ = time_point{};
    if (!discard_input)
        return; // the next opener's first bytes may be queued already
    // What the host sent before it closed the line is gone with it.
    uint8_t buf[4096];
    while (!in_process() && ::read(fd_, buf, sizeof buf) > 0) {
    }
    rx_.clear();
    rx_last_ = time_point{};
}

void serial_line::host_send(uint8_t byte, time_point now) {
    time_point at = now;
    if (paced_) {
        at = std::max(now, rx_last_) + BYTE_TIME;
        rx_last_ = at;
    }
    rx_.push_back({byte, at, at});
    ++received_;
}

std::string serial_line::host_take(time_point now) {
    move_departed(now);
    std::string taken;
    taken.swap(out_);
    return taken;
}

} // namespace korvin::sim
