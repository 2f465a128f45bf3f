#pragma once
// The --fault texts that name a memory's nets as a schematic does: the SDRAM's address and
// bank pins ("sdram:ma3=1", "sdram:ba1~ma11=and"), the byte lanes ("sdram:dqm2=open",
// "sram:eb1=0") and the control lines ("flash:we=1", "sdram:ras=0").
#include "faults.h"

#include <string>

namespace korvin::sim {

enum class pin_parse { not_a_net, added, refused };

// `memory` is "sdram", "flash" or "sram", `what` the text after its colon. not_a_net when
// `what` names no net (a data or word-index line, a chip fault); refused, with `why`, when it
// names a net this memory does not have, a fault the net cannot take, or a net another fault
// already holds in another way.
pin_parse parse_pin_fault(const std::string& memory, const std::string& what, memory_faults& faults,
                          std::string& why);

} // namespace korvin::sim
