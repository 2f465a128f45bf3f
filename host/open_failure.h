#pragma once
// Why a serial port could not be opened, told so that a technician knows the
// next step. The facts are gathered by open_failure_posix.cpp and
// open_failure_win32.cpp; the texts are built from plain facts, so that tests
// on any system can give them any.
#include <string>
#include <vector>

namespace korvin {

// The steps of opening a port on Linux, in order.
enum class open_step {
    open,      // open(2)
    exclusive, // TIOCEXCL: no second open by other users
    lock,      // flock: no second korvin, whoever runs it
};

// Whether the user is in the group that owns the device.
enum class group_membership {
    no,
    after_login, // in the group's list, but not in this session's groups
    yes,
};

// A process that has the device open.
struct port_holder {
    long pid = 0;
    std::string program; // its command name ("minicom")
};

// What the system showed when opening a port on Linux failed.
struct open_failure {
    std::string port;   // as the messages name it: "COM5", "/dev/ttyUSB0"
    std::string device; // the node that was opened: "/dev/ttyS4"
    open_step step = open_step::open;
    int error = 0;           // errno of the step that failed
    bool node_found = false; // the node could be examined; then:
    unsigned mode = 0;       // its st_mode
    std::string owner;       // user name, or the number when it has none
    std::string group;       // group name, or the number
    group_membership membership = group_membership::no;
    std::vector<port_holder> holders; // other processes with the device open
};

// Linux: what the system shows of `device` right after opening it as `port`
// failed at `step` with errno `error`. Called at once, while any holders still
// hold the port.
open_failure examine_open_failure(const std::string& port, const std::string& device,
                                  open_step step, int error);

// Linux: the explanation of a failure, one or more lines each ended by '\n'.
std::string explain_open_failure(const open_failure& failure);

// For COM0 and below, which no system has: that COM ports count from 1, and
// where to see the ports there are. "" for any other port.
std::string explain_com_number(const std::string& port);

// Windows: the explanation for CreateFile's error code (GetLastError) and the
// system's text for it (FormatMessage).
std::string explain_windows_open_failure(const std::string& port, unsigned long error,
                                         const std::string& system_text);

// Windows: the system's text for an error code (FormatMessage), in the
// user's language; "" when it has none.
std::string windows_error_text(unsigned long error);

} // namespace korvin
