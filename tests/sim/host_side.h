#pragma once
// The host's end of the simulated board's line, for tests: the boot ROM exchange and the
// peek-and-poke program of programs/poke.S.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace korvin::test {

using namespace std::chrono_literals;

std::string program(const std::string& name); // an assembled test program's bytes
std::string frame(uint16_t command, uint32_t address, uint32_t count, uint8_t type);
std::string status_request();

class HostSide {
  public:
    explicit HostSide(const std::string& port);
    ~HostSide();
    HostSide(const HostSide&) = delete;
    HostSide& operator=(const HostSide&) = delete;

    void send(const std::string& bytes);
    // Up to `n` bytes; stops early after `gap` without a byte (the first byte may take `first`).
    std::string receive(size_t n, std::chrono::milliseconds first = 1000ms,
                        std::chrono::milliseconds gap = 100ms);
    // Wakes the boot ROM, downloads `image` to internal RAM and starts it; false when any
    // answer is not the expected one.
    bool boot(const std::string& image);
    void close();

    // The poke program's commands; nullopt when the board does not answer.
    std::optional<uint32_t> peek(unsigned bits, uint32_t address);
    bool poke(unsigned bits, uint32_t address, uint32_t value);
    std::optional<uint32_t> poll16(uint32_t address, uint32_t mask, uint32_t want);
    void spin();
    void jump(uint32_t address);

  private:
    int fd_ = -1;
};

uint32_t le32(const std::string& bytes);

} // namespace korvin::test
