#pragma once
// What the reports tell of the machine they were made on. system_posix.cpp
// and system_win32.cpp ask the system.
#include <string>

namespace korvin {

// The system's name for this machine; "" when it has none.
std::string system_host_name();

} // namespace korvin
