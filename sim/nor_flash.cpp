#include "nor_flash.h"

#include "chip_cycle.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace korvin::sim {
namespace {

constexpr uint32_t UNLOCK1_ADDRESS = 0x555, UNLOCK2_ADDRESS = 0x2AA;
constexpr uint16_t ERASED = 0xFFFF;

uint16_t erased(uint32_t) {
    return ERASED;
}

// The CFI query: 0x98 at word 0x55 from read mode; the table below, at word addresses
// 0x10 up, is that of the common 16 MB x16 parts of device code 0x227E (AMD command set,
// one region of 128 uniform 128 KB sectors). 0xF0 returns the chip to read mode.
constexpr uint32_t CFI_ADDRESS = 0x55;
constexpr uint8_t CFI_QUERY = 0x98;
constexpr uint32_t CFI_FIRST = 0x10;
constexpr uint8_t CFI_TABLE[] = {
    0x51, 0x52, 0x59,             // 0x10 "QRY"
    0x02, 0x00, 0x40, 0x00,       // 0x13 primary command set 2 (AMD), its table at 0x40
    0x00, 0x00, 0x00, 0x00,       // 0x17 no alternate command set
    0x27, 0x36, 0x00, 0x00,       // 0x1B Vcc 2.7 to 3.6 V, no Vpp
    0x06, 0x06, 0x09, 0x13,       // 0x1F typical word 64 us, buffer 64 us, sector 512 ms, chip
    0x03, 0x05, 0x03, 0x02,       // 0x23 maxima: times 8, 32, 8 and 4 the typical
    0x18, 0x02, 0x00,             // 0x27 2^24 bytes; x8/x16 interface
    0x05, 0x00,                   // 0x2A write buffer 32 bytes
    0x01, 0x7F, 0x00, 0x00, 0x02, // 0x2C one region: 128 sectors of 0x200 * 256 bytes
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // 0x31 none more
    0x00, 0x00, 0x00,                                                       // 0x3D
    0x50, 0x52, 0x49, 0x31, 0x33, // 0x40 "PRI" version 1.3
    0x10, 0x02, 0x01, 0x00, 0x08, // 0x45 unlock, erase suspend, protection
    0x00, 0x00, 0x02, 0xB5, 0xC5, // 0x4A no simultaneous ops, burst; 8-word page; Vpp
    0x05,                         // 0x4F uniform sectors, top boot flag
};

uint16_t cfi_word(uint32_t w) {
    const uint32_t at = (w & 0xFF) - CFI_FIRST;
    return at < sizeof CFI_TABLE ? CFI_TABLE[at] : 0;
}

} // namespace

nor_flash::nor_flash(const memory_faults& lines, const flash_chip_faults& chip, flash_timing timing,
                     const device_clock& clock)
    : lines_(lines), chip_(chip), timing_(timing), clock_(clock), cells_(WORDS, erased) {}

uint32_t nor_flash::word_index(uint32_t offset) const {
    return lines_.address.apply(offset >> 1) & (WORDS - 1);
}

// The word address crosses the wires, then a stuck line acts at the chip: the command
// cycles' addresses go through the same pins as every other access.
uint32_t nor_flash::wired_word_index(uint32_t offset) const {
    return lines_.address.apply(lines_.wires.address.apply(offset >> 1)) & (WORDS - 1);
}

void nor_flash::reset() {
    step_ = step::idle;
    autoselect_ = false;
    cfi_ = false;
    operating_ = false;
    failed_ = false;
    polls_ = 0;
}

void nor_flash::start(bool erase, uint32_t word, uint16_t data) {
    operating_ = true;
    erasing_ = erase;
    programmed_ = data;
    const auto now = clock_.now();
    done_ = timing_.enabled ? now + (erase ? timing_.erase : timing_.program) : now;
    polls_ = 0;
    failed_ = !verifies(erase, word);
}

bool nor_flash::verifies(bool erase, uint32_t word) const {
    if (!lines_.cells.any())
        return true;
    if (!erase) {
        const uint16_t v = cells_.load(word);
        return lines_.cells.load(word, v) == v;
    }
    // `word` is WORDS for a chip erase: every sector.
    const uint32_t first = word == WORDS ? 0 : word & ~(SECTOR_WORDS - 1);
    const uint32_t count = word == WORDS ? WORDS : SECTOR_WORDS;
    for (const cell_fault& f : lines_.cells.list)
        if (f.index - first < count && lines_.cells.load(f.index, ERASED) != ERASED)
            return false;
    return true;
}

// Status while programming or erasing: DQ7 is the complement of the data's bit 7 while a
// program runs and 0 while an erase runs; DQ6 toggles on every read; DQ3 is set once the
// erase has begun; DQ2 toggles too while the erase runs. DQ5 (exceeded timing limits) is set
// once a failed operation's time is up.
uint16_t nor_flash::status() {
    toggle_ = !toggle_;
    uint16_t s = toggle_ ? 0x40 : 0;
    if (failed_ && !busy(clock_.now()))
        s |= 0x20;
    if (erasing_)
        s |= 0x08 | (toggle_ ? 0x04 : 0);
    else
        s |= static_cast<uint16_t>(~programmed_ & 0x80);
    // A program polling the status is waiting for the chip: let the time pass without
    // spinning the host CPU.
    if (++polls_ > 4 && clock_.wait) {
        polls_ = 0;
        clock_.wait(done_);
    }
    return s;
}

