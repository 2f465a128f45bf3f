#pragma once
// The host behind korvin-sim's pseudo-terminal: bytes pass between the master and the line,
// the line watch says who has the slave open and stops the core for a signal or a close.
#include "board_host.h"
#include "line_watch.h"
#include "serial_line.h"

#include <atomic>
#include <string>

namespace korvin::sim {

class pty_host : public board_host, public line_end {
  public:
    // `master` is the pseudo-terminal master, `watch` counts its slave's openers; `stop` is
    // raised (by a signal) to end the run.
    pty_host(int master, line_watch& watch, const std::atomic<int>& stop)
        : fd_(master), watch_(watch), stop_(stop) {}

    // Opens the line watch's wake pipe; false with `error` set.
    bool open(std::string& error);

    void begin(serial_line& line, std::function<bool()> running,
               std::function<void()> halt) override;
    void end(serial_line& line) override;
    bool wait_for_opener() override { return watch_.wait_for_opener(); }
    bool closed() override { return watch_.closed_since_seen(); }
    void reset(serial_line& line) override;
    waited wait(serial_line& line, time_point deadline) override;
    bool turn(serial_line&) override { return true; } // a late stop: nothing to do
    void fault(serial_line& line, const std::string& text) override;
    void output_due(serial_line& line, time_point now) override;

    // Between two boards (a swap): the line says nothing and what the host sends is lost.
    // Waits at most until `until`, returning early on a signal.
    void silence(time_point until);

  private:
    enum class status { ok, closed };
    // Writes the line's output to the master and queues what the host has sent. Waits at
    // most until `deadline` (a past deadline only polls), returning early on input, on a
    // change of the openers or on a signal.
    status pump(serial_line& line, time_point deadline);
    void write_out(std::string& out);

    int fd_;
    line_watch& watch_;
    const std::atomic<int>& stop_;
    // Readable when the openers change; with it, a hang-up on the master is not taken as the
    // close (the watch reports that).
    int wake_fd_ = -1;
    time_point last_write_{};
};

} // namespace korvin::sim
