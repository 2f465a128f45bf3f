#pragma once
// The host's side of programs/poke.S, the peek-and-poke program the simulator's end-to-end
// tests download: one load or store per command, answered over the line.
#include "boot_rom_client.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace korvin::test {

std::string program(const std::string& name); // an assembled test program's bytes

class poke_client {
  public:
    explicit poke_client(const std::string& port) : line_(port) {}

    // The boot ROM's side of the line, before the program runs.
    boot_rom_client& line() { return line_; }
    bool boot(const std::string& image) { return line_.boot(image); }
    void close() { line_.close(); }

    // The program's commands; nullopt when the board does not answer.
    std::optional<uint32_t> peek(unsigned bits, uint32_t address);
    bool poke(unsigned bits, uint32_t address, uint32_t value);
    std::optional<uint32_t> poll16(uint32_t address, uint32_t mask, uint32_t want);
    void spin();
    void jump(uint32_t address);

  private:
    boot_rom_client line_;
};

} // namespace korvin::test
