#pragma once
// The POSIX port listing with movable roots, so that tests can build a
// machine of their own under a directory.
#include "serial.h"

#include <string>
#include <vector>

namespace korvin {

// serial_list_ports() over <root>/dev and <root>/sys (without sysfs, over
// <root>/proc instead); root "" is this machine. The arguments name the
// ports as seen from root ("/dev/ttyUSB0").
std::vector<serial_port_entry> serial_list_ports_under(const std::string& root);

} // namespace korvin
