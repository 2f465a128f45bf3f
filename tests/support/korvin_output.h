#pragma once
// The fixed text korvin prints while it wakes the board and downloads the
// boot image, as the tests expect it on standard output.
#include <cstddef>
#include <cstdio>
#include <string>

namespace korvin::test {

inline const std::string WAKING =
    "Waiting for the board to wake up...\r" + std::string(35, ' ') + "\r";

// The percentage is updated after every 128 bytes, then the line is blanked.
inline std::string downloading(std::size_t image_size) {
    std::string s = "Downloading boot code...(  0%)";
    for (std::size_t i = 127; i < image_size; i += 128) {
        char update[16];
        std::snprintf(update, sizeof update, "\b\b\b\b\b%3u%%)",
                      static_cast<unsigned>((i + 1) * 100 / image_size));
        s += update;
    }
    return s + "\r" + std::string(30, ' ') + "\r";
}

} // namespace korvin::test
