// Data-bus test: walking ones and zeros through one unit and its neighbour.
#include "analysers.h"

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

std::string line_names(const std::vector<int>& group) {
    std::string names;
    for (std::size_t i = 0; i < group.size(); ++i)
        names += format("%sD%d", i == 0 ? "" : i + 1 == group.size() ? " and " : ", ", group[i]);
    return names;
}

} // namespace

data_bus_result analyse_data_bus(const trace_section& section, const memory_layout& layout) {
    data_bus_result result;
    const int width = layout.data_lines;
    const checks seen = collect_checks(section);
    const std::vector<check>& reads = seen.reads;

    const std::uint32_t all = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
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
        for (int b : group)
            result.faulty_bits |= 1u << b;
        for (auto [expected, got] : reads)
            for (int b : group)
                if (((expected ^ got) >> b & 1) &&
                    (group_patterns.empty() || group_patterns.back() != expected)) {
                    group_patterns.push_back(expected);
                    break;
                }
        result.findings.push_back(format("data lines %s shorted: they always read alike, %s",
                                         line_names(group).c_str(),
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

} // namespace korvin
