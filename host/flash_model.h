#pragma once
// What the host knows of the FLASH for a look further when it took no command: the single
// line faults of its bus (each a hypothesis that says what the chip's pins see of a store and
// what the processor sees of a load), and the chip's command decoding as the AMD command
// set's x16 parts do it, to predict what a bench probe would read under each hypothesis.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korvin {

constexpr int FLASH_DATA_LINES = 16;
constexpr int FLASH_INDEX_BITS = 23; // word-index bits of the 8 M words

// A value as predicted: the bits of `known` are certain, the rest may read either way.
struct predicted {
    std::uint16_t value = 0;
    std::uint16_t known = 0;
    bool fits(std::uint16_t read) const { return ((read ^ value) & known) == 0; }
    bool operator==(const predicted& o) const { return value == o.value && known == o.known; }
};

enum class flash_fault {
    none,
    dead,   // no chip answers: the bus floats high
    silent, // the chip never drives the bus (CE# or OE# high, WE# low): a load reads the last store
    deaf,   // no command reaches the chip (WE# high, OE# low): a load reads its array
    stuck_data,
    stuck_address,
    data_short,
    address_short,
    open_data,
};

struct flash_hypothesis {
    flash_fault kind = flash_fault::none;
    int line = 0;
    int level = 0;  // stuck: the level; shorts: 0 wired-AND, 1 wired-OR
    int other = -1; // shorts: the second line

    // The word index the chip decodes for the processor's word index `w`.
    std::uint32_t chip_index(std::uint32_t w) const;
    // What the chip's pins see of a 16-bit store of `driven`.
    std::uint16_t chip_data(std::uint16_t driven) const;
    // What the processor reads when the chip drives `v`; `held` is what the last store
    // drove on the bus (an open line keeps it on the processor's side), -1 when unknown.
    predicted processor_read(predicted v, int held = -1) const;
    // Whether the chip's command state follows the stores.
    bool takes_commands() const { return kind != flash_fault::deaf; }
    // A processor word index (or store value) that reaches the chip as `target` in the bits
    // of `decoded`; false when the fault lets none through.
    bool reach_index(std::uint32_t target, std::uint32_t decoded, std::uint32_t& sent) const;
    bool reach_data(std::uint16_t target, std::uint16_t decoded, std::uint16_t& sent) const;
    // Whether the processor can read `read` at all, whatever the chip drives: two shorted
    // data lines always read alike.
    bool could_read(std::uint16_t read) const;
    // The finding's words: "data line D3 stuck low", "data lines D1 and D2 shorted
    // (wired-AND)", with the address pins as the address-line findings name them.
    std::string name() const;
};

// No fault, a dead chip, a chip off the bus, a chip no command reaches, then every single
// line fault: data and word-index lines stuck low and high, every pair of them shorted both
// ways, every open data line.
std::vector<flash_hypothesis> flash_hypotheses();

// The chip's command state as the x16 AMD command set decodes word index bits 0 to 10 and the
// data's low byte: the unlock cycles at 0x555 and 0x2AA, autoselect (0x90), program (0xA0),
// erase (0x80 ... 0x30), the CFI query (0x98 at 0x55) and the reset (0xF0) that ends every
// mode but a program's data cycle.
struct flash_chip_state {
    enum class step : std::uint8_t { idle, unlocked1, unlocked2, program, erase1, erase2, erase3 };
    step at = step::idle;
    bool autoselect = false;
    bool cfi = false;
    int held = -1; // the bus's last store, for an open line; -1 unknown
    // The last load, for a chip that takes no command: its array answers a load of the same
    // word alike. -1 unknown.
    std::int32_t last_index = -1, last_value = -1;
    // What the processor has read of the array's words (by chip word index) while the chip
    // was in read mode, the bits the bus passes unchanged from one load to the next; the
    // array keeps them until a program or erase may have begun (`unsettled`).
    using array_reads = std::map<std::uint32_t, predicted>;
    std::shared_ptr<const array_reads> seen;
    bool unsettled = false;
    // The array holds what an earlier passing FLASH test left (earlier_test_word), a board
    // tested before: in the sectors that test erases, every word is known.
    bool earlier_pattern = false;

    void write(std::uint32_t index, std::uint16_t data);
    // What the chip drives for a load of `index`: the identification and the CFI table's
    // geometry are known, the array's contents are not.
    predicted read(std::uint32_t index) const;
    bool reads_array() const { return !cfi && !autoselect && !unsettled; }
    // What the processor reads of `index` under `h`, the array's words as seen before.
    predicted expect(const flash_hypothesis& h, std::uint32_t index) const;
    // Notes the processor's `read` of `index` under `h` when it came from the array.
    void saw(const flash_hypothesis& h, std::uint32_t index, std::uint16_t read);
    bool operator==(const flash_chip_state& o) const {
        return at == o.at && autoselect == o.autoselect && cfi == o.cfi && held == o.held &&
               last_index == o.last_index && last_value == o.last_value &&
               unsettled == o.unsettled && earlier_pattern == o.earlier_pattern &&
               (((!seen || seen->empty()) && (!o.seen || o.seen->empty())) ||
                (seen && o.seen && *seen == *o.seen));
    }
};

// The states a chip may be in after a test that broke its command cycles, each with the
// array unknown and with the array as an earlier passing test left it.
std::vector<flash_chip_state> flash_start_states();

// What a passing FLASH test leaves at chip word `index`: its address test's walk, word 0
// and word 2^k holding 0 and k + 1, and the same at their complements in the word index; every
// other word of the sectors it erased reads erased. False outside those sectors.
bool earlier_test_word(std::uint32_t index, std::uint16_t& value);
// The walk's words: 0, 2^k, and their complements.
std::vector<std::uint32_t> earlier_test_words();

// What the processor reads under `h` from a chip in `state` at chip word `index`.
predicted flash_load(const flash_hypothesis& h, const flash_chip_state& state, std::uint32_t index);

} // namespace korvin
