#include "board.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>

namespace korvin::sim {
namespace {

constexpr uint32_t AIPI1_BASE = 0x10000000, AIPI2_BASE = 0x10020000, CRM_BASE = 0x10027000,
                   UART1_BASE = 0x1000A000, ESDCTL_BASE = 0xD8001000, WEIM_BASE = 0xD8002000,
                   SDRAM_BASE = 0xA0000000, FLASH_BASE = 0xC0000000, SRAM_BASE = 0xC8000000;
// The SRAM's chip-select window as mapped here; the chip repeats through it.
constexpr uint32_t SRAM_WINDOW = 16u << 20;
constexpr uint32_t PAGE = 0x1000;

std::map<uint32_t, recording_registers::reg> psr_registers() {
    return {{0x00, {"PSR0", 0}}, {0x04, {"PSR1", 0}}};
}

} // namespace

bool in_internal_ram(uint32_t address, uint32_t count) {
    return address >= IRAM_BASE && uint64_t{address} + count <= IRAM_END;
}

board::board(const board_options& options, const std::atomic<int>& stop)
    : options_(options), stop_(stop), line_(options.line_rate),
      rom_(options.faults.boot, in_internal_ram), uart_(line_, clock_),
      aipi1_("AIPI1", psr_registers()), aipi2_("AIPI2", psr_registers()),
      crm_("clock module", {{0x00, {"CSCR", 0}}}), sdram_(options.faults.sdram), esdctl_(sdram_),
      flash_(options.faults.flash, options.faults.flash_chip, options.flash_timing, clock_),
      sram_(options.faults.sram), weim_({flash_, "FLASH", false}, {sram_, "SRAM", true}),
      map_(trace_, [this](uint32_t address, unsigned width, bool write,
                          const std::string& why) { bad_access(address, width, write, why); }),
      iram_(IRAM_END - IRAM_BASE) {
    // The address map. The UART's polling stays out of the bus trace.
    const struct {
        uint32_t base, size;
        device& target;
        bool traced;
    } address_map[] = {
        {AIPI1_BASE, PAGE, aipi1_, true},
        {AIPI2_BASE, PAGE, aipi2_, true},
        {CRM_BASE, PAGE, crm_, true},
        {UART1_BASE, PAGE, uart_, false},
        {ESDCTL_BASE, PAGE, esdctl_, true},
        {WEIM_BASE, PAGE, weim_, true},
        {SDRAM_BASE, sdram::SIZE, esdctl_.window(), true},
        {FLASH_BASE, nor_flash::SIZE, weim_.window(0), true},
        {SRAM_BASE, SRAM_WINDOW, weim_.window(1), true},
    };
    for (const auto& w : address_map)
        map_.add(w.base, w.size, w.target, w.traced);
    devices_ = {&uart_, &aipi1_, &aipi2_, &crm_, &weim_, &esdctl_, &flash_};
    // Internal RAM holds whatever it held: never zero.
    uint32_t x = 0x6B43A9B5;
    for (auto& b : iram_) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x | 1);
    }
    clock_.wait = [this](time_point deadline) { return wait(deadline); };
}

board::~board() {
    if (uc_)
        uc_close(uc_);
}

