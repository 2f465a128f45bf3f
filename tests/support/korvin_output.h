#pragma once
// The fixed text korvin prints while it wakes the board and downloads the
// boot image, as the tests expect it on standard output.
#include <cstddef>
#include <string>

namespace korvin::test {

inline const std::string WARNING = "*** Warning! The contents of the FLASH will be erased. ***\n";

inline const std::string WAKING =
    "Waiting for the board to wake up...\r" + std::string(35, ' ') + "\r";

// The image length DOWNLOADING was worked out for: 0x9B0 bytes, 19 full
// blocks of 128 and 48 bytes more.
inline constexpr std::size_t DOWNLOADING_IMAGE_SIZE = 2480;

// The download line for that image: 0 percent; after each full block five
// backspaces and the share sent so far in whole percent, truncated; after the
// last byte the line blanked.
inline const std::string DOWNLOADING = "Downloading boot code...(  0%)"
                                       "\b\b\b\b\b  5%)\b\b\b\b\b 10%)\b\b\b\b\b 15%)"
                                       "\b\b\b\b\b 20%)\b\b\b\b\b 25%)\b\b\b\b\b 30%)"
                                       "\b\b\b\b\b 36%)\b\b\b\b\b 41%)\b\b\b\b\b 46%)"
                                       "\b\b\b\b\b 51%)\b\b\b\b\b 56%)\b\b\b\b\b 61%)"
                                       "\b\b\b\b\b 67%)\b\b\b\b\b 72%)\b\b\b\b\b 77%)"
                                       "\b\b\b\b\b 82%)\b\b\b\b\b 87%)\b\b\b\b\b 92%)"
                                       "\b\b\b\b\b 98%)"
                                       "\r                              \r";

} // namespace korvin::test
