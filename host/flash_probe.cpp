// The FLASH probe: hypotheses kept while every answer fits their prediction.
#include "flash_probe.h"

#include "flash_model.h"
#include "text.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <set>
#include <tuple>

namespace korvin {
namespace {

constexpr std::uint32_t FLASH_WINDOW = 0xC0000000;
constexpr std::uint32_t SECTOR_WORDS = 0x10000;
// Enough for every hypothesis' corrected probes in a few sectors; about 5 s on a board.
constexpr unsigned MAX_EXCHANGES = 2500;
// The CFI words whose values the geometry and the command set fix.
constexpr std::uint32_t CFI_READS[] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x27, 0x28,
                                       0x29, 0x2C, 0x2D, 0x2E, 0x2F, 0x30};

struct op {
    bool write;
    std::uint32_t index; // word index from the chip's base
    std::uint16_t data;
    bool operator<(const op& o) const {
        return std::tie(write, index, data) < std::tie(o.write, o.index, o.data);
    }
};
using probe = std::vector<op>;

// A sequence as the chip must receive it at the sector of word `sector`. Each ends with its
// last word loaded again after the reset: a chip that took the sequence answers it from its
// array then, one that takes no command alike both times.
probe query_at(std::uint32_t sector) {
    probe p = {{true, sector, 0xF0}, {true, sector + 0x55, 0x98}};
    for (std::uint32_t at : CFI_READS)
        p.push_back({false, sector + at, 0});
    p.push_back({true, sector, 0xF0});
    p.push_back({false, sector + CFI_READS[std::size(CFI_READS) - 1], 0});
    return p;
}

probe autoselect_at(std::uint32_t sector) {
    return {{true, sector, 0xF0},         {true, sector + 0x555, 0xAA},
            {true, sector + 0x2AA, 0x55}, {true, sector + 0x555, 0x90},
            {false, sector, 0},           {false, sector + 1, 0},
            {true, sector, 0xF0},         {false, sector + 1, 0}};
}

// The array as read mode shows it at the words the query and autoselect read: a chip that
// answered there before must now read what a word of its array keeps.
probe array_at(std::uint32_t sector) {
    probe p = {{true, sector, 0xF0}, {false, sector, 0}, {false, sector + 1, 0}};
    for (std::uint32_t at : CFI_READS)
        p.push_back({false, sector + at, 0});
    return p;
}

// The words an earlier passing test left its address walk in, read in read mode: on a board
// tested before, what each hypothesis' address lines make of them tells the lines apart.
probe earlier_walk() {
    probe p = {{true, 0, 0xF0}};
    for (std::uint32_t w : earlier_test_words())
        p.push_back({false, w, 0});
    return p;
}

std::vector<probe> sequences_at(std::uint32_t sector) {
    return {query_at(sector), autoselect_at(sector), array_at(sector)};
}

// The sectors the FLASH test programs: the first, one per word-index bit 16 up, the last.
std::vector<std::uint32_t> test_sectors() {
    std::vector<std::uint32_t> s = {0};
    for (int bit = 16; bit < FLASH_INDEX_BITS; ++bit)
        s.push_back(1u << bit);
    s.push_back((1u << FLASH_INDEX_BITS) - SECTOR_WORDS);
    return s;
}

// `p` as it must be sent for the chip to receive it under `h`; false when it cannot be.
bool corrected(const flash_hypothesis& h, const probe& p, probe& sent) {
    sent.clear();
    for (const op& o : p) {
        op s = o;
        // The chip decodes word-index bits 0 to 10 of a command cycle, 0 to 7 of an
        // identification or CFI read, and the data's low byte.
        if (!h.reach_index(o.index, o.write ? 0x7FF : 0xFF, s.index) ||
            (o.write && !h.reach_data(o.data, 0xFF, s.data)))
            return false;
        sent.push_back(s);
    }
    return true;
}

struct candidate {
    flash_hypothesis fault;
    std::vector<flash_chip_state> states; // those every answer so far fits
};

// What the processor reads in `p` under `h` from `state`, which the writes advance.
std::vector<predicted> predict(const flash_hypothesis& h, flash_chip_state state, const probe& p) {
    std::vector<predicted> reads;
    for (const op& o : p) {
        const std::uint32_t index = h.chip_index(o.index);
        if (o.write) {
            if (h.takes_commands())
                state.write(index, h.chip_data(o.data));
            state.held = o.data;
        } else {
            reads.push_back(flash_load(h, state, index));
            state.last_index = static_cast<std::int32_t>(index);
            state.last_value = reads.back().known == 0xFFFF ? reads.back().value : -1;
        }
    }
    return reads;
}

bool conflict(const std::vector<predicted>& a, const std::vector<predicted>& b) {
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i].value ^ b[i].value) & a[i].known & b[i].known)
            return true;
    return false;
}

