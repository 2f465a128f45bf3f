#include "memory_layout.h"

namespace korvin {

const memory_layout& layout_of(memory tested) {
    // SDRAM: 32-bit words on CSD0; FLASH and SRAM: 16-bit parts on the WEIM's
    // chip selects 0 and 1, their address pins A0.. on the processor's A1..
    static const memory_layout SDRAM{memory::sdram, 0xA0000000u, 4, 32, false, 1, 2, 2};
    static const memory_layout FLASH{memory::flash, 0xC0000000u, 2, 16, true, 3, 4, 5};
    static const memory_layout SRAM{memory::sram, 0xC8000000u, 2, 16, true, 1, 2, 2};
    switch (tested) {
    case memory::sdram:
        return SDRAM;
    case memory::flash:
        return FLASH;
    case memory::sram:
        break;
    }
    return SRAM;
}

} // namespace korvin
