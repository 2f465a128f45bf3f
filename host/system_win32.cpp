// The machine's facts from KERNEL32.
#include "system.h"

#include <windows.h>

namespace korvin {

std::string system_host_name() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size))
        return "";
    return std::string(name, size);
}

} // namespace korvin