// A chip no command reaches answers a word loaded again alike, whatever its array holds.
// A probe that loads a word, sends a command and loads the word again tells it from a chip
// that, under a hypothesis still standing, answers the first load from the query or
// autoselect mode (a value predicted) and the second from its array: the two differ unless
// the array happens to hold that value.
bool tells_deaf(const std::vector<candidate>& alive, const probe& p) {
    std::size_t reads = 0, first = 0;
    bool found = false;
    for (const op& o : p)
        if (!o.write) {
            if (&o != &p.back() && o.index == p.back().index) {
                first = reads;
                found = true;
            }
            ++reads;
        }
    if (p.empty() || p.back().write || !found ||
        std::none_of(alive.begin(), alive.end(),
                     [](const candidate& c) { return !c.fault.takes_commands(); }))
        return false;
    for (const candidate& c : alive) {
        if (!c.fault.takes_commands() || c.fault.kind == flash_fault::dead ||
            c.fault.kind == flash_fault::silent)
            continue;
        for (const flash_chip_state& s : c.states) {
            const std::vector<predicted> r = predict(c.fault, s, p);
            const predicted &a = r[first], &b = r.back();
            const auto alike = static_cast<std::uint16_t>(b.known & ~(a.value ^ b.value));
            if (a.known & ~alike)
                return true;
        }
    }
    return false;
}

// Whether the answers to `p` would rule out some of `alive`.
bool telling(const std::vector<candidate>& alive, const probe& p) {
    if (tells_deaf(alive, p))
        return true;
    std::vector<std::vector<predicted>> seen;
    for (const candidate& c : alive)
        for (const flash_chip_state& s : c.states) {
            std::vector<predicted> reads = predict(c.fault, s, p);
            for (const auto& other : seen)
                if (conflict(reads, other))
                    return true;
            if (seen.size() < 64)
                seen.push_back(std::move(reads));
        }
    return false;
}

class prober {
  public:
    explicit prober(const bench_link& link) : link_(link) {
        for (const flash_hypothesis& h : flash_hypotheses())
            alive_.push_back({h, flash_start_states()});
    }

    // Sends `p` when it tells hypotheses apart and was not sent before; false once the link
    // is lost.
    bool offer(const probe& p) {
        if (result.lost || sent_.count(p) || result.exchanges + p.size() > MAX_EXCHANGES ||
            alive_.size() < 2 || !telling(alive_, p))
            return !result.lost;
        sent_.insert(p);
        for (const op& o : p)
            if (!exchange(o))
                return false;
        return true;
    }

    const std::vector<candidate>& alive() const { return alive_; }
    flash_probe_result result;

    // Reads the earlier walk's words, then keeps one view of the array: the walk as an earlier
    // test left it, when the answers show that structure (several values, fitting a fault that
    // reads the array), or else an array of unknown contents, as a blank or rewritten chip has.
    bool look_for_earlier_walk() {
        reads_.clear();
        if (!offer(earlier_walk()))
            return false;
        std::set<std::uint16_t> values(reads_.begin(), reads_.end());
        bool fits = false;
        for (const candidate& c : alive_)
            for (const flash_chip_state& s : c.states)
                fits |= s.earlier_pattern && c.fault.kind != flash_fault::dead &&
                        c.fault.kind != flash_fault::silent;
        const bool earlier = fits && values.size() >= 4;
        for (candidate& c : alive_)
            c.states.erase(std::remove_if(c.states.begin(), c.states.end(),
                                          [&](const flash_chip_state& s) {
                                              return s.earlier_pattern != earlier;
                                          }),
                           c.states.end());
        alive_.erase(std::remove_if(alive_.begin(), alive_.end(),
                                    [](const candidate& c) { return c.states.empty(); }),
                     alive_.end());
        return true;
    }

  private:
    bool exchange(const op& o) {
        const std::uint32_t address = FLASH_WINDOW + 2 * o.index;
        ++result.exchanges;
        const bench_answer a = o.write ? link_(BENCH_WRITE, bench_write(2, address, o.data))
                                       : link_(BENCH_READ, bench_read(2, address));
        if (a.result != bench_result::done || (!o.write && a.lines.empty())) {
            result.lost = true;
            result.why_lost = a.why_lost;
            return false;
        }
        const auto read = static_cast<std::uint16_t>(
            o.write ? 0 : std::strtoul(a.lines.front().c_str(), nullptr, 16));
        if (!o.write)
            reads_.push_back(read);
        for (candidate& c : alive_) {
            const std::uint32_t index = c.fault.chip_index(o.index);
            std::vector<flash_chip_state> kept;
            for (flash_chip_state s : c.states) {
                if (o.write) {
                    if (c.fault.takes_commands())
                        s.write(index, c.fault.chip_data(o.data));
                    s.held = o.data;
                } else if (!c.fault.could_read(read) || !flash_load(c.fault, s, index).fits(read)) {
                    continue;
                } else {
                    s.last_index = static_cast<std::int32_t>(index);
                    s.last_value = read;
                    s.saw(c.fault, index, read);
                }
                if (std::find(kept.begin(), kept.end(), s) == kept.end())
                    kept.push_back(s);
            }
            c.states.swap(kept);
        }
        alive_.erase(std::remove_if(alive_.begin(), alive_.end(),
                                    [](const candidate& c) { return c.states.empty(); }),
                     alive_.end());
        return true;
    }

