#pragma once
// The bus trace: one line per device access, "w32 10000000 20040304".
#include <cstdint>
#include <cstdio>
#include <string>

namespace korvin::sim {

class bus_trace {
  public:
    bus_trace() = default;
    ~bus_trace();
    bus_trace(const bus_trace&) = delete;
    bus_trace& operator=(const bus_trace&) = delete;

    bool open(const std::string& path);
    bool active() const { return file_ != nullptr; }
    void record(bool write, unsigned bytes, uint32_t address, uint32_t value);
    void flush();

  private:
    std::FILE* file_ = nullptr;
};

} // namespace korvin::sim
