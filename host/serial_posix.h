#pragma once
// The POSIX port listing with movable roots, so that tests can build a
// machine of their own under a directory; and the account of a failed open,
// built from plain facts so that tests can give it any.
#include "serial.h"

#include <string>
#include <vector>

namespace korvin {

// serial_list_ports() over <root>/dev and <root>/sys (without sysfs, over
// <root>/proc instead); root "" is this machine. The arguments name the
// ports as seen from root ("/dev/ttyUSB0").
std::vector<serial_port_entry> serial_list_ports_under(const std::string& root);

// The steps of opening a port, in order.
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

// What the system showed when opening a port failed.
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

// serial_open_explanation()'s text for a failure.
std::string explain_open_failure(const open_failure& failure);

} // namespace korvin