bool board::init(std::string& error) {
    auto fail = [&](const char* step, uc_err e) {
        error = std::string(step) + ": " + uc_strerror(e);
        return false;
    };
    if (!options_.trace_file.empty() && !trace_.open(options_.trace_file)) {
        error = "cannot write " + options_.trace_file;
        return false;
    }
    uc_err e = uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc_);
    if (e != UC_ERR_OK)
        return fail("uc_open", e);
    if ((e = uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_926)) != UC_ERR_OK)
        return fail("ARM926 model", e);
    if ((e = uc_mem_map_ptr(uc_, IRAM_BASE, iram_.size(), UC_PROT_ALL, iram_.data())) != UC_ERR_OK)
        return fail("internal RAM", e);
    for (const region& r : map_.regions())
        windows_.push_back({&map_, &r});
    for (auto& w : windows_)
        if ((e = uc_mmio_map(uc_, w.window->base, w.window->size, mmio_read, &w, mmio_write, &w)) !=
            UC_ERR_OK)
            return fail("device map", e);

    uc_hook hook;
    // Every instruction in internal RAM. With a code hook Unicorn (2.0) writes the PC before
    // each instruction, and only then: without it the PC a device callback reads is the start
    // of some earlier block, and a stop in the middle of a block leaves the PC at the block's
    // start, so that going on would run its first instructions twice. The hook is not what
    // makes a tight loop slow: a store to internal RAM costs far more (Unicorn takes its
    // self-modifying-code path for every store to RAM).
    auto instruction = +[](uc_engine* uc, uint64_t, uint32_t, void* user) {
        static_cast<board*>(user)->on_instruction(uc);
    };
    if ((e = uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(instruction), this,
                         IRAM_BASE, IRAM_END - 1)) != UC_ERR_OK)
        return fail("code hook", e);
    auto unmapped =
        +[](uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t, void* user) -> bool {
        const bool fetch = type == UC_MEM_FETCH_UNMAPPED;
        static_cast<board*>(user)->bad_access(
            static_cast<uint32_t>(address), static_cast<unsigned>(size),
            type == UC_MEM_WRITE_UNMAPPED,
            fetch ? "instruction fetch outside internal RAM" : memory_map::NOTHING_THERE);
        return false;
    };
    if ((e = uc_hook_add(uc_, &hook, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(unmapped), this,
                         1, 0)) != UC_ERR_OK)
        return fail("unmapped hook", e);
    auto interrupt = +[](uc_engine* uc, uint32_t number, void* user) {
        // The image installs no exception vectors: any exception is the end of it.
        static const char* const EXCEPTION_NAMES[] = {"reset",
                                                      "undefined instruction",
                                                      "software interrupt",
                                                      "prefetch abort",
                                                      "data abort",
                                                      "IRQ",
                                                      "FIQ",
                                                      "breakpoint"};
        uint32_t pc = 0;
        uc_reg_read(uc, UC_ARM_REG_PC, &pc);
        if (number == 2)
            pc -= 4; // the core has stepped past the SWI
        char text[128];
        std::snprintf(text, sizeof text, "korvin-sim: %s (exception %u) at pc 0x%08x",
                      number < 8 ? EXCEPTION_NAMES[number] : "exception", number, pc);
        static_cast<board*>(user)->set_fault(text);
    };
    if ((e = uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(interrupt), this, 1,
                         0)) != UC_ERR_OK)
        return fail("interrupt hook", e);
    return true;
}

// The first fault ends the run; the devices see nothing after it.
void board::set_fault(const std::string& text) {
    if (fault_.empty())
        fault_ = text;
    map_.halt();
    if (uc_)
        uc_emu_stop(uc_);
}

void board::bad_access(uint32_t address, unsigned bytes, bool write, const std::string& what) {
    if (!fault_.empty())
        return;
    uint32_t pc = 0;
    if (uc_)
        uc_reg_read(uc_, UC_ARM_REG_PC, &pc);
    char text[256];
    std::snprintf(text, sizeof text, "korvin-sim: %u-bit %s of 0x%08x at pc 0x%08x: %s", bytes * 8,
                  write ? "write" : "read", address, pc, what.c_str());
    set_fault(text);
}

uint64_t board::mmio_read(uc_struct*, uint64_t offset, unsigned bytes, void* user) {
    const auto& w = *static_cast<const mmio_window*>(user);
    return w.map->read(*w.window, static_cast<uint32_t>(offset), bytes);
}

void board::mmio_write(uc_struct*, uint64_t offset, unsigned bytes, uint64_t value, void* user) {
    const auto& w = *static_cast<const mmio_window*>(user);
    w.map->write(*w.window, static_cast<uint32_t>(offset), bytes, static_cast<uint32_t>(value));
}

bool board::wait(time_point deadline) {
    if (!host_)
        return true; // no host to serve while the program waits: it goes on at once
    const time_point begin = sim_clock::now();
    bool go_on = !stop_ && !reset_pending_;
    if (go_on) {
        const board_host::waited waited = host_->wait(line_, deadline);
        reset_pending_ = waited == board_host::waited::closed;
        go_on = waited == board_host::waited::go_on && !stop_;
    }
    if (!go_on && uc_)
        uc_emu_stop(uc_);
    waited_seconds_ += std::chrono::duration<double>(sim_clock::now() - begin).count();
    return go_on;
}

// The stop another thread asks for is taken here, before the instruction runs: the CPU
// stops between two instructions, the one not run is not counted, and going on from the PC
// runs it once.
void board::on_instruction(uc_struct* uc) {
    if (halt_requested_.load(std::memory_order_relaxed)) {
        uc_emu_stop(uc);
        return;
    }
    ++instructions_;
}

