#include "full_test.h"

#include "bench.h"
#include "full_flash.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <set>

namespace korvin {

namespace {

struct full_memory {
    memory tested;
    const char* name;
    const char* lane_enable; // the byte lanes' mask or enable lines, numbered by lane
    std::uint32_t base, size;
    unsigned width;
};

const full_memory MEMORIES[] = {
    {memory::sdram, "SDRAM", "DQM", 0xA0000000, 0x2000000, 4},
    {memory::sram, "SRAM", "EB", 0xC8000000, 0x40000, 2},
};

const full_memory* memory_of(memory tested) {
    for (const full_memory& m : MEMORIES)
        if (m.tested == tested)
            return &m;
    return nullptr;
}

std::string text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string text(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

int bit_number(std::uint32_t mask) {
    int n = 0;
    while (mask > 1) {
        mask >>= 1;
        ++n;
    }
    return n;
}

// Which bit of the word at `aggressor` disturbs `victim`: each bit alone
// taken from 0 to 1 with the victim at 0. 0 when none does (or no answer).
std::uint32_t aggressor_bit(const full_memory& m, std::uint32_t aggressor, std::uint32_t victim,
                            full_test_result& result) {
    for (unsigned k = 0; k < m.width * 8; ++k) {
        const std::uint32_t bit = 1u << k;
        for (const auto& [address, value] :
             {std::pair{aggressor, 0u}, std::pair{victim, 0u}, std::pair{aggressor, bit}})
            if (!answered(bench_exchange(BENCH_WRITE, bench_write(m.width, address, value)),
                          result))
                return 0;
        const bench_answer read = bench_exchange(BENCH_READ, bench_read(m.width, victim));
        if (!answered(read, result))
            return 0;
        if (!read.lines.empty() && std::stoul(read.lines[0], nullptr, 16) != 0)
            return bit;
    }
    return 0;
}

// Names the cell that disturbs `cell`, or says that none was found.
std::string coupling_finding(const full_memory& m, std::uint32_t size, const march_cell& cell,
                             full_test_result& result) {
    const bench_answer a =
        bench_exchange(BENCH_COUPLING, bench_hex(m.width, 1) + bench_hex(cell.address, 8) +
                                           bench_hex(m.base, 8) + bench_hex(size, 8));
    if (!answered(a, result))
        return "";
    for (const std::string& line : a.lines) {
        unsigned long aggressor = 0;
        if (std::sscanf(line.c_str(), "C %lx", &aggressor) != 1)
            continue;
        const std::uint32_t bit =
            aggressor_bit(m, static_cast<std::uint32_t>(aggressor), cell.address, result);
        if (result.lost)
            return "";
        if (bit != 0)
            return text("%s word 0x%08lx bit %d and word 0x%08x bit %d are coupled: a change "
                        "of the first changes the second",
                        m.name, aggressor, bit_number(bit), cell.address, bit_number(cell.bit));
    }
    return text("%s word 0x%08x bit %d fails the march test, but no single bit disturbs it", m.name,
                cell.address, bit_number(cell.bit));
}

// The level the cell keeps when written alone to 0 and then to 1, or to 1 and
// then to 0: a bit stuck (or unable to leave a level) keeps one; -1 when it
// takes both, as a victim of coupling does, or when no answer came.
int kept_level(const full_memory& m, const march_cell& cell, full_test_result& result) {
    const std::uint32_t ones = m.width == 4 ? 0xFFFFFFFFu : (1u << (m.width * 8)) - 1;
    for (const std::uint32_t level : {ones, 0u}) {
        for (const std::uint32_t value : {level ^ ones, level})
            if (!answered(bench_exchange(BENCH_WRITE, bench_write(m.width, cell.address, value)),
                          result))
                return -1;
        const bench_answer read = bench_exchange(BENCH_READ, bench_read(m.width, cell.address));
        if (!answered(read, result) || read.lines.empty())
            return -1;
        if ((std::stoul(read.lines[0], nullptr, 16) & cell.bit) != (level & cell.bit))
            return level ? 0 : 1;
    }
    return -1;
}

} // namespace

bool answered(const bench_answer& a, full_test_result& result) {
    if (a.result != bench_result::lost)
        return true;
    result.lost = true;
    result.why_lost = a.why_lost;
    return false;
}

bool full_test_covers(memory tested) {
    return memory_of(tested) != nullptr || tested == memory::flash;
}

std::vector<march_cell> march_cells(const std::vector<std::string>& lines) {
    std::vector<march_cell> cells;
    std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
    for (const std::string& line : lines) {
        unsigned element = 0;
        unsigned long address = 0, expected = 0, got = 0;
        if (std::sscanf(line.c_str(), "F%1u %lx %lx %lx", &element, &address, &expected, &got) != 4)
            continue;
        for (std::uint32_t diff = static_cast<std::uint32_t>(expected ^ got); diff != 0;
             diff &= diff - 1) {
            const std::uint32_t bit = diff & (~diff + 1);
            if (seen.insert({static_cast<std::uint32_t>(address), bit}).second)
                cells.push_back({static_cast<std::uint32_t>(address), bit});
        }
    }
    return cells;
}

std::vector<std::string> lane_findings(memory tested, const std::vector<std::string>& lines) {
    std::vector<std::string> findings;
    const full_memory* m = memory_of(tested);
    if (!m)
        return findings;
    std::set<unsigned> named;
    for (const std::string& line : lines) {
        unsigned width = 0, offset = 0;
        unsigned long unit = 0, expected = 0, got = 0;
        if (std::sscanf(line.c_str(), "L%1u%1u %lx %lx %lx", &width, &offset, &unit, &expected,
                        &got) != 5)
            continue;
        const std::uint32_t diff = static_cast<std::uint32_t>(expected ^ got);
        for (unsigned lane = 0; lane < m->width; ++lane) {
            if (!(diff & (0xFFu << (lane * 8))) || !named.insert(lane).second)
                continue;
            const bool addressed = lane >= offset && lane < offset + width;
            const char* store = width == 1 ? "byte" : "halfword";
            if (addressed)
                findings.push_back(text("%s byte lane %u (%s%u) does not take a %s store to it",
                                        m->name, lane, m->lane_enable, lane, store));
            else
                findings.push_back(text("%s byte lane %u (%s%u) stuck enabled: a %s store to "
                                        "lane %u also writes lane %u",
                                        m->name, lane, m->lane_enable, lane, store, offset, lane));
        }
    }
    return findings;
}

full_test_result full_test(memory tested, std::uint32_t range, bool after_failure) {
    if (tested == memory::flash)
        return full_flash_test(range);
    full_test_result result;
    const full_memory* m = memory_of(tested);
    if (!m)
        return result;
    const std::uint32_t size =
        range == 0 || range > m->size ? m->size : (range + m->width - 1) / m->width * m->width;
    if (!answered(bench_exchange(BENCH_SETUP, ""), result))
        return result;
    const bench_answer march = bench_exchange(BENCH_MARCH, bench_range(m->width, m->base, size));
    if (!answered(march, result))
        return result;
    if (after_failure && march.result == bench_result::found_more) {
        result.passed = false;
        result.findings.push_back(text("more %s units fail the march test than it names: the "
                                       "fault the test found fails them, so no cell is named",
                                       m->name));
        return result;
    }
    // March C- cannot tell a stuck bit from the victim of a coupled cell:
    // each failing cell is written alone to see which it is.
    for (const march_cell& cell : march_cells(march.lines)) {
        const int level = kept_level(*m, cell, result);
        const std::string finding = result.lost ? ""
                                    : level >= 0
                                        ? text("%s word 0x%08x bit %d stuck at %d", m->name,
                                               cell.address, bit_number(cell.bit), level)
                                        : coupling_finding(*m, size, cell, result);
        if (result.lost)
            return result;
        result.findings.push_back(finding);
    }
    if (march.result == bench_result::found_more)
        result.findings.push_back(text("more %s cells fail than the march test names", m->name));
    if (!after_failure) {
        const bench_answer lanes = bench_exchange(BENCH_LANES, bench_hex(m->base, 8));
        if (!answered(lanes, result))
            return result;
        for (const std::string& finding : lane_findings(tested, lanes.lines))
            result.findings.push_back(finding);
    }
    result.passed = result.findings.empty() && march.result == bench_result::done;
    return result;
}

} // namespace korvin
