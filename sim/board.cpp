#include "board.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unicorn/unicorn.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <thread>

namespace korvin::sim {
namespace {

constexpr uint32_t aipi1_base = 0x10000000, aipi2_base = 0x10020000, crm_base = 0x10027000,
                   uart1_base = 0x1000A000, esdctl_base = 0xD8001000, weim_base = 0xD8002000,
                   sdram_base = 0xA0000000, flash_base = 0xC0000000, sram_base = 0xC8000000;
// The SRAM's chip-select window as mapped here; the chip repeats through it.
constexpr uint32_t sram_window = 16u << 20;
constexpr uint32_t page = 0x1000;

// WEIM chip-select lower control: CSEN (bit 0) and the port size DSZ (bits 10..8), where 5
// is a 16-bit port on D15..D0.
bool open_16bit(uint32_t csl) {
    return (csl & 1) && ((csl >> 8) & 7) == 5;
}

std::map<uint32_t, RecordingRegisters::Reg> psr_registers() {
    return {{0x00, {"PSR0", 0}}, {0x04, {"PSR1", 0}}};
}

std::map<uint32_t, RecordingRegisters::Reg> weim_registers() {
    return {{0x00, {"CS0U", 0}}, {0x04, {"CS0L", 0}}, {0x08, {"CS0A", 0}},
            {0x10, {"CS1U", 0}}, {0x14, {"CS1L", 0}}, {0x18, {"CS1A", 0}}};
}

void count_instruction(uc_engine*, uint64_t, uint32_t, void* user) {
    ++*static_cast<uint64_t*>(user);
}

} // namespace

Board::Board(const BoardOptions& options, int fd, int watch_fd, const std::atomic<int>& stop)
    : options_(options), fd_(fd), watch_fd_(watch_fd), stop_(stop), line_(fd, options.line_rate),
      uart_(bus_, line_),
      rom_(options.faults,
           [](uint32_t address, uint32_t count) {
               return address >= iram_base && uint64_t{address} + count <= iram_end;
           }),
      aipi1_(bus_, "AIPI1", psr_registers()), aipi2_(bus_, "AIPI2", psr_registers()),
      crm_(bus_, "clock module", {{0x00, {"CSCR", 0}}}), weim_(bus_, "WEIM", weim_registers()),
      sdram_(bus_, options.faults), flash_(bus_, options.faults, options.flash_timing),
      sram_(options.faults), iram_(iram_end - iram_base) {
    // Internal RAM holds whatever it held: never zero.
    uint32_t x = 0x6B43A9B5;
    for (auto& b : iram_) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x | 1);
    }
    bus_.wait = [this](Time deadline) { return wait(deadline); };
}

Board::~Board() {
    if (uc_)
        uc_close(uc_);
    for (int fd : wake_)
        if (fd >= 0)
            close(fd);
}

