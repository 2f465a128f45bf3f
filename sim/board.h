#pragma once
// The simulated board: an ARM926 core (Unicorn) with internal RAM, the boot ROM, UART1, the
// peripheral registers the image writes, the SDRAM controller and SDRAM, and the WEIM with
// the NOR FLASH and the SRAM. Device models run as memory-region callbacks.
#include "boot_rom.h"
#include "bus.h"
#include "faults.h"
#include "flash.h"
#include "line.h"
#include "registers.h"
#include "sdram.h"
#include "sram.h"
#include "uart.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct uc_struct;

namespace korvin::sim {

struct BoardOptions {
    bool line_rate = false;
    FlashTiming flash_timing;
    std::string flash_file; // loaded by the caller, saved by save_flash()
    std::string trace_file;
    Faults faults;
};

class Board {
  public:
    static constexpr uint32_t iram_base = 0xFFFF4C00;
    static constexpr uint64_t iram_end = 0x100000000; // internal RAM reaches the top

    // `fd` is the pseudo-terminal master, `watch_fd` reports opens and closes of its slave
    // (or is -1: a hang-up then counts as the close); `stop` is raised to end run().
    Board(const BoardOptions& options, int fd, int watch_fd, const std::atomic<int>& stop);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    bool init(std::string& error);
    // Serves the line until `stop` is raised (returns 0) or the program makes an access the
    // board does not have (returns 3, the message printed on stderr).
    int run();

    NorFlash& flash() { return flash_; }
    uint64_t instructions() const { return instructions_; }
    double emulation_seconds() const { return emulation_seconds_; }
    const SerialLine& line() const { return line_; }

  private:
    enum class Kind { aipi1, aipi2, crm, uart, esdctl, weim, sdram, flash, sram };
    struct Region {
        Board* board;
        Kind kind;
        uint32_t base, size;
    };

    static uint64_t mmio_read(uc_struct* uc, uint64_t offset, unsigned bytes, void* user);
    static void mmio_write(uc_struct* uc, uint64_t offset, unsigned bytes, uint64_t value,
                           void* user);
    uint32_t device_read(const Region& r, uint32_t offset, unsigned bytes);
    void device_write(const Region& r, uint32_t offset, unsigned bytes, uint32_t value);
    bool chip_select_open(int cs, const char* device);
    void bad_access(uint32_t address, unsigned bytes, bool write, const std::string& what);

    bool wait(Time deadline);
    void serve_boot_rom();
    void start_cpu(uint32_t entry);
    void reset();
    void watchdog();
    void count_openers();
    bool closed_since_seen();

    const BoardOptions& options_;
    int fd_, watch_fd_;
    int wake_[2] = {-1, -1}; // the watchdog wakes the line's waits through it
    const std::atomic<int>& stop_;
    Bus bus_;
    SerialLine line_;
    Uart1 uart_;
    BootRom rom_;
    RecordingRegisters aipi1_, aipi2_, crm_, weim_;
    Sdram sdram_;
    NorFlash flash_;
    Sram sram_;
    std::vector<uint8_t> iram_;
    std::vector<std::unique_ptr<Region>> regions_;
    uc_struct* uc_ = nullptr;

    bool cpu_running_ = false;
    uint32_t entry_ = 0;
    bool line_down_ = false;
    std::atomic<bool> emulating_{false}, reset_pending_{false}, quit_{false};
    std::atomic<int> openers_{0};
    std::atomic<unsigned> closes_{0}; // times the last opener went away
    unsigned seen_closes_ = 0;
    std::string fault_;
    bool cs_open_[2] = {false, false}; // as the WEIM's CSxL registers say
    bool noted_closed_cs_[2] = {false, false};
    uint64_t instructions_ = 0;
    double emulation_seconds_ = 0, waited_seconds_ = 0;
};

} // namespace korvin::sim
