#pragma once
// The run sequence of korvin: the command line's effects and action, the
// serial port, the FLASH warning, the download, the test run and the exit
// status.
#include <cstddef>

namespace korvin {

// The serial ports, one a line: the argument -p takes, then what the system
// says of the port.
void print_port_list();

// The whole program: returns the exit status.
int korvin_main(int argc, char** argv, const unsigned char* image, std::size_t image_length);

} // namespace korvin