bool Board::init(std::string& error) {
    auto fail = [&](const char* step, uc_err e) {
        error = std::string(step) + ": " + uc_strerror(e);
        return false;
    };
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = "pipe failed";
        return false;
    }
    if (watch_fd_ >= 0) {
        line_.set_wake_fd(wake_[0]);
        line_down_ = true; // until the host opens the line
    }
    if (!options_.trace_file.empty() && !bus_.trace.open(options_.trace_file)) {
        error = "cannot write " + options_.trace_file;
        return false;
    }
    uc_err e = uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc_);
    if (e != UC_ERR_OK)
        return fail("uc_open", e);
    if ((e = uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_926)) != UC_ERR_OK)
        return fail("ARM926 model", e);
    if ((e = uc_mem_map_ptr(uc_, iram_base, iram_.size(), UC_PROT_ALL, iram_.data())) != UC_ERR_OK)
        return fail("internal RAM", e);

    const struct {
        Kind kind;
        uint32_t base, size;
    } map[] = {
        {Kind::aipi1, aipi1_base, page},
        {Kind::aipi2, aipi2_base, page},
        {Kind::crm, crm_base, page},
        {Kind::uart, uart1_base, page},
        {Kind::esdctl, esdctl_base, page},
        {Kind::weim, weim_base, page},
        {Kind::sdram, sdram_base, Sdram::size},
        {Kind::flash, flash_base, NorFlash::size},
        {Kind::sram, sram_base, sram_window},
    };
    for (const auto& m : map) {
        regions_.push_back(std::make_unique<Region>(Region{this, m.kind, m.base, m.size}));
        Region* r = regions_.back().get();
        if ((e = uc_mmio_map(uc_, m.base, m.size, mmio_read, r, mmio_write, r)) != UC_ERR_OK)
            return fail("device map", e);
    }

    uc_hook hook;
    // Every instruction in internal RAM: keeps the PC exact in the device callbacks (for
    // the bad-access message) and counts instructions.
    if ((e = uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(count_instruction),
                         &instructions_, iram_base, iram_end - 1)) != UC_ERR_OK)
        return fail("code hook", e);
    auto unmapped = +[](uc_engine* uc, uc_mem_type type, uint64_t address, int size, int64_t,
                        void* user) -> bool {
        auto* board = static_cast<Board*>(user);
        const bool fetch = type == UC_MEM_FETCH_UNMAPPED;
        board->bad_access(static_cast<uint32_t>(address), static_cast<unsigned>(size),
                          type == UC_MEM_WRITE_UNMAPPED,
                          fetch ? "instruction fetch outside internal RAM"
                                : "no memory or device at this address");
        (void)uc;
        return false;
    };
    if ((e = uc_hook_add(uc_, &hook, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(unmapped), this,
                         1, 0)) != UC_ERR_OK)
        return fail("unmapped hook", e);
    auto interrupt = +[](uc_engine* uc, uint32_t number, void* user) {
        // The image installs no exception vectors: any exception is the end of it.
        static const char* const names[] = {"reset",
                                            "undefined instruction",
                                            "software interrupt",
                                            "prefetch abort",
                                            "data abort",
                                            "IRQ",
                                            "FIQ",
                                            "breakpoint"};
        auto* board = static_cast<Board*>(user);
        uint32_t pc = 0;
        uc_reg_read(uc, UC_ARM_REG_PC, &pc);
        if (number == 2)
            pc -= 4; // the core has stepped past the SWI
        char text[128];
        std::snprintf(text, sizeof text, "korvin-sim: %s (exception %u) at pc 0x%08x",
                      number < 8 ? names[number] : "exception", number, pc);
        if (board->fault_.empty())
            board->fault_ = text;
        uc_emu_stop(uc);
    };
    if ((e = uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(interrupt), this, 1,
                         0)) != UC_ERR_OK)
        return fail("interrupt hook", e);
    return true;
}

void Board::bad_access(uint32_t address, unsigned bytes, bool write, const std::string& what) {
    if (!fault_.empty())
        return;
    uint32_t pc = 0;
    uc_reg_read(uc_, UC_ARM_REG_PC, &pc);
    char text[256];
    std::snprintf(text, sizeof text, "korvin-sim: %u-bit %s of 0x%08x at pc 0x%08x: %s", bytes * 8,
                  write ? "write" : "read", address, pc, what.c_str());
    fault_ = text;
    uc_emu_stop(uc_);
}

uint64_t Board::mmio_read(uc_struct*, uint64_t offset, unsigned bytes, void* user) {
    const auto& r = *static_cast<Region*>(user);
    return r.board->device_read(r, static_cast<uint32_t>(offset), bytes);
}

void Board::mmio_write(uc_struct*, uint64_t offset, unsigned bytes, uint64_t value, void* user) {
    const auto& r = *static_cast<Region*>(user);
    r.board->device_write(r, static_cast<uint32_t>(offset), bytes, static_cast<uint32_t>(value));
}

bool Board::chip_select_open(int cs, const char* device) {
    if (cs_open_[cs])
        return true;
    if (!noted_closed_cs_[cs])
        std::fprintf(stderr,
                     "korvin-sim: the %s was accessed while chip select %d is not enabled as a "
                     "16-bit port; it does not answer\n",
                     device, cs);
    noted_closed_cs_[cs] = true;
    return false;
}

