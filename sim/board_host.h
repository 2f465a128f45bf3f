#pragma once
// The host at the far end of the board's serial line, as the board's run loop sees it. The
// loop asks it to let time pass while the program waits on the line, tells it when the core
// stops, and resets the board when the host has closed the line. korvin-sim's host sits
// behind a pseudo-terminal (pty_host.h); a test's may live in the same process and take its
// turns while the core is stopped.
#include "clock.h"
#include "serial_line.h"

#include <functional>
#include <string>

namespace korvin::sim {

class board_host {
  public:
    virtual ~board_host() = default;

    // The run begins. `running` says whether the core is running; `halt` stops it before its
    // next instruction and may be called from any thread. The host attaches to `line`.
    virtual void begin(serial_line& line, std::function<bool()> running,
                       std::function<void()> halt) = 0;
    // The run has ended: no thread of the host calls `halt` any more.
    virtual void end(serial_line& line) = 0;

    // Nobody has the line open (at the start, and after a close): waits a little for an
    // opener. True when the line is open now.
    virtual bool wait_for_opener() = 0;
    // The host has closed the line since it was last asked; the board resets for the next.
    virtual bool closed() = 0;
    // The board's reset: the line drops what it holds for the host that has gone.
    virtual void reset(serial_line& line) = 0;

    enum class waited { go_on, closed, host_turn };
    // The program waits on the line until `deadline` (a past one only polls) while bytes pass
    // both ways: go_on, or the core must stop because the host closed the line or takes its
    // turn.
    virtual waited wait(serial_line& line, time_point deadline) = 0;
    // The core has stopped between two instructions, the line open. False ends the run.
    virtual bool turn(serial_line& line) = 0;
    // The program made an access the board does not have, or took an exception: the run
    // ends with `text`.
    virtual void fault(serial_line& line, const std::string& text) = 0;
};

} // namespace korvin::sim
