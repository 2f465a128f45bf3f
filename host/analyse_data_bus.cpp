// Data-bus test: walking ones and zeros through one unit and its neighbour.
#include "analysers.h"
#include "line_faults.h"
#include "text.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

namespace korvin {
namespace {

// The expected values of the failing checks, as the mismatch lines carry them.
std::string patterns_text(const std::vector<std::uint32_t>& patterns) {
    if (patterns.size() == 1)
        return format("wrong under pattern 0x%x", patterns.front());
    return format("wrong under %d patterns (first 0x%x, last 0x%x)",
                  static_cast<int>(patterns.size()), patterns.front(), patterns.back());
}

using check = std::pair<std::uint32_t, std::uint32_t>; // expected, read

struct checks {
    std::vector<check> reads;
    int aliased = 0;
    std::uint32_t aliased_offset = 0;
};

// Every read is checked against the last value written to its unit. A check
// whose first read is right and whose second read (after the zero write to
// the next unit) is wrong says nothing about the data lines: the zero landed
// on the unit itself, which is an address fault.
checks collect_checks(const trace_section& section) {
    checks result;
    struct unit {
        std::uint32_t value = 0;
        int reads = 0;
        bool first_ok = false;
    };
    std::map<std::uint32_t, unit> units;
    for (const trace_record& line : section.records) {
        if (line.kind == record_kind::write) {
            units[line.a] = unit{line.b, 0, false};
        } else if (line.kind == record_kind::read) {
            auto it = units.find(line.a);
            if (it == units.end())
                continue;
            unit& u = it->second;
            ++u.reads;
            const bool ok = line.b == u.value;
            if (u.reads == 1) {
                u.first_ok = ok;
            } else if (u.first_ok && !ok) {
                if (result.aliased++ == 0)
                    result.aliased_offset = line.a;
                continue;
            }
            result.reads.emplace_back(u.value, line.b);
        }
    }
    return result;
}

// What the memory receives of a store. A stuck line is modelled on the load
// only: what the memory holds behind it never shows.
std::uint32_t to_memory(const line_fault& f, std::uint32_t value) {
    if (f.kind == line_fault_kind::open)
        return value | 1u << f.x; // an unconnected input reads high
    return f.shorted() ? through(f, value) : value;
}

// What a load returns of `held`; an open line keeps the level of the last
// store the processor made to the device.
std::uint32_t from_memory(const line_fault& f, std::uint32_t held, std::uint32_t last_store) {
    const std::uint32_t bit = 1u << f.x;
    if (f.kind == line_fault_kind::open)
        return (held & ~bit) | (last_store & bit);
    return through(f, held);
}

// The FLASH's write operation ends with the reset command, so that is the
// last store before every load of the test.
constexpr std::uint32_t FLASH_RESET = 0xF0;
// The unlock and program cycles: the chip decodes their data bits 7..0 and
// ignores a sequence with any of them wrong. 0xAA and 0x55 between them put
// each of those lines low once.
constexpr std::uint32_t FLASH_PROGRAM_CYCLES[] = {0xAA, 0x55, 0xA0};

struct data_evidence {
    struct check {
        std::uint32_t value = 0;
        int loads = 0;
        std::uint32_t first = 0, second = 0;
        std::size_t before = 0; // how many writes came before its own
    };
    std::vector<check> checks;
    std::vector<std::uint32_t> completed; // values of the writes that returned
    bool timed_out = false;               // a FLASH program that never completed
    std::uint32_t timeout_value = 0;
    std::uint32_t all = 0;
    bool erring = false;        // some load was wrong
    bool only_aliasing = false; // every wrong load is a second load reading zero
    // FLASH: every wrong load is the value ANDed with values written before:
    // programs into a word programmed already, an address line fault.
    bool shared_words = false;
    int shared = 0;
    std::uint32_t shared_offset = 0;
    std::vector<std::uint32_t> failing; // the expected values of failing checks
};

// The value the routine writes at a unit: the walking one at 4k, its
// complement at 4k+2, zero between.
std::uint32_t value_at(std::uint32_t unit, std::uint32_t all) {
    const std::uint32_t k = unit / 4;
    const std::uint32_t one = k < 32 ? 1u << k : 0;
    return unit % 4 == 0 ? one : unit % 4 == 2 ? ~one & all : 0;
}

data_evidence collect_evidence(const trace_section& section, const memory_layout& layout) {
    data_evidence e;
    e.all = all_lines(layout.data_lines);
    std::map<std::uint32_t, std::size_t> by_offset;
    std::vector<std::uint32_t> offsets;
    for (const trace_record& line : section.records) {
        if (line.kind == record_kind::write) {
            e.completed.push_back(line.b);
            if ((line.a / layout.unit_bytes) % 2 == 0) {
                by_offset[line.a] = e.checks.size();
                e.checks.push_back({line.b & e.all, 0, 0, 0, e.completed.size() - 1});
                offsets.push_back(line.a);
            }
        } else if (line.kind == record_kind::read) {
            auto it = by_offset.find(line.a);
            if (it == by_offset.end())
                continue;
            data_evidence::check& c = e.checks[it->second];
            if (c.loads == 0)
                c.first = line.b;
            else if (c.loads == 1)
                c.second = line.b;
            ++c.loads;
        } else if (line.kind == record_kind::poll_timeout && line.a >= layout.base) {
            e.timed_out = true;
            e.timeout_value = value_at((line.a - layout.base) / layout.unit_bytes, e.all);
        }
    }
    e.only_aliasing = true;
    e.shared_words = layout.tested == memory::flash;
    for (std::size_t i = 0; i < e.checks.size(); ++i) {
        const data_evidence::check& c = e.checks[i];
        const bool first_wrong = c.loads > 0 && c.first != c.value;
        const bool second_wrong = c.loads > 1 && c.second != c.value;
        if (!first_wrong && !second_wrong)
            continue;
        e.erring = true;
        e.failing.push_back(c.value);
        if (first_wrong || c.second != 0)
            e.only_aliasing = false;
        // The word may have taken any of the earlier values: the fewest
        // bits it can hold and still read `read` is the AND of all of them
        // that keep those bits.
        // The second load may show the zero write to the next unit as well.
        auto shared = [&](std::uint32_t read, std::size_t writes) {
            std::uint32_t word = e.all;
            for (std::size_t w = 0; w < writes && w < e.completed.size(); ++w)
                if ((read & ~e.completed[w]) == 0)
                    word &= e.completed[w];
            return (c.value & word) == read;
        };
        if (e.shared++ == 0)
            e.shared_offset = offsets[i];
        e.shared_words &=
            shared(c.first, c.before) && (c.loads < 2 || shared(c.second, c.before + 2));
    }
    e.only_aliasing &= e.erring;
    e.shared_words &= e.erring;
    return e;
}

bool explains(const line_fault& f, const data_evidence& e, const memory_layout& layout) {
    const bool flash = layout.tested == memory::flash;
    // A fault that spoils the unlock or program cycles leaves every word
    // erased, and the poll sees only what the lines make of that.
    bool lost = false;
    if (flash)
        for (std::uint32_t cycle : FLASH_PROGRAM_CYCLES)
            lost |= ((to_memory(f, cycle) ^ cycle) & 0xFF) != 0;
    auto held = [&](std::uint32_t value) {
        return (lost ? FLASH_ERASED : to_memory(f, value)) & e.all;
    };
    // The program poll loads the word right after its store, and waits until
    // DQ7 shows the data's bit 7.
    auto poll_done = [&](std::uint32_t value) {
        return ((from_memory(f, held(value), value) ^ value) & 0x80) == 0;
    };
    if (flash) {
        for (std::uint32_t value : e.completed)
            if (!poll_done(value))
                return false;
        if (e.timed_out && poll_done(e.timeout_value))
            return false;
    }
    for (const data_evidence::check& c : e.checks) {
        const std::uint32_t first = from_memory(f, held(c.value), flash ? FLASH_RESET : c.value);
        const std::uint32_t second = from_memory(f, held(c.value), flash ? FLASH_RESET : 0);
        if ((c.loads > 0 && c.first != (first & e.all)) ||
            (c.loads > 1 && c.second != (second & e.all)))
            return false;
    }
    return true;
}

std::string line_name(int line) {
    return format("D%d", line);
}

std::string fault_name(const line_fault& f, bool both_kinds) {
    switch (f.kind) {
    case line_fault_kind::stuck_low:
        return format("data line D%d stuck low", f.x);
    case line_fault_kind::stuck_high:
        return format("data line D%d stuck high", f.x);
    case line_fault_kind::open:
        return format("data line D%d open", f.x);
    default:
        return short_name("data lines", line_name(f.x), line_name(f.y), f, both_kinds);
    }
}

// One finding for all the faults that fit: a short whose kind the trace
// cannot tell is named once, without it.
data_bus_result name_faults(const std::vector<line_fault>& fits, const data_evidence& e,
                            const memory_layout& layout) {
    data_bus_result result;
    for (const line_fault& f : fits) {
        result.faulty_bits |= f.lines();
        // A FLASH that lost its programs reads erased words: every line of
        // every later load is suspect.
        if (f.kind == line_fault_kind::open && layout.tested == memory::flash && f.x < 8)
            result.faulty_bits = e.all;
    }
    const std::vector<std::string> names = candidate_names(fits, fault_name);
    std::string text = alternatives(names);
    // Shorts of one line to any of several others, of one kind, read shorter.
    bool one_line = names.size() > 2;
    std::vector<std::string> others;
    for (const line_fault& f : fits) {
        one_line &= f.kind == fits[0].kind && f.x == fits[0].x && f.shorted();
        others.push_back(line_name(f.y));
    }
    if (one_line)
        text = format("data line D%d shorted%s to one of %s", fits[0].x, short_kind(fits[0]),
                      list_or(others).c_str());
    const std::string patterns =
        e.failing.empty() ? format("the program of 0x%x never completed", e.timeout_value)
                          : patterns_text(e.failing);
    if (names.size() > 1)
        text += ": the trace fits each, " + patterns;
    else if (fits.front().kind == line_fault_kind::open)
        text += ": it reads back the last value on the bus, " + patterns;
    else if (e.failing.empty())
        text += ": " + patterns;
    else
        text += ": they always read alike, " + patterns;
    result.findings.push_back(text);
    return result;
}

// What the reads alone show, line by line: stuck lines, lines that always
// read alike, lines that read wrong, units that alias.
data_bus_result describe_reads(const trace_section& section, const memory_layout& layout) {
    data_bus_result result;
    const int width = layout.data_lines;
    const checks seen = collect_checks(section);
    const std::vector<check>& reads = seen.reads;

    const std::uint32_t all = all_lines(width);
    std::uint32_t erring = 0, ever_one = 0, ever_zero = 0;
    std::vector<std::vector<std::uint32_t>> patterns(width);
    for (auto [expected, got] : reads) {
        const std::uint32_t wrong = (expected ^ got) & all;
        erring |= wrong;
        ever_one |= got;
        ever_zero |= ~got & all;
        for (int b = 0; b < width; ++b)
            if (wrong >> b & 1 && (patterns[b].empty() || patterns[b].back() != expected))
                patterns[b].push_back(expected);
    }
    auto alike = [&](int b, int c) {
        for (auto [expected, got] : reads)
            if ((got >> b & 1) != (got >> c & 1))
                return false;
        return true;
    };

    std::set<std::vector<int>> shorts;
    for (int b = 0; b < width; ++b) {
        if (!(erring >> b & 1))
            continue;
        result.faulty_bits |= 1u << b;
        if (!(ever_one >> b & 1)) {
            result.findings.push_back(
                format("data line D%d stuck low: it reads 0 in every check, %s", b,
                       patterns_text(patterns[b]).c_str()));
            continue;
        }
        if (!(ever_zero >> b & 1)) {
            result.findings.push_back(
                format("data line D%d stuck high: it reads 1 in every check, %s", b,
                       patterns_text(patterns[b]).c_str()));
            continue;
        }
        std::vector<int> group{b};
        for (int c = 0; c < width; ++c)
            if (c != b && alike(b, c))
                group.push_back(c);
        if (group.size() > 1) {
            std::sort(group.begin(), group.end());
            shorts.insert(group);
            continue;
        }
        int low = 0, high = 0;
        for (auto [expected, got] : reads) {
            low += (expected >> b & 1) && !(got >> b & 1);
            high += !(expected >> b & 1) && (got >> b & 1);
        }
        result.findings.push_back(
            format("data line D%d reads wrong: %d %s 0 for 1, %d %s 1 for 0, %s", b, low,
                   plural(low, "time", "times"), high, plural(high, "time", "times"),
                   patterns_text(patterns[b]).c_str()));
    }
    for (const std::vector<int>& group : shorts) {
        std::vector<std::uint32_t> group_patterns;
        std::vector<std::string> group_names;
        for (int b : group) {
            result.faulty_bits |= 1u << b;
            group_names.push_back(line_name(b));
        }
        for (auto [expected, got] : reads)
            for (int b : group)
                if (((expected ^ got) >> b & 1) &&
                    (group_patterns.empty() || group_patterns.back() != expected)) {
                    group_patterns.push_back(expected);
                    break;
                }
        result.findings.push_back(format("data lines %s shorted: they always read alike, %s",
                                         list_and(group_names).c_str(),
                                         patterns_text(group_patterns).c_str()));
    }
    if (seen.aliased > 0)
        result.findings.push_back(
            format("data-bus test: %d %s read back right but wrong once the next unit was "
                   "written (first at offset 0x%x): neighbouring units alias, an address line "
                   "fault",
                   seen.aliased, plural(seen.aliased, "value", "values"), seen.aliased_offset));
    return result;
}

} // namespace

data_bus_result analyse_data_bus(const trace_section& section, const memory_layout& layout) {
    const data_evidence evidence = collect_evidence(section, layout);
    // A FLASH whose programs complete and then one never does shows a fault
    // in its poll even with every load right.
    if (!evidence.erring && !(evidence.timed_out && !evidence.completed.empty()))
        return describe_reads(section, layout);
    const fault_search search{layout.data_lines, /*open=*/true, /*one_level=*/false};
    const std::vector<line_fault> fits =
        fitting_faults(search, [&](const line_fault& f) { return explains(f, evidence, layout); });
    // One stuck line keeps its own words; the first read right and the
    // second one zero is the zero write landing on the unit itself.
    const bool one_stuck = fits.size() == 1 && fits[0].stuck();
    if (fits.empty() && evidence.shared_words && !evidence.only_aliasing) {
        data_bus_result result;
        result.findings.push_back(format(
            "data-bus test: %d %s read back as if ANDed with a value written before (first at "
            "offset 0x%x): units share a word, an address line fault",
            evidence.shared, plural(evidence.shared, "value", "values"), evidence.shared_offset));
        return result;
    }
    if (fits.empty() || one_stuck || evidence.only_aliasing)
        return describe_reads(section, layout);
    return name_faults(fits, evidence, layout);
}

} // namespace korvin