uint32_t Board::device_read(const Region& r, uint32_t offset, unsigned bytes) {
    if (!fault_.empty())
        return 0;
    uint32_t v = 0;
    switch (r.kind) {
    case Kind::aipi1:
        v = aipi1_.read(offset, bytes);
        break;
    case Kind::aipi2:
        v = aipi2_.read(offset, bytes);
        break;
    case Kind::crm:
        v = crm_.read(offset, bytes);
        break;
    case Kind::uart:
        v = uart_.read(offset, bytes);
        break;
    case Kind::esdctl:
        v = sdram_.controller_read(offset, bytes);
        break;
    case Kind::weim:
        v = weim_.read(offset, bytes);
        break;
    case Kind::sdram:
        v = sdram_.read(offset, bytes);
        break;
    case Kind::flash:
    case Kind::sram: {
        const bool flash = r.kind == Kind::flash;
        if (bytes != 2) {
            bus_.fail(flash ? "the FLASH is a 16-bit device" : "the SRAM is a 16-bit device");
            break;
        }
        if (offset & 1) {
            bus_.fail("unaligned 16-bit access");
            break;
        }
        if (!chip_select_open(flash ? 0 : 1, flash ? "FLASH" : "SRAM"))
            v = 0xFFFF; // nothing drives the bus: it floats high
        else
            v = flash ? flash_.read(offset) : sram_.read(offset);
        break;
    }
    }
    if (!bus_.error.empty()) {
        bad_access(r.base + offset, bytes, false, bus_.error);
        return 0;
    }
    if (r.kind != Kind::uart)
        bus_.trace.record(false, bytes, r.base + offset, v);
    return v;
}

void Board::device_write(const Region& r, uint32_t offset, unsigned bytes, uint32_t value) {
    if (!fault_.empty())
        return;
    switch (r.kind) {
    case Kind::aipi1:
        aipi1_.write(offset, bytes, value);
        break;
    case Kind::aipi2:
        aipi2_.write(offset, bytes, value);
        break;
    case Kind::crm:
        crm_.write(offset, bytes, value);
        break;
    case Kind::uart:
        uart_.write(offset, bytes, value);
        break;
    case Kind::esdctl:
        sdram_.controller_write(offset, bytes, value);
        break;
    case Kind::weim:
        weim_.write(offset, bytes, value);
        cs_open_[0] = open_16bit(weim_.value(0x04));
        cs_open_[1] = open_16bit(weim_.value(0x14));
        break;
    case Kind::sdram:
        sdram_.write(offset, bytes, value);
        break;
    case Kind::flash:
    case Kind::sram: {
        const bool flash = r.kind == Kind::flash;
        if (bytes != 2) {
            bus_.fail(flash ? "the FLASH is a 16-bit device" : "the SRAM is a 16-bit device");
            break;
        }
        if (offset & 1) {
            bus_.fail("unaligned 16-bit access");
            break;
        }
        if (!chip_select_open(flash ? 0 : 1, flash ? "FLASH" : "SRAM"))
            break;
        if (flash)
            flash_.write(offset, static_cast<uint16_t>(value));
        else
            sram_.write(offset, static_cast<uint16_t>(value));
        break;
    }
    }
    if (!bus_.error.empty()) {
        bad_access(r.base + offset, bytes, true, bus_.error);
        return;
    }
    if (r.kind != Kind::uart) {
        const uint32_t mask = bytes == 4 ? 0xFFFFFFFF : (1u << (8 * bytes)) - 1;
        bus_.trace.record(true, bytes, r.base + offset, value & mask);
    }
}

bool Board::wait(Time deadline) {
    const Time begin = Clock::now();
    bool go_on = true;
    if (stop_ || reset_pending_)
        go_on = false;
    else if (line_.pump(deadline) == SerialLine::Status::closed || closed_since_seen()) {
        reset_pending_ = true;
        go_on = false;
    } else if (stop_)
        go_on = false;
    if (!go_on)
        uc_emu_stop(uc_);
    waited_seconds_ += std::chrono::duration<double>(Clock::now() - begin).count();
    return go_on;
}

