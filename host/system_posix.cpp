// The machine's facts from POSIX calls.
#include "system.h"

#include <unistd.h>

namespace korvin {

std::string system_host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
}

} // namespace korvin
