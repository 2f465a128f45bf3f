// Loses memory the ways korvin-sim could: in its own code ("own"), in code
// that unicorn calls back, as a device model's register write ("callback"),
// and inside unicorn, whose machine is dropped without uc_close ("unicorn").
#include <unicorn/unicorn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void* volatile kept; // the allocation passes through here, then is forgotten

void lose(std::size_t bytes) {
    kept = std::malloc(bytes);
    kept = nullptr;
}

void write_register(uc_engine*, std::uint64_t, unsigned, std::uint64_t, void*) {
    lose(4321);
}

std::uint64_t read_register(uc_engine*, std::uint64_t, unsigned, void*) {
    return 0;
}

constexpr std::uint64_t CODE = 0x1000, DEVICE = 0x10000;
// mov r1, #0x10000; str r0, [r1]
const unsigned char STORE_TO_DEVICE[] = {0x01, 0x18, 0xa0, 0xe3, 0x00, 0x00, 0x81, 0xe5};

// Runs the store once; closes the machine only when asked.
__attribute__((noinline)) bool run_machine(bool close) {
    uc_engine* uc = nullptr;
    if (uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc) != UC_ERR_OK ||
        uc_mem_map(uc, CODE, 0x1000, UC_PROT_ALL) != UC_ERR_OK ||
        uc_mmio_map(uc, DEVICE, 0x1000, read_register, nullptr, write_register, nullptr) !=
            UC_ERR_OK ||
        uc_mem_write(uc, CODE, STORE_TO_DEVICE, sizeof STORE_TO_DEVICE) != UC_ERR_OK ||
        uc_emu_start(uc, CODE, CODE + sizeof STORE_TO_DEVICE, 0, 0) != UC_ERR_OK)
        return false;
    if (close)
        uc_close(uc);
    return true;
}

// Overwrites the stack the machine's pointer was left on, so that the
// leak check cannot find it there.
__attribute__((noinline)) void scrub_stack() {
    volatile char area[1 << 16];
    std::memset(const_cast<char*>(area), 0, sizeof area);
}

} // namespace

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "own") == 0) {
        lose(777);
        return 0;
    }
    if (std::strcmp(mode, "callback") == 0)
        return run_machine(true) ? 0 : 3;
    if (std::strcmp(mode, "unicorn") == 0) {
        const bool ran = run_machine(false);
        scrub_stack();
        return ran ? 0 : 3;
    }
    return 2;
}
