#include "boot_rom_model.h"

namespace korvin::sim {
namespace {

// A partial frame followed by this much silence is dropped, so a stray byte cannot put
// every later frame out of step.
constexpr auto FRAME_GAP = std::chrono::milliseconds(100);

uint32_t be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

} // namespace

void boot_rom::reset() {
    frame_.clear();
    status_requests_ = 0;
    loaded_ = false;
    remaining_ = 0;
}

void boot_rom::put(uint32_t status, output& out) {
    // A status word goes out least significant byte first.
    for (int i = 0; i < 4; ++i)
        out.reply.push_back(static_cast<uint8_t>(status >> (8 * i)));
}

void boot_rom::receive(uint8_t byte, time_point now, output& out,
                       const std::function<void(uint32_t, uint8_t)>& data) {
    if (remaining_ > 0) {
        data(next_++, byte);
        if (--remaining_ == 0)
            loaded_ = true;
        last_byte_ = now;
        return;
    }
    if (!frame_.empty() && now - last_byte_ > FRAME_GAP)
        frame_.clear();
    last_byte_ = now;
    frame_.push_back(byte);
    if (frame_.size() == 16) {
        frame(out);
        frame_.clear();
    }
}

void boot_rom::frame(output& out) {
    const uint8_t* f = frame_.data();
    const uint16_t command = static_cast<uint16_t>(f[0] << 8 | f[1]);
    if (command == GET_STATUS) {
        if (loaded_) {
            if (faults_.refuse_start) {
                put(READY, out);
                return;
            }
            put(COMPLETE, out);
            out.start = true;
            out.entry = address_;
            loaded_ = false;
            return;
        }
        ++status_requests_;
        if (faults_.never_wakes || status_requests_ < faults_.wake_after)
            return;
        put(faults_.wake_alt ? READY_ALT : READY, out);
        return;
    }
    if (command == WRITE_FILE) {
        const uint32_t address = be32(f + 2);
        const uint32_t count = be32(f + 7);
        // Only an application image into memory the chip has is taken.
        if (f[15] != APPLICATION_IMAGE || !accepts_(address, count))
            return;
        if (faults_.refuse_write) {
            put(REFUSED, out);
            return;
        }
        put(READY, out);
        address_ = next_ = address;
        remaining_ = count;
        loaded_ = count == 0;
        return;
    }
    // Any other command is not one this board's host uses: ignored.
}

} // namespace korvin::sim
