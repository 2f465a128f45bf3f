#include "boot_rom.h"

namespace korvin::sim {
namespace {

// A partial frame followed by this much silence is dropped, so a stray byte cannot put
// every later frame out of step.
constexpr auto frame_gap = std::chrono::milliseconds(100);

uint32_t be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

} // namespace

void BootRom::reset() {
    frame_.clear();
    status_requests_ = 0;
    loaded_ = false;
    remaining_ = 0;
}

void BootRom::put(uint32_t status, Output& out) {
    // A status word goes out least significant byte first.
    for (int i = 0; i < 4; ++i)
        out.reply.push_back(static_cast<uint8_t>(status >> (8 * i)));
}

void BootRom::receive(uint8_t byte, Time now, Output& out,
                      const std::function<void(uint32_t, uint8_t)>& data) {
    if (remaining_ > 0) {
        data(next_++, byte);
        if (--remaining_ == 0)
            loaded_ = true;
        last_byte_ = now;
        return;
    }
    if (!frame_.empty() && now - last_byte_ > frame_gap)
        frame_.clear();
    last_byte_ = now;
    frame_.push_back(byte);
    if (frame_.size() == 16) {
        frame(out);
        frame_.clear();
    }
}

void BootRom::frame(Output& out) {
    const uint8_t* f = frame_.data();
    const uint16_t command = static_cast<uint16_t>(f[0] << 8 | f[1]);
    if (command == get_status) {
        if (loaded_) {
            if (faults_.boot_refuse_start) {
                put(ready, out);
                return;
            }
            put(complete, out);
            out.start = true;
            out.entry = address_;
            loaded_ = false;
            return;
        }
        ++status_requests_;
        if (faults_.boot_never_wakes || status_requests_ < faults_.boot_wake_after)
            return;
        put(faults_.boot_wake_alt ? ready_alt : ready, out);
        return;
    }
    if (command == write_file) {
        const uint32_t address = be32(f + 2);
        const uint32_t count = be32(f + 7);
        // Only an application image into memory the chip has is taken.
        if (f[15] != application_image || !accepts_(address, count))
            return;
        if (faults_.boot_refuse_write) {
            put(refused, out);
            return;
        }
        put(ready, out);
        address_ = next_ = address;
        remaining_ = count;
        loaded_ = count == 0;
        return;
    }
    // Any other command is not one this board's host uses: ignored.
}

} // namespace korvin::sim
