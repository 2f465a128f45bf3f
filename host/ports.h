#pragma once
// The serial ports this machine has, for --list-ports. ports_posix.cpp reads
// Linux's devfs and sysfs, ports_win32.cpp the registry and SetupAPI.
#include <string>
#include <vector>

namespace korvin {

struct serial_port_entry {
    std::string argument;    // what -p takes for it: "1" (COM1), "/dev/ttyUSB0"
    std::string description; // what the system says of it
};

// The serial ports this machine has, sorted by argument: COM ports by number,
// then device paths. None open is needed.
std::vector<serial_port_entry> serial_list_ports();

// Linux: serial_list_ports() over <root>/dev and <root>/sys (without sysfs, over
// <root>/proc instead), so that tests can build a machine of their own under
// a directory; root "" is this machine. The arguments name the ports as seen
// from root ("/dev/ttyUSB0").
std::vector<serial_port_entry> serial_list_ports_under(const std::string& root);

} // namespace korvin