void board::start_cpu(uint32_t entry) {
    // The downloaded bytes replace whatever code was translated from internal RAM before.
    uc_ctl_remove_cache(uc_, IRAM_BASE, IRAM_END - 1);
    // What the boot ROM leaves in the registers is of no use to the image.
    for (int i = 0; i <= 12; ++i) {
        uint32_t junk = 0xE1A00000u ^ (0x01010101u * static_cast<uint32_t>(i + 1));
        uc_reg_write(uc_, UC_ARM_REG_R0 + i, &junk);
    }
    uint32_t sp = 0xFFFFFE00, lr = 0x00000B44, cpsr = 0x000001D3; // SVC, IRQ and FIQ masked
    uc_reg_write(uc_, UC_ARM_REG_SP, &sp);
    uc_reg_write(uc_, UC_ARM_REG_LR, &lr);
    uc_reg_write(uc_, UC_ARM_REG_CPSR, &cpsr);
    entry_ = entry;
    cpu_running_ = true;
}

bool board::start_image(const std::vector<uint8_t>& image, uint32_t address, std::string& error) {
    if (!uc_) {
        error = "the core is not set up";
        return false;
    }
    if (image.empty() || image.size() > iram_.size() ||
        !in_internal_ram(address, static_cast<uint32_t>(image.size()))) {
        error = "the image does not fit in internal RAM";
        return false;
    }
    std::copy(image.begin(), image.end(), iram_.begin() + (address - IRAM_BASE));
    start_cpu(address);
    return true;
}

void board::reset() {
    cpu_running_ = false;
    reset_pending_ = false;
    rom_.reset();
    host_->reset(line_);
    for (device* d : devices_)
        d->reset();
    trace_.flush();
}

void board::serve_boot_rom() {
    // A close that came before the bytes waiting here is served first: they are the next
    // opener's, for a fresh boot ROM.
    if (host_->closed()) {
        reset();
        line_down_ = true;
        return;
    }
    const time_point now = sim_clock::now();
    boot_rom::output out;
    while (line_.rx_available(now) && !out.start) {
        rom_.receive(line_.rx_pop(), now, out,
                     [this](uint32_t address, uint8_t byte) { iram_[address - IRAM_BASE] = byte; });
        for (uint8_t b : out.reply)
            line_.tx_push(b, now);
        out.reply.clear();
    }
    if (out.start) {
        start_cpu(out.entry);
        return;
    }
    time_point deadline = now + std::chrono::milliseconds(100);
    if (auto next = line_.rx_next(); next && *next < deadline)
        deadline = *next;
    if (host_->wait(line_, deadline) == board_host::waited::closed) {
        reset();
        line_down_ = true;
    }
}

int board::run(board_host& host) {
    host_ = &host;
    // The host's threads only ask the CPU to stop (see on_instruction); whether the board
    // resets is decided here.
    host.begin(
        line_, [this] { return emulating_.load(); }, [this] { halt_requested_ = true; });
    int status = 0;
    while (!stop_) {
        // Nobody has the line open: wait for an opener.
        if (line_down_) {
            if (!host.wait_for_opener())
                continue;
            line_down_ = false;
        }
        if (!cpu_running_) {
            serve_boot_rom();
            continue;
        }
        // A request that came before is asked again while its reason stands.
        halt_requested_ = false;
        emulating_ = true;
        const time_point begin = sim_clock::now();
        const double waited_before = waited_seconds_;
        const uc_err e = uc_emu_start(uc_, entry_, 1, 0, 0);
        emulating_ = false;
        emulation_seconds_ += std::chrono::duration<double>(sim_clock::now() - begin).count() -
                              (waited_seconds_ - waited_before);
        if (fault_.empty() && e != UC_ERR_OK) {
            uint32_t pc = 0;
            uc_reg_read(uc_, UC_ARM_REG_PC, &pc);
            char text[160];
            std::snprintf(text, sizeof text, "korvin-sim: the program stopped at pc 0x%08x: %s", pc,
                          uc_strerror(e));
            set_fault(text);
        }
        if (!fault_.empty()) {
            cpu_running_ = false;
            host.fault(line_, fault_);
            status = 3;
            break;
        }
        if (reset_pending_ || host.closed()) {
            reset();
            line_down_ = true;
            continue;
        }
        // Stopped between instructions: the host's turn, then on from the PC.
        uc_reg_read(uc_, UC_ARM_REG_PC, &entry_);
        if (!host.turn(line_))
            break;
    }
    host.end(line_);
    host_ = nullptr;
    trace_.flush();
    return status;
}

} // namespace korvin::sim
