#pragma once
// The 16 MB NOR FLASH on chip select 0: 16-bit, 128 uniform 128 KB sectors, AMD command
// set. Commands are decoded from the chip's word address lines A10..A0 and the low data
// byte, as a x16 part does.
#include "bus.h"
#include "clock.h"
#include "faults.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace korvin::sim {

struct FlashTiming {
    bool enabled = false;
    std::chrono::microseconds program{10};
    std::chrono::microseconds erase{500000};
};

class NorFlash {
  public:
    static constexpr uint32_t size = 16u << 20;
    static constexpr uint32_t words = size / 2;
    static constexpr uint32_t sector_words = 0x10000;

    NorFlash(Bus& bus, const Faults& faults, FlashTiming timing);

    // `offset` is the byte offset into the chip; every access is 16-bit.
    uint16_t read(uint32_t offset);
    void write(uint32_t offset, uint16_t value);
    // Board reset: a running operation completes, the chip returns to read mode.
    void reset();

    // The array, as erase and program left it.
    const std::vector<uint16_t>& cells() const { return cells_; }
    bool load(const std::string& path, std::string& error);
    bool save(const std::string& path, std::string& error) const;

  private:
    enum class Step { idle, unlocked1, unlocked2, program, erase1, erase2, erase3 };
    uint32_t word_index(uint32_t offset) const;
    bool busy(Time now) const { return operating_ && now < done_; }
    void start(bool erase, uint32_t word, uint16_t data);
    uint16_t status();

    Bus& bus_;
    const Faults& faults_;
    FlashTiming timing_;
    std::vector<uint16_t> cells_;
    Step step_ = Step::idle;
    bool autoselect_ = false;
    // The last program or erase; busy until done_.
    bool operating_ = false, erasing_ = false;
    uint16_t programmed_ = 0;
    uint32_t operating_sector_ = 0;
    Time done_{};
    bool toggle_ = false;
    unsigned polls_ = 0;
};

} // namespace korvin::sim
