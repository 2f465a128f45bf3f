#include "pty_host.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace korvin::sim {

bool pty_host::open(std::string& error) {
    if (!watch_.open(error))
        return false;
    wake_fd_ = watch_.watching() ? watch_.wake_fd() : -1;
    return true;
}

void pty_host::begin(serial_line& line, std::function<bool()> running, std::function<void()> halt) {
    line.attach(this);
    // The watch thread only asks the CPU to stop; whether the board resets is decided by the
    // run loop, on the main thread, which alone sees closes.
    watch_.start(std::move(running), stop_, std::move(halt));
}

void pty_host::end(serial_line& line) {
    watch_.finish();
    pump(line, sim_clock::now()); // what is due still goes out
}

void pty_host::reset(serial_line& line) {
    watch_.forget_closes();
    // A host that has already opened the line again may have sent its first bytes.
    const bool discard = watch_.openers() == 0;
    line.clear(discard);
    // What the host sent before it closed the line is gone with it.
    uint8_t buf[4096];
    while (discard && ::read(fd_, buf, sizeof buf) > 0) {
    }
}

board_host::waited pty_host::wait(serial_line& line, time_point deadline) {
    if (pump(line, deadline) == status::closed || watch_.closed_since_seen())
        return waited::closed;
    return waited::go_on;
}

void pty_host::fault(serial_line&, const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
}

void pty_host::silence(time_point until) {
    const auto left = until - sim_clock::now();
    if (left <= sim_clock::duration::zero())
        return;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd p{fd_, POLLIN, 0};
    if (ppoll(&p, 1, &ts, nullptr) <= 0)
        return; // the time is up, or a signal
    if (p.revents & POLLHUP) {
        // Nobody has the line open, which the master reports at once: wait in small steps.
        timespec step{0, static_cast<long>(std::min<long long>(ns, 10000000))};
        ppoll(nullptr, 0, &step, nullptr);
        return;
    }
    uint8_t buf[4096];
    while (::read(fd_, buf, sizeof buf) > 0) {
    }
}

void pty_host::write_out(std::string& out) {
    while (!out.empty()) {
        const ssize_t n = ::write(fd_, out.data(), out.size());
        if (n <= 0)
            break;
        out.erase(0, static_cast<size_t>(n));
    }
}

void pty_host::output_due(serial_line& line, time_point now) {
    // Unpaced output goes out in chunks: a write per byte would cost more than the emulation.
    std::string& out = line.output(now);
    if (line.paced() || out.size() >= 1024 || now - last_write_ > std::chrono::milliseconds(2)) {
        last_write_ = now;
        write_out(out);
    }
}

pty_host::status pty_host::pump(serial_line& line, time_point deadline) {
    time_point now = sim_clock::now();
    std::string& out = line.output(now);
    last_write_ = now;
    write_out(out);
    time_point until = deadline;
    if (auto next = line.tx_next())
        until = std::min(until, *next);
    const auto wait = std::max(until - now, sim_clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0},
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
            for (ssize_t i = 0; i < n; ++i)
                line.host_send(buf[i], now);
        }
    }
    write_out(line.output(now));
    return status::ok;
}

} // namespace korvin::sim
