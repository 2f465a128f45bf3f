#pragma once
// The host side of the i.MX27 boot ROM's UART serial download protocol.
#include <array>
#include <cstddef>
#include <cstdint>

namespace korvin {

constexpr std::uint16_t SDP_GET_STATUS = 0x0505;
constexpr std::uint16_t SDP_WRITE_FILE = 0x0404;
constexpr std::uint32_t BOOT_LOAD_ADDRESS = 0xFFFF4C00;
constexpr std::uint8_t SDP_FILE_TYPE_IMAGE = 0xAA;

constexpr std::uint32_t STATUS_READY = 0x56787856;
constexpr std::uint32_t STATUS_READY_ALT = 0xF0F0F0F0;
constexpr std::uint32_t STATUS_COMPLETE = 0x88888888;

using sdp_frame = std::array<std::uint8_t, 16>;

// The 16-byte command frame, multi-byte fields big-endian.
sdp_frame sdp_build_frame(std::uint16_t command, std::uint32_t address, std::uint8_t format,
                          std::uint32_t data_count, std::uint32_t data, std::uint8_t file_type);

// Sends the frame, one serial write per byte.
void sdp_send_command(std::uint16_t command, std::uint32_t address, std::uint8_t format,
                      std::uint32_t data_count, std::uint32_t data, std::uint8_t file_type);

// The last four bytes received, the earliest least significant; zero bytes
// stand in for missing ones. With until_silence it reads until a 10 ms gap,
// otherwise at most four bytes. The first byte may take first_timeout_ms.
std::uint32_t sdp_read_status(bool until_silence, std::uint32_t first_timeout_ms);

// Wakes the boot ROM, downloads the image to BOOT_LOAD_ADDRESS with a progress
// display and confirms its start. 1 when it runs; 0 after a failure (its
// message printed, unless the link itself failed: see serial_failed).
struct download_settings {
    int wait_seconds = 0; // > 0 bounds the wake-up; 0 waits as long as it takes
    bool explain = false; // say what the line did when it goes wrong (--diagnose)
    // Called once the boot ROM has answered, before the download; false ends
    // the download (the function has said why).
    bool (*after_wake)() = nullptr;
};
// Whatever the settings, giving up on a bounded wake-up says what the line did.
// With the event stream on, each change of what the line does, the wake and
// each percentage go out as events. A stop request ends it (returning 0, no
// message).
int boot_rom_download(const unsigned char* image, std::size_t length,
                      const download_settings& settings = {});

// After a run, for a station: asks the line for a boot ROM as the wake-up
// does, with an event for each change of what the line does ("monitor" while
// the tested board is still on), until the board has gone: the line stays
// silent, a boot ROM answers when `ready_ends` (the next board is on
// already: the tested one runs its monitor), the link fails or a stop is
// requested. Status requests are no command a monitor takes. Without
// ready_ends (the board's download failed, so its boot ROM may still be
// answering) a ready answer ends nothing: only a pull (silence) ends the watch.
void boot_rom_watch_until_swapped(bool ready_ends);

} // namespace korvin
