#pragma once
// The device models on the bench: in-process, without the core, a pseudo-terminal or a child
// process. An access goes in, an effect comes out.
#include "accesses.h"
#include "sim/board.h"
#include "sim/device.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvin::test {

// A device that answers `value` and records what reached it: "r2 10", "w2 10 1234".
struct recording_device : sim::device {
    uint32_t value = 0x1234;
    std::vector<std::string> seen;
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t data) override;
};

// The board's devices behind its memory map, by address; no host serves its line.
class board_bench {
  public:
    // `faults`: --fault arguments ("sram:d3=0").
    explicit board_bench(const std::vector<std::string>& faults = {});
    board_bench(const board_bench&) = delete;
    board_bench& operator=(const board_bench&) = delete;

    void store(const std::vector<access>& accesses);
    uint32_t load(unsigned bits, uint32_t address);
    // The bad-access message of the first access no device took, or empty.
    const std::string& fault() const { return board_->fault(); }

  private:
    sim::board_options options_;
    std::atomic<int> stop_{0};
    std::unique_ptr<sim::board> board_;
};

} // namespace korvin::test