void Board::start_cpu(uint32_t entry) {
    // The downloaded bytes replace whatever code was translated from internal RAM before.
    uc_ctl_remove_cache(uc_, iram_base, iram_end - 1);
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

void Board::reset() {
    cpu_running_ = false;
    reset_pending_ = false;
    seen_closes_ = closes_;
    rom_.reset();
    // A host that has already opened the line again may have sent its first bytes.
    line_.clear(openers_ == 0);
    uart_.reset();
    aipi1_.reset();
    aipi2_.reset();
    crm_.reset();
    weim_.reset();
    sdram_.reset();
    flash_.reset();
    noted_closed_cs_[0] = noted_closed_cs_[1] = false;
    cs_open_[0] = cs_open_[1] = false;
    bus_.trace.flush();
}

void Board::serve_boot_rom() {
    const Time now = Clock::now();
    BootRom::Output out;
    while (line_.rx_available(now) && !out.start) {
        rom_.receive(line_.rx_pop(), now, out,
                     [this](uint32_t address, uint8_t byte) { iram_[address - iram_base] = byte; });
        for (uint8_t b : out.reply)
            line_.tx_push(b, now);
        out.reply.clear();
    }
    if (out.start) {
        start_cpu(out.entry);
        return;
    }
    Time deadline = now + std::chrono::milliseconds(100);
    if (auto next = line_.rx_next(); next && *next < deadline)
        deadline = *next;
    if (line_.pump(deadline) == SerialLine::Status::closed || closed_since_seen()) {
        reset();
        line_down_ = true;
    }
}

bool Board::closed_since_seen() {
    const unsigned closes = closes_;
    if (closes == seen_closes_)
        return false;
    seen_closes_ = closes;
    return true;
}

void Board::count_openers() {
    alignas(inotify_event) char buf[4096];
    bool changed = false;
    for (;;) {
        const ssize_t n = read(watch_fd_, buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + i);
            if (e->mask & IN_OPEN)
                ++openers_;
            if ((e->mask & IN_CLOSE) && openers_ > 0 && --openers_ == 0)
                ++closes_;
            changed = true;
            i += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    if (changed) {
        const char c = 0;
        (void)!write(wake_[1], &c, 1);
    }
}

void Board::watchdog() {
    // A program that never touches the UART still has to stop for a signal or a closed line.
    unsigned closes = closes_;
    while (!quit_) {
        if (watch_fd_ >= 0) {
            pollfd w{watch_fd_, POLLIN, 0};
            if (poll(&w, 1, 10) == 1)
                count_openers();
        } else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!emulating_)
            continue;
        if (stop_) {
            uc_emu_stop(uc_);
            continue;
        }
        bool closed = closes_ != closes;
        closes = closes_;
        if (watch_fd_ < 0) {
            pollfd p{fd_, POLLIN, 0};
            closed = poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
        }
        if (closed) {
            reset_pending_ = true;
            uc_emu_stop(uc_);
        }
    }
}

int Board::run() {
    std::thread dog;
    {
        // Signals are for the main thread: they interrupt its waits.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        dog = std::thread([this] { watchdog(); });
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    int status = 0;
    while (!stop_) {
        if (line_down_) {
            // Nobody has the line open: wait for an opener.
            if (watch_fd_ >= 0) {
                if (openers_ == 0) {
                    pollfd w{wake_[0], POLLIN, 0};
                    if (poll(&w, 1, 100) == 1) {
                        char drain[64];
                        while (read(wake_[0], drain, sizeof drain) > 0) {
                        }
                    }
                    continue;
                }
            } else {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 0) == 1 && (p.revents & POLLHUP)) {
                    timespec ts{0, 10 * 1000 * 1000};
                    ppoll(nullptr, 0, &ts, nullptr);
                    continue;
                }
            }
            line_down_ = false;
        }
        if (!cpu_running_) {
            serve_boot_rom();
            continue;
        }
        emulating_ = true;
        const Time begin = Clock::now();
        const double waited_before = waited_seconds_;
        const uc_err e = uc_emu_start(uc_, entry_, 1, 0, 0);
        emulating_ = false;
        emulation_seconds_ += std::chrono::duration<double>(Clock::now() - begin).count() -
                              (waited_seconds_ - waited_before);
        if (!fault_.empty()) {
            std::fprintf(stderr, "%s\n", fault_.c_str());
            status = 3;
            break;
        }
        if (e != UC_ERR_OK) {
            uint32_t pc = 0;
            uc_reg_read(uc_, UC_ARM_REG_PC, &pc);
            std::fprintf(stderr, "korvin-sim: the program stopped at pc 0x%08x: %s\n", pc,
                         uc_strerror(e));
            status = 3;
            break;
        }
        if (reset_pending_) {
            reset();
            line_down_ = true;
            continue;
        }
        // Stopped between instructions with nothing to do (a late watchdog stop): go on.
        uc_reg_read(uc_, UC_ARM_REG_PC, &entry_);
    }
    quit_ = true;
    dog.join();
    line_.pump(Clock::now()); // what is due still goes out
    bus_.trace.flush();
    return status;
}

} // namespace korvin::sim
