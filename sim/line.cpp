#include "line.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace korvin::sim {
namespace {

// Past this much unread output the host is not draining the line: the FIFO reports full.
constexpr size_t backlog_limit = 1 << 16;

} // namespace

std::optional<Time> SerialLine::rx_next() const {
    if (rx_.empty())
        return std::nullopt;
    return rx_.front().at;
}

uint8_t SerialLine::rx_pop() {
    const uint8_t b = rx_.front().value;
    rx_.pop_front();
    return b;
}

bool SerialLine::tx_full(Time now) const {
    if (!paced_)
        return out_.size() >= backlog_limit;
    size_t waiting = tx_.size();
    if (waiting && tx_.front().at <= now)
        --waiting; // that one is in the shift register
    return waiting >= tx_fifo_size || out_.size() >= backlog_limit;
}

bool SerialLine::tx_idle(Time now) const {
    if (!paced_)
        return true;
    return tx_.empty() || tx_.back().end <= now;
}

void SerialLine::tx_push(uint8_t byte, Time now) {
    ++sent_;
    if (!paced_) {
        out_.push_back(static_cast<char>(byte));
        return;
    }
    const Time start = std::max(now, tx_last_);
    tx_last_ = start + byte_time;
    tx_.push_back({byte, start, tx_last_});
}

void SerialLine::move_departed(Time now) {
    while (!tx_.empty() && tx_.front().end <= now) {
        out_.push_back(static_cast<char>(tx_.front().value));
        tx_.pop_front();
    }
}

void SerialLine::write_out() {
    while (!out_.empty()) {
        const ssize_t n = ::write(fd_, out_.data(), out_.size());
        if (n <= 0)
            break;
        out_.erase(0, static_cast<size_t>(n));
    }
}

void SerialLine::flush_due(Time now) {
    move_departed(now);
    // Unpaced output goes out in chunks: a write per byte would cost more than the emulation.
    if (!out_.empty() &&
        (paced_ || out_.size() >= 1024 || now - last_write_ > std::chrono::milliseconds(2))) {
        last_write_ = now;
        write_out();
    }
}

SerialLine::Status SerialLine::pump(Time deadline) {
    Time now = Clock::now();
    move_departed(now);
    last_write_ = now;
    write_out();
    Time until = deadline;
    if (!tx_.empty())
        until = std::min(until, tx_.front().end);
    const auto wait = std::max(until - now, Clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0},
                     {wake_fd_, POLLIN, 0}};
    const int r = ppoll(fds, wake_fd_ >= 0 ? 2 : 1, &ts, nullptr);
    if (r < 0)
        return Status::ok; // a signal: the caller looks at its flags
    if (wake_fd_ >= 0 && (fds[1].revents & POLLIN)) {
        char drain[64];
        while (::read(wake_fd_, drain, sizeof drain) > 0) {
        }
        return Status::ok;
    }
    const pollfd& p = fds[0];
    if (p.revents & POLLHUP) {
        if (wake_fd_ < 0)
            return Status::closed;
        // Nobody has the line open; the watcher will say so. Wait for it, not on the master.
        ppoll(&fds[1], 1, &ts, nullptr);
        return Status::ok;
    }
    now = Clock::now();
    if (p.revents & POLLIN) {
        uint8_t buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n; ++i) {
                Time at = now;
                if (paced_) {
                    at = std::max(now, rx_last_) + byte_time;
                    rx_last_ = at;
                }
                rx_.push_back({buf[i], at, at});
            }
            received_ += static_cast<uint64_t>(n);
        }
    }
    move_departed(now);
    write_out();
    return Status::ok;
}

void SerialLine::clear(bool discard_input) {
    // What the host sent before it closed the line is gone with it.
    uint8_t buf[4096];
    while (discard_input && ::read(fd_, buf, sizeof buf) > 0) {
    }
    rx_.clear();
    tx_.clear();
    out_.clear();
    rx_last_ = tx_last_ = Time{};
}

} // namespace korvin::sim
