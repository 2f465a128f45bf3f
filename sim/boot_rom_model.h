#pragma once
// The chip's boot ROM in serial boot mode, as far as the host relies on it: 16-byte command
// frames answered with 4-byte status words, one write-file download into internal RAM, and
// the start of the downloaded image on the status request after it.
#include "clock.h"
#include "faults.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace korvin::sim {

class boot_rom {
  public:
    static constexpr uint16_t GET_STATUS = 0x0505, WRITE_FILE = 0x0404;
    static constexpr uint8_t APPLICATION_IMAGE = 0xAA;
    static constexpr uint32_t READY = 0x56787856, READY_ALT = 0xF0F0F0F0, COMPLETE = 0x88888888,
                              REFUSED = 0x12343412;

    // `accepts` says whether memory for a download of `count` bytes at `address` exists.
    using store = std::function<bool(uint32_t address, uint32_t count)>;
    boot_rom(const boot_faults& faults, store accepts)
        : faults_(faults), accepts_(std::move(accepts)) {}

    struct output {
        std::vector<uint8_t> reply;
        bool start = false;
        uint32_t entry = 0;
    };
    // One byte from the line. A data byte of the download is handed to `data`.
    void receive(uint8_t byte, time_point now, output& out,
                 const std::function<void(uint32_t address, uint8_t byte)>& data);
    void reset();

  private:
    void frame(output& out);
    static void put(uint32_t status, output& out);

    const boot_faults& faults_;
    store accepts_;
    std::vector<uint8_t> frame_;
    time_point last_byte_{};
    unsigned status_requests_ = 0;
    bool loaded_ = false; // an image is in memory and waits for its start
    uint32_t address_ = 0, next_ = 0, remaining_ = 0;
};

} // namespace korvin::sim