    const bench_link& link_;
    std::vector<candidate> alive_;
    std::set<probe> sent_;
    std::vector<std::uint16_t> reads_; // the answers to loads since the last clear
};

// A long list's classes, for a person to read before the list: "31 candidates (20 address
// lines stuck among word-index bits 0 to 10; 11 data-line shorts among D0 to D7): ".
std::string summary(const std::vector<candidate>& alive) {
    if (alive.size() <= 6)
        return "";
    struct group {
        flash_fault kind;
        const char* what;
        const char* lines;
        int count = 0, low = 99, high = -1;
    };
    group groups[] = {{flash_fault::stuck_address, "address lines stuck", "word-index bits "},
                      {flash_fault::address_short, "address-line shorts", "word-index bits "},
                      {flash_fault::stuck_data, "data lines stuck", "D"},
                      {flash_fault::data_short, "data-line shorts", "D"},
                      {flash_fault::open_data, "data lines open", "D"},
                      {flash_fault::dead, "no chip answering", nullptr}};
    for (const candidate& c : alive)
        for (group& g : groups)
            if (g.kind == c.fault.kind) {
                ++g.count;
                g.low = std::min(g.low, c.fault.line);
                g.high = std::max({g.high, c.fault.line, c.fault.other});
            }
    std::string text = format("%lu candidates (", static_cast<unsigned long>(alive.size()));
    const char* separator = "";
    for (const group& g : groups) {
        if (!g.count)
            continue;
        text += separator + format("%d %s", g.count, g.what);
        if (g.lines) {
            const bool bits = g.lines[0] == 'w';
            // One line: not "word-index bit 5" alone, which reads as a finding's name.
            if (g.low == g.high)
                text +=
                    bits ? format(" at bit %d of the word index", g.low) : format(" at D%d", g.low);
            else
                text += format(" among %s%d to %s%d", g.lines, g.low, bits ? "" : "D", g.high);
        }
        separator = "; ";
    }
    return text + "): ";
}

std::string named(const std::vector<candidate>& alive) {
    const std::string head =
        "FLASH probe (CFI query, autoselect, command cycles corrected for each line fault): ";
    if (alive.empty())
        return head + "the chip's answers fit no single line fault";
    for (const candidate& c : alive)
        if (c.fault.kind == flash_fault::none)
            return head + "the chip answers as a good one wherever probed; no line fault found";
    std::string text = head + summary(alive);
    for (std::size_t i = 0; i < alive.size(); ++i)
        text += (i ? ", or " : "") + alive[i].fault.name();
    return alive.size() > 1 ? text + ": the chip's answers fit each" : text;
}

} // namespace

bool flash_looked_dead(const std::vector<std::string>& findings) {
    for (const std::string& f : findings)
        if (f.find("FLASH did not complete") != std::string::npos)
            return true;
    return false;
}

flash_probe_result flash_probe(const bench_link& link) {
    prober p(link);
    if (!p.look_for_earlier_walk())
        return p.result;
    const std::vector<std::uint32_t> sectors = test_sectors();
    for (std::uint32_t s : sectors)
        for (const probe& plain : sequences_at(s))
            if (!p.offer(plain))
                return p.result;
    // Each hypothesis still standing gets its corrected sequences; the answers rule out the
    // others, until one is left or nothing more tells them apart.
    for (bool more = true; more && p.alive().size() > 1;) {
        more = false;
        const std::vector<candidate> now = p.alive();
        for (const candidate& c : now)
            for (std::uint32_t s : sectors)
                for (const probe& plain : sequences_at(s)) {
                    probe sent;
                    if (!corrected(c.fault, plain, sent))
                        continue;
                    const unsigned before = p.result.exchanges;
                    if (!p.offer(sent))
                        return p.result;
                    more |= p.result.exchanges != before;
                }
    }
    p.result.findings.push_back(named(p.alive()));
    for (const candidate& c : p.alive())
        p.result.answers_as_good |= c.fault.kind == flash_fault::none;
    return p.result;
}

} // namespace korvin
