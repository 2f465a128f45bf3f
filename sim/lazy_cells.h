#pragma once
// A memory array whose pages come into being on their first store. A cell never stored
// holds its power-up value, a function of its index, so that a board with tens of megabytes
// of memory is built without touching them: a board per run costs what the run touches.
#include <cstdint>
#include <memory>
#include <vector>

namespace korvin::sim {

template <typename T> class lazy_cells {
  public:
    static constexpr uint32_t PAGE = 1024; // cells
    using power_up_value = T (*)(uint32_t index);

    lazy_cells(uint32_t count, power_up_value power_up)
        : pages_((count + PAGE - 1) / PAGE), count_(count), power_up_(power_up) {}

    uint32_t size() const { return count_; }
    T load(uint32_t index) const {
        const auto& page = pages_[index / PAGE];
        return page ? page[index % PAGE] : power_up_(index);
    }
    // The cell, to store into.
    T& cell(uint32_t index) {
        auto& page = pages_[index / PAGE];
        if (!page) {
            page.reset(new T[PAGE]);
            const uint32_t first = index / PAGE * PAGE;
            for (uint32_t i = 0; i < PAGE; ++i)
                page[i] = power_up_(first + i);
        }
        return page[index % PAGE];
    }
    // Cells [first, first + count) back to their power-up values; whole pages only.
    void forget(uint32_t first, uint32_t count) {
        for (uint32_t p = first / PAGE; p < (first + count) / PAGE; ++p)
            pages_[p].reset();
    }

  private:
    std::vector<std::unique_ptr<T[]>> pages_;
    uint32_t count_;
    power_up_value power_up_;
};

} // namespace korvin::sim
