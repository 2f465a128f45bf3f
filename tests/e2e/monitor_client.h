#pragma once
// Plays the host over korvin-sim's pseudo-terminal: the boot ROM download of the real boot
// image, then the monitor's byte protocol, so that tests see every byte the monitor sends
// (result codes included, which korvin reduces to passed/failed).
#include "boot_rom_client.h"

#include <chrono>
#include <string>
#include <vector>

namespace korvin::test {

struct answer {
    std::string trace; // everything between the command byte and ':'
    std::string code;  // the result digits up to the next prompt
};

class monitor_client {
  public:
    explicit monitor_client(const std::string& port) : line_(port) {}

    // Downloads `image` through the boot ROM and returns the monitor's first byte (the
    // prompt, when all is well); throws when the boot ROM does not take it.
    char boot(const std::string& image);
    // Sends one command byte after a prompt and reads the answer up to and including the
    // next prompt.
    answer command(char byte, std::chrono::seconds timeout = std::chrono::seconds(300));

  private:
    boot_rom_client line_;
};

// The real boot image, as the build left it.
std::string boot_image();

// Splits trace text at CR LF; a trailing piece without CR LF is kept as a line of its own so
// that a broken line end shows up in a comparison.
std::vector<std::string> trace_lines(const std::string& trace);

} // namespace korvin::test
