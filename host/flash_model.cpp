// The FLASH bus's single line faults and the chip's command decoding, for the probe.
#include "flash_model.h"

#include "text.h"

namespace korvin {
namespace {

constexpr std::uint32_t INDEX_MASK = (1u << FLASH_INDEX_BITS) - 1;
constexpr std::uint32_t UNLOCK1 = 0x555, UNLOCK2 = 0x2AA, CFI_ADDRESS = 0x55;

// Both lines carry the AND (or the OR) of their levels.
std::uint32_t wired(std::uint32_t v, int a, int b, bool wired_or) {
    const std::uint32_t m = (1u << a) | (1u << b);
    const bool high = wired_or ? (v & m) != 0 : (v & m) == m;
    return high ? v | m : v & ~m;
}

std::uint32_t forced(std::uint32_t v, int line, int level) {
    return level ? v | (1u << line) : v & ~(1u << line);
}

// The values that differ from `target` only in the fault's lines, `target` first.
std::vector<std::uint32_t> neighbours(std::uint32_t target, int a, int b) {
    const std::uint32_t ma = 1u << a;
    if (b < 0)
        return {target, target ^ ma};
    const std::uint32_t mb = 1u << b;
    return {target, target ^ ma, target ^ mb, target ^ ma ^ mb};
}

std::string index_line(int k) {
    return format("word-index bit %d = chip pin A%d (word mode) = processor line A%d", k, k, k + 1);
}

// The CFI table's words the host relies on: "QRY", the AMD command set, the size, the
// interface and the one region of 128 sectors of 128 KB; the rest varies with the maker.
bool cfi_word(std::uint32_t at, std::uint16_t& value) {
    static const struct {
        std::uint8_t at, value;
    } KNOWN[] = {{0x10, 0x51}, {0x11, 0x52}, {0x12, 0x59}, {0x13, 0x02}, {0x14, 0x00},
                 {0x27, 0x18}, {0x28, 0x02}, {0x29, 0x00}, {0x2C, 0x01}, {0x2D, 0x7F},
                 {0x2E, 0x00}, {0x2F, 0x00}, {0x30, 0x02}};
    for (const auto& k : KNOWN)
        if (k.at == at) {
            value = k.value;
            return true;
        }
    return false;
}

} // namespace

std::uint32_t flash_hypothesis::chip_index(std::uint32_t w) const {
    if (kind == flash_fault::stuck_address)
        w = forced(w, line, level);
    else if (kind == flash_fault::address_short)
        w = wired(w, line, other, level);
    return w & INDEX_MASK;
}

std::uint16_t flash_hypothesis::chip_data(std::uint16_t driven) const {
    // A stuck line acts at the chip's outputs; an open one leaves its input floating high.
    if (kind == flash_fault::data_short)
        return static_cast<std::uint16_t>(wired(driven, line, other, level));
    if (kind == flash_fault::open_data)
        return static_cast<std::uint16_t>(driven | (1u << line));
    return driven;
}

predicted flash_hypothesis::processor_read(predicted v, int held) const {
    const auto bit = static_cast<std::uint16_t>(1u << line);
    switch (kind) {
    case flash_fault::dead:
        return {0xFFFF, 0xFFFF};
    case flash_fault::silent:
        // Nothing drives the bus: it holds what the last store drove.
        return held >= 0 ? predicted{static_cast<std::uint16_t>(held), 0xFFFF} : predicted{};
    case flash_fault::stuck_data:
        v.value = static_cast<std::uint16_t>(forced(v.value, line, level));
        v.known |= bit;
        return v;
    case flash_fault::data_short: {
        const auto pair = static_cast<std::uint16_t>(bit | (1u << other));
        v.value = static_cast<std::uint16_t>(wired(v.value, line, other, level));
        if ((v.known & pair) != pair)
            v.known &= static_cast<std::uint16_t>(~pair);
        return v;
    }
    case flash_fault::open_data:
        // The processor's side holds what it last drove there.
        v.known |= bit;
        if (held < 0)
            v.known &= static_cast<std::uint16_t>(~bit);
        v.value =
            static_cast<std::uint16_t>(held >= 0 && (held & bit) ? v.value | bit : v.value & ~bit);
        return v;
    default:
        return v;
    }
}

bool flash_hypothesis::reach_index(std::uint32_t target, std::uint32_t decoded,
                                   std::uint32_t& sent) const {
    if (kind != flash_fault::stuck_address && kind != flash_fault::address_short) {
        sent = target;
        return true;
    }
    for (std::uint32_t w : neighbours(target, line, other))
        if (((chip_index(w) ^ target) & decoded) == 0) {
            sent = w;
            return true;
        }
    return false;
}

bool flash_hypothesis::reach_data(std::uint16_t target, std::uint16_t decoded,
                                  std::uint16_t& sent) const {
    if (kind != flash_fault::data_short && kind != flash_fault::open_data) {
        sent = target;
        return true;
    }
    for (std::uint32_t v : neighbours(target, line, other))
        if (((chip_data(static_cast<std::uint16_t>(v)) ^ target) & decoded) == 0) {
            sent = static_cast<std::uint16_t>(v);
            return true;
        }
    return false;
}

bool flash_hypothesis::could_read(std::uint16_t read) const {
    if (kind != flash_fault::data_short)
        return true;
    return ((read >> line) & 1) == ((read >> other) & 1);
}

std::string flash_hypothesis::name() const {
    const char* wiring = level ? "(wired-OR)" : "(wired-AND)";
    switch (kind) {
    case flash_fault::none:
        return "no line fault";
    case flash_fault::dead:
        return "no chip answering (absent, unpowered or dead)";
    case flash_fault::silent:
        return "FLASH chip select CS0 stuck high or open, or FLASH output enable OE stuck high or "
               "open, or FLASH write enable WE stuck low";
    case flash_fault::deaf:
        return "FLASH write enable WE stuck high or open, or FLASH output enable OE stuck low";
    case flash_fault::stuck_data:
        return format("data line D%d stuck %s", line, level ? "high" : "low");
    case flash_fault::stuck_address:
        return format("address line stuck or shorted: %s (stuck %s)", index_line(line).c_str(),
                      level ? "high" : "low");
    case flash_fault::data_short:
        return format("data lines D%d and D%d shorted %s", line, other, wiring);
    case flash_fault::address_short:
        return format("address lines %s and %s shorted %s", index_line(line).c_str(),
                      index_line(other).c_str(), wiring);
    case flash_fault::open_data:
        return format("data line D%d open", line);
    }
    return "";
}

std::vector<flash_hypothesis> flash_hypotheses() {
    std::vector<flash_hypothesis> all = {
        {flash_fault::none}, {flash_fault::dead}, {flash_fault::silent}, {flash_fault::deaf}};
    for (int line = 0; line < FLASH_DATA_LINES; ++line)
        for (int level : {0, 1})
            all.push_back({flash_fault::stuck_data, line, level});
    for (int line = 0; line < FLASH_INDEX_BITS; ++line)
        for (int level : {0, 1})
            all.push_back({flash_fault::stuck_address, line, level});
    for (const auto& [kind, lines] : {std::pair{flash_fault::data_short, FLASH_DATA_LINES},
                                      std::pair{flash_fault::address_short, FLASH_INDEX_BITS}})
        for (int a = 0; a < lines; ++a)
            for (int b = a + 1; b < lines; ++b)
                for (int wired_or : {0, 1})
                    all.push_back({kind, a, wired_or, b});
    for (int line = 0; line < FLASH_DATA_LINES; ++line)
        all.push_back({flash_fault::open_data, line, 1});
    return all;
}

void flash_chip_state::write(std::uint32_t index, std::uint16_t data) {
    const std::uint32_t a = index & 0x7FF;
    const std::uint8_t command = data & 0xFF;
    if (at == step::program || (at == step::erase3 && command == 0x30)) {
        // The data cycle programs, or an erase begins: the array is not predicted.
        unsettled = true;
        seen.reset();
    }
    if (at == step::program) {
        at = step::idle;
        return;
    }
    if (command == 0xF0) {
        at = step::idle;
        autoselect = cfi = false;
        return;
    }
    if (cfi)
        return; // only the reset leaves the query
    if (at == step::idle && a == CFI_ADDRESS && command == 0x98) {
        cfi = true;
        return;
    }
    switch (at) {
    case step::idle:
        at = a == UNLOCK1 && command == 0xAA ? step::unlocked1 : step::idle;
        break;
    case step::unlocked1:
        at = a == UNLOCK2 && command == 0x55 ? step::unlocked2 : step::idle;
        break;
    case step::unlocked2:
        at = step::idle;
        if (a == UNLOCK1 && command == 0x90)
            autoselect = true;
        else if (a == UNLOCK1 && command == 0xA0 && !autoselect)
            at = step::program;
        else if (a == UNLOCK1 && command == 0x80 && !autoselect)
            at = step::erase1;
        break;
    case step::erase1:
        at = a == UNLOCK1 && command == 0xAA ? step::erase2 : step::idle;
        break;
    case step::erase2:
        at = a == UNLOCK2 && command == 0x55 ? step::erase3 : step::idle;
        break;
    default:
        at = step::idle; // an erase begins or the sequence breaks: read mode either way
        break;
    }
}

predicted flash_chip_state::read(std::uint32_t index) const {
    const std::uint32_t at_word = index & 0xFF;
    std::uint16_t v = 0;
    if (cfi)
        return cfi_word(at_word, v) ? predicted{v, 0xFFFF} : predicted{};
    if (autoselect) {
        // The makers' codes 0x0001 and 0x00C2 agree in all but bits 0, 1, 6 and 7.
        if (at_word == 0)
            return {0x0000, static_cast<std::uint16_t>(~0x00C3)};
        if (at_word == 1)
            return {0x227E, 0xFFFF};
        return {};
    }
    if (earlier_pattern && !unsettled && earlier_test_word(index, v))
        return {v, 0xFFFF};
    return {};
}

std::vector<std::uint32_t> earlier_test_words() {
    std::vector<std::uint32_t> words = {0};
    for (int k = 0; k < FLASH_INDEX_BITS; ++k)
        words.push_back(1u << k);
    for (int i = 0, n = static_cast<int>(words.size()); i < n; ++i)
        words.push_back(INDEX_MASK ^ words[static_cast<std::size_t>(i)]);
    return words;
}

bool earlier_test_word(std::uint32_t index, std::uint16_t& value) {
    constexpr std::uint32_t SECTOR = 0xFFFF; // word-index bits within a 64 K-word sector
    bool erased = false;
    // Asked for every predicted load of the walk: the list is made once.
    static const std::vector<std::uint32_t> WALK = earlier_test_words();
    for (std::size_t i = 0; i < WALK.size(); ++i) {
        if (WALK[i] == index) {
            value = static_cast<std::uint16_t>(i % (FLASH_INDEX_BITS + 1));
            return true;
        }
        erased |= (WALK[i] & ~SECTOR) == (index & ~SECTOR);
    }
    value = 0xFFFF;
    return erased;
}

predicted flash_load(const flash_hypothesis& h, const flash_chip_state& state,
                     std::uint32_t index) {
    // A chip no command reaches stays in read mode: its array, unknown unless an earlier test
    // left it, the same at a word loaded again.
    std::uint16_t v = 0;
    if (h.kind == flash_fault::deaf && state.earlier_pattern && earlier_test_word(index, v))
        return {v, 0xFFFF};
    if (h.kind == flash_fault::deaf)
        return state.last_index == static_cast<std::int32_t>(index) && state.last_value >= 0
                   ? predicted{static_cast<std::uint16_t>(state.last_value), 0xFFFF}
                   : predicted{};
    return state.expect(h, index);
}

predicted flash_chip_state::expect(const flash_hypothesis& h, std::uint32_t index) const {
    predicted p = h.processor_read(read(index), held);
    if (!reads_array() || !seen || h.kind == flash_fault::dead || h.kind == flash_fault::silent)
        return p;
    const auto it = seen->find(index);
    if (it == seen->end())
        return p;
    const auto more = static_cast<std::uint16_t>(it->second.known & ~p.known);
    p.value = static_cast<std::uint16_t>((p.value & p.known) | (it->second.value & more));
    p.known |= more;
    return p;
}

void flash_chip_state::saw(const flash_hypothesis& h, std::uint32_t index, std::uint16_t read) {
    if (!reads_array() || h.kind == flash_fault::dead || h.kind == flash_fault::silent)
        return;
    // An open line reads what the last store left on the processor's side, not the array.
    const auto known =
        static_cast<std::uint16_t>(h.kind == flash_fault::open_data ? ~(1u << h.line) : 0xFFFFu);
    const predicted p{static_cast<std::uint16_t>(read & known), known};
    if (seen) {
        const auto it = seen->find(index);
        if (it != seen->end() && it->second.value == p.value && it->second.known == known)
            return;
    }
    auto next = seen ? std::make_shared<array_reads>(*seen) : std::make_shared<array_reads>();
    (*next)[index] = p;
    seen = std::move(next);
}

std::vector<flash_chip_state> flash_start_states() {
    using s = flash_chip_state::step;
    std::vector<flash_chip_state> all;
    for (bool earlier : {false, true})
        for (bool autoselect : {false, true}) {
            for (s at : {s::idle, s::unlocked1, s::unlocked2, s::erase1, s::erase2, s::erase3})
                all.push_back({at, autoselect, false, -1, -1, -1, nullptr, false, earlier});
            all.push_back({s::idle, autoselect, true, -1, -1, -1, nullptr, false, earlier});
        }
    return all;
}

} // namespace korvin
