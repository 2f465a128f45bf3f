#pragma once
// The host's end of a board's serial line, for the tests that play the host: the boot ROM's
// command frames and status words, the wake-up as korvin does it (status requests until the
// boot ROM says it is ready), the download and start of an image, then the raw bytes of
// whatever the image speaks.
#include <chrono>
#include <cstdint>
#include <string>

namespace korvin::test {

using namespace std::chrono_literals;

// The boot ROM's serial protocol, as the chip's documentation gives it.
constexpr uint16_t GET_STATUS = 0x0505, WRITE_FILE = 0x0404;
constexpr uint8_t APPLICATION_IMAGE = 0xAA;
constexpr uint32_t STATUS_READY = 0x56787856, STATUS_READY_ALT = 0xF0F0F0F0,
                   STATUS_COMPLETE = 0x88888888, STATUS_REFUSED = 0x12343412;
// Where the tests' images are loaded and started: the start of internal RAM.
constexpr uint32_t LOAD_ADDRESS = 0xFFFF4C00;

// A 16-byte command frame; address and count big-endian.
std::string boot_rom_frame(uint16_t command, uint32_t address, uint32_t count, uint8_t type);
std::string status_request();
// A status word or a field of the tests' programs: least significant byte first.
uint32_t le32(const std::string& bytes);

class boot_rom_client {
  public:
    // Opens `port` and sets it raw; throws when it cannot.
    explicit boot_rom_client(const std::string& port);
    ~boot_rom_client();
    boot_rom_client(const boot_rom_client&) = delete;
    boot_rom_client& operator=(const boot_rom_client&) = delete;

    void send(const std::string& bytes);
    // Up to `n` bytes; stops early after `gap` without a byte (the first byte may take `first`).
    std::string receive(size_t n, std::chrono::milliseconds first = 1000ms,
                        std::chrono::milliseconds gap = 100ms);
    // One byte; throws on time-out or when the line goes down.
    char read_byte(std::chrono::milliseconds timeout);

    // Status requests, each answer read until the line falls silent, until the boot ROM says
    // it is ready (either ready word), at most `attempts` of them: a request lost in a line
    // reset or a partial frame does not end the wake-up. The last answer.
    uint32_t wake(int attempts = 20);
    // The write-file of `image` to LOAD_ADDRESS, the image and the status request that starts
    // it; false when an answer is not the expected one.
    bool download(const std::string& image);
    // wake() then download(); false, with error() saying which step failed, when one does.
    bool boot(const std::string& image);
    const std::string& error() const { return error_; }

    void close();

  private:
    uint32_t read_status(bool until_silence);
    int fd_ = -1;
    std::string error_;
};

} // namespace korvin::test