uint32_t nor_flash::read(uint32_t offset, unsigned) {
    if (lines_.wires.any() || lines_.pins.any())
        return read_through_wires(offset);
    if (chip_.dead)
        return static_cast<uint16_t>(lines_.data.apply(0xFFFF));
    return static_cast<uint16_t>(lines_.data.apply(read_chip(word_index(offset))));
}

uint32_t nor_flash::read_through_wires(uint32_t offset) {
    if (!chip_.dead && !flash_cycle(lines_.pins, false).drives)
        return static_cast<uint16_t>(lines_.wires.load(0, held_, 0)); // the bus holds its level
    uint16_t v = 0xFFFF; // no chip: the bus floats high
    if (!chip_.dead)
        v = read_chip(wired_word_index(offset));
    return static_cast<uint16_t>(lines_.wires.load(lines_.data.apply(v), held_));
}

inline uint16_t nor_flash::read_chip(uint32_t w) {
    if (operating_ && !failed_ && !busy(clock_.now()))
        operating_ = false;
    uint16_t v;
    if (operating_)
        v = status();
    else if (cfi_)
        v = cfi_word(w);
    else if (autoselect_) {
        switch (w & 0xFF) {
        case 0:
            v = chip_.manufacturer;
            break;
        case 1:
            v = chip_.device;
            break;
        default:
            v = 0; // sector protection and the rest: unprotected, nothing to report
        }
    } else {
        v = cells_.load(w);
        if (lines_.cells.any())
            v = static_cast<uint16_t>(lines_.cells.load(w, v));
    }
    return v;
}

void nor_flash::write(uint32_t offset, unsigned, uint32_t data) {
    const bool wired = lines_.wires.any() || lines_.pins.any();
    // The processor drives all 16 data lines, whether or not a chip takes the store.
    if (wired)
        data = lines_.wires.store(data, 0xFFFF, held_);
    const auto value = static_cast<uint16_t>(data);
    if (chip_.dead || (lines_.pins.any() && !flash_cycle(lines_.pins, true).writes))
        return;
    if (operating_ && busy(clock_.now()))
        return; // the chip ignores commands while it works
    const uint32_t w = wired ? wired_word_index(offset) : word_index(offset);
    const uint32_t a = w & 0x7FF;
    const uint8_t cmd = static_cast<uint8_t>(value);
    // After a failed operation only the reset command returns the chip to read mode.
    if (operating_ && failed_ && cmd != 0xF0)
        return;
    operating_ = failed_ = false;

    if (step_ == step::program) {
        // Programming can only clear bits.
        cells_.cell(w) &= value;
        start(false, w, value);
        step_ = step::idle;
        return;
    }
    if (cmd == 0xF0) {
        step_ = step::idle;
        autoselect_ = false;
        cfi_ = false;
        return;
    }
    if (cfi_)
        return; // only the reset leaves the query
    if (step_ == step::idle && a == CFI_ADDRESS && cmd == CFI_QUERY) {
        cfi_ = true;
        return;
    }
    switch (step_) {
    case step::idle:
        step_ = (a == UNLOCK1_ADDRESS && cmd == 0xAA) ? step::unlocked1 : step::idle;
        break;
    case step::unlocked1:
        step_ = (a == UNLOCK2_ADDRESS && cmd == 0x55) ? step::unlocked2 : step::idle;
        break;
    case step::unlocked2:
        step_ = step::idle;
        if (a != UNLOCK1_ADDRESS)
            break;
        if (cmd == 0x90)
            autoselect_ = true;
        else if (cmd == 0xA0 && !autoselect_)
            step_ = step::program;
        else if (cmd == 0x80 && !autoselect_)
            step_ = step::erase1;
        break;
    case step::erase1:
        step_ = (a == UNLOCK1_ADDRESS && cmd == 0xAA) ? step::erase2 : step::idle;
        break;
    case step::erase2:
        step_ = (a == UNLOCK2_ADDRESS && cmd == 0x55) ? step::erase3 : step::idle;
        break;
    case step::erase3:
        step_ = step::idle;
        if (cmd == 0x30) {
            const uint32_t first = w & ~(SECTOR_WORDS - 1);
            cells_.forget(first, SECTOR_WORDS);
            start(true, w, ERASED);
        } else if (cmd == 0x10 && a == UNLOCK1_ADDRESS) {
            cells_.forget(0, WORDS);
            start(true, WORDS, ERASED);
        }
        break;
    case step::program:
        break;
    }
}

std::vector<uint16_t> nor_flash::cells() const {
    std::vector<uint16_t> all(WORDS);
    for (uint32_t i = 0; i < WORDS; ++i)
        all[i] = cells_.load(i);
    return all;
}

bool nor_flash::load(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT)
            return true; // a new file: the chip starts erased
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (bytes.size() != SIZE) {
        error = path + ": not a FLASH image (" + std::to_string(bytes.size()) +
                " bytes, expected " + std::to_string(SIZE) + ")";
        return false;
    }
    cells_.forget(0, WORDS);
    for (uint32_t i = 0; i < WORDS; ++i) {
        const auto v = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        if (v != ERASED)
            cells_.cell(i) = v;
    }
    return true;
}

bool nor_flash::save(const std::string& path, std::string& error) const {
    std::vector<unsigned char> bytes(SIZE);
    for (uint32_t i = 0; i < WORDS; ++i) {
        const uint16_t v = cells_.load(i);
        bytes[2 * i] = static_cast<unsigned char>(v);
        bytes[2 * i + 1] = static_cast<unsigned char>(v >> 8);
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
