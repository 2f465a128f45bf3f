#pragma once
// The run sequence of korvin: the command line's effects and action, the
// serial port, the FLASH warning, the download, the test run and the exit
// status.
#include <cstddef>

namespace korvin {

// The serial ports, one a line: the argument -p takes, then what the system
// says of the port.
void print_port_list();

// A boot image to download.
struct boot_image_bytes {
    const unsigned char* bytes = nullptr;
    std::size_t length = 0;
};

// The whole program: returns the exit status. `image` is what a run
// downloads; `bench` the bench monitor, for --full, --peek, --poke and --dump.
int korvin_main(int argc, char** argv, boot_image_bytes image, boot_image_bytes bench = {});

} // namespace korvin
