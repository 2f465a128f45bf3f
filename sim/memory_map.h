#pragma once
// The CPU's view of the devices: a table of windows {base, size, device} and the one place
// where an access is checked, routed, traced and, when no device takes it, reported.
#include "device.h"
#include "trace.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace korvin::sim {

struct region {
    uint32_t base;
    uint32_t size;
    device* target;
    bool traced; // its accesses go into the bus trace
};

class memory_map {
  public:
    // What a bad access to an address outside every window is told.
    static constexpr const char* NOTHING_THERE = "no memory or device at this address";

    // Told about an access no device takes; the CPU is to stop after it.
    using bad_access_report =
        std::function<void(uint32_t address, unsigned width, bool write, const std::string& why)>;
    memory_map(bus_trace& trace, bad_access_report report)
        : trace_(trace), report_(std::move(report)) {}

    // Windows keep their address for as long as the map lives.
    const region& add(uint32_t base, uint32_t size, device& target, bool traced = true);
    const std::deque<region>& regions() const { return regions_; }
    // The window holding `address`, or nullptr.
    const region* find(uint32_t address) const;

    // An access at `offset` into window `r`.
    uint32_t read(const region& r, uint32_t offset, unsigned width);
    void write(const region& r, uint32_t offset, unsigned width, uint32_t value);
    // The same by address; an address outside every window is a bad access.
    uint32_t read(uint32_t address, unsigned width);
    void write(uint32_t address, unsigned width, uint32_t value);

    // After a fault (here or in the CPU) the devices see nothing more.
    void halt() { halted_ = true; }
    bool halted() const { return halted_; }

  private:
    void refused(const region& r, uint32_t offset, unsigned width, bool write);

    bus_trace& trace_;
    bad_access_report report_;
    std::deque<region> regions_;
    bool halted_ = false;
    std::string why_; // kept, so that an access that is taken costs no string
};

} // namespace korvin::sim
