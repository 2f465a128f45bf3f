#include "trace.h"

namespace korvin::sim {

bus_trace::~bus_trace() {
    if (file_)
        std::fclose(file_);
}

bool bus_trace::open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    if (file_)
        std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    return file_ != nullptr;
}

void bus_trace::record(bool write, unsigned bytes, uint32_t address, uint32_t value) {
    if (!file_)
        return;
    std::fprintf(file_, "%c%u %08x %0*x\n", write ? 'w' : 'r', bytes * 8, address,
                 static_cast<int>(bytes * 2), value);
}

void bus_trace::flush() {
    if (file_)
        std::fflush(file_);
}

} // namespace korvin::sim
