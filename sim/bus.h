#pragma once
// What the device models share: the bus trace, the record of an access the board does not
// have, and a way to let time pass while the program polls a device.
#include "clock.h"
#include "trace.h"

#include <functional>
#include <string>

namespace korvin::sim {

struct Bus {
    BusTrace trace;
    // Set by a device on an access it does not have; the CPU stops after it.
    std::string error;
    // Lets time pass until `deadline` while servicing the serial line; false when the CPU
    // must stop (the host closed the line, or the simulator is ending).
    std::function<bool(Time deadline)> wait;

    void fail(std::string what) {
        if (error.empty())
            error = std::move(what);
    }
};

} // namespace korvin::sim
