#include "flash.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace korvin::sim {
namespace {

constexpr uint32_t unlock1_address = 0x555, unlock2_address = 0x2AA;
constexpr uint16_t erased = 0xFFFF;

} // namespace

NorFlash::NorFlash(Bus& bus, const Faults& faults, FlashTiming timing)
    : bus_(bus), faults_(faults), timing_(timing), cells_(words, erased) {}

uint32_t NorFlash::word_index(uint32_t offset) const {
    return faults_.flash_address.apply(offset >> 1) & (words - 1);
}

void NorFlash::reset() {
    step_ = Step::idle;
    autoselect_ = false;
    operating_ = false;
    polls_ = 0;
}

void NorFlash::start(bool erase, uint32_t word, uint16_t data) {
    operating_ = true;
    erasing_ = erase;
    programmed_ = data;
    operating_sector_ = word / sector_words;
    const auto now = Clock::now();
    done_ = timing_.enabled ? now + (erase ? timing_.erase : timing_.program) : now;
    polls_ = 0;
}

// Status while programming or erasing: DQ7 is the complement of the data's bit 7 while a
// program runs and 0 while an erase runs; DQ6 toggles on every read; DQ3 is set once the
// erase has begun; DQ2 toggles too while the erase runs.
uint16_t NorFlash::status() {
    toggle_ = !toggle_;
    uint16_t s = toggle_ ? 0x40 : 0;
    if (erasing_)
        s |= 0x08 | (toggle_ ? 0x04 : 0);
    else
        s |= static_cast<uint16_t>(~programmed_ & 0x80);
    // A program polling the status is waiting for the chip: let the time pass without
    // spinning the host CPU.
    if (++polls_ > 4 && bus_.wait) {
        polls_ = 0;
        bus_.wait(done_);
    }
    return s;
}

uint16_t NorFlash::read(uint32_t offset) {
    if (faults_.flash_dead)
        return static_cast<uint16_t>(faults_.flash_data.apply(0xFFFF));
    const uint32_t w = word_index(offset);
    if (operating_ && !busy(Clock::now()))
        operating_ = false;
    uint16_t v;
    if (operating_)
        v = status();
    else if (autoselect_) {
        switch (w & 0xFF) {
        case 0:
            v = faults_.flash_manufacturer;
            break;
        case 1:
            v = faults_.flash_device;
            break;
        default:
            v = 0; // sector protection and the rest: unprotected, nothing to report
        }
    } else
        v = cells_[w];
    return static_cast<uint16_t>(faults_.flash_data.apply(v));
}

void NorFlash::write(uint32_t offset, uint16_t value) {
    if (faults_.flash_dead)
        return;
    if (operating_ && busy(Clock::now()))
        return; // the chip ignores commands while it works
    operating_ = false;
    const uint32_t w = word_index(offset);
    const uint32_t a = w & 0x7FF;
    const uint8_t cmd = static_cast<uint8_t>(value);

    if (step_ == Step::program) {
        // Programming can only clear bits.
        cells_[w] &= value;
        start(false, w, value);
        step_ = Step::idle;
        return;
    }
    if (cmd == 0xF0) {
        step_ = Step::idle;
        autoselect_ = false;
        return;
    }
    switch (step_) {
    case Step::idle:
        step_ = (a == unlock1_address && cmd == 0xAA) ? Step::unlocked1 : Step::idle;
        break;
    case Step::unlocked1:
        step_ = (a == unlock2_address && cmd == 0x55) ? Step::unlocked2 : Step::idle;
        break;
    case Step::unlocked2:
        step_ = Step::idle;
        if (a != unlock1_address)
            break;
        if (cmd == 0x90)
            autoselect_ = true;
        else if (cmd == 0xA0 && !autoselect_)
            step_ = Step::program;
        else if (cmd == 0x80 && !autoselect_)
            step_ = Step::erase1;
        break;
    case Step::erase1:
        step_ = (a == unlock1_address && cmd == 0xAA) ? Step::erase2 : Step::idle;
        break;
    case Step::erase2:
        step_ = (a == unlock2_address && cmd == 0x55) ? Step::erase3 : Step::idle;
        break;
    case Step::erase3:
        step_ = Step::idle;
        if (cmd == 0x30) {
            const uint32_t first = w & ~(sector_words - 1);
            std::fill(cells_.begin() + first, cells_.begin() + first + sector_words, erased);
            start(true, w, erased);
        } else if (cmd == 0x10 && a == unlock1_address) {
            std::fill(cells_.begin(), cells_.end(), erased);
            start(true, w, erased);
        }
        break;
    case Step::program:
        break;
    }
}

bool NorFlash::load(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT)
            return true; // a new file: the chip starts erased
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (bytes.size() != size) {
        error = path + ": not a FLASH image (" + std::to_string(bytes.size()) +
                " bytes, expected " + std::to_string(size) + ")";
        return false;
    }
    for (uint32_t i = 0; i < words; ++i)
        cells_[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return true;
}

bool NorFlash::save(const std::string& path, std::string& error) const {
    std::vector<unsigned char> bytes(size);
    for (uint32_t i = 0; i < words; ++i) {
        bytes[2 * i] = static_cast<unsigned char>(cells_[i]);
        bytes[2 * i + 1] = static_cast<unsigned char>(cells_[i] >> 8);
    }
    // Written aside and renamed, so an interrupted save never leaves half an image.
    const std::string tmp = path + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        error = tmp + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !written || std::rename(tmp.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace korvin::sim
