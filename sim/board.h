#pragma once
// The simulated board: an ARM926 core (Unicorn) with internal RAM, the boot ROM, UART1, the
// peripheral registers the image writes, the SDRAM controller and SDRAM, and the WEIM with
// the NOR FLASH and the SRAM. The device models sit in a memory map the core reaches through
// memory-region callbacks; this file wires them and runs the core for a host at the far end
// of the serial line.
#include "board_host.h"
#include "boot_rom_model.h"
#include "device.h"
#include "faults.h"
#include "memory_map.h"
#include "nor_flash.h"
#include "registers.h"
#include "sdram.h"
#include "sdram_controller.h"
#include "serial_line.h"
#include "sram.h"
#include "trace.h"
#include "uart1.h"
#include "weim.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct uc_struct;

namespace korvin::sim {

struct board_options {
    bool line_rate = false;
    sim::flash_timing flash_timing;
    std::string flash_file; // loaded and saved by the caller, through flash()
    std::string trace_file;
    fault_set faults;
};

// Internal RAM reaches the top of the address space.
constexpr uint32_t IRAM_BASE = 0xFFFF4C00;
constexpr uint64_t IRAM_END = 0x100000000;
// Whether a download of `count` bytes at `address` fits in internal RAM.
bool in_internal_ram(uint32_t address, uint32_t count);

class board {
  public:
    // `stop` is raised (by a signal, by a host's deadline) to end run().
    board(const board_options& options, const std::atomic<int>& stop);
    ~board();
    board(const board&) = delete;
    board& operator=(const board&) = delete;

    // Sets up the core; the devices are ready from the constructor on.
    bool init(std::string& error);
    // Serves `host` on the line: the boot ROM, then the program it starts. Returns 0 when
    // `stop` is raised or the host ends the run, 3 when the program makes an access the board
    // does not have or takes an exception (the host is told why, and fault() says it).
    int run(board_host& host);

    // Puts `image` into internal RAM at `address` and readies the core to start there, as the
    // boot ROM does after a download; false with `error` set when the image does not fit.
    bool start_image(const std::vector<uint8_t>& image, uint32_t address, std::string& error);

    // The devices as the core sees them, by address.
    memory_map& bus() { return map_; }
    // What ended the run (a bad access or an exception), or empty.
    const std::string& fault() const { return fault_; }
    nor_flash& flash() { return flash_; }
    uint64_t instructions() const { return instructions_; }
    double emulation_seconds() const { return emulation_seconds_; }
    const serial_line& line() const { return line_; }

  private:
    static uint64_t mmio_read(uc_struct* uc, uint64_t offset, unsigned bytes, void* user);
    static void mmio_write(uc_struct* uc, uint64_t offset, unsigned bytes, uint64_t value,
                           void* user);
    void bad_access(uint32_t address, unsigned bytes, bool write, const std::string& what);
    void set_fault(const std::string& text);

    bool wait(time_point deadline);
    void serve_boot_rom();
    void start_cpu(uint32_t entry);
    void reset();
    void on_instruction(uc_struct* uc);

    const board_options& options_;
    const std::atomic<int>& stop_;
    board_host* host_ = nullptr; // while run() serves one
    device_clock clock_;
    bus_trace trace_;
    serial_line line_;
    boot_rom rom_;
    // The devices; the memory map refers to them.
    uart1 uart_;
    recording_registers aipi1_, aipi2_, crm_;
    sdram sdram_;
    sdram_controller esdctl_;
    nor_flash flash_;
    sram sram_;
    weim weim_;
    std::vector<device*> devices_; // those with registers, in the order a reset takes them
    memory_map map_;
    std::vector<uint8_t> iram_;
    uc_struct* uc_ = nullptr;
    // What the core's memory-region callbacks are given: a window of the map.
    struct mmio_window {
        memory_map* map;
        const region* window;
    };
    std::vector<mmio_window> windows_;

    bool cpu_running_ = false;
    uint32_t entry_ = 0;
    bool line_down_ = true;                   // nobody has the line open
    std::atomic<bool> emulating_{false};      // read by the host's threads
    std::atomic<bool> halt_requested_{false}; // by the host's threads, taken at an instruction
    bool reset_pending_ = false;
    std::string fault_;
    uint64_t instructions_ = 0;
    double emulation_seconds_ = 0, waited_seconds_ = 0;
};

} // namespace korvin::sim
