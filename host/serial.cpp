// The part of the serial link both systems share.
#include "serial.h"

#include <cstdio>

namespace korvin {

std::string com_port_name(std::int32_t port_number) {
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", static_cast<int>(port_number));
    return name;
}

} // namespace korvin
