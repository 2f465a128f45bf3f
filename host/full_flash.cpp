#include "full_flash.h"

#include "bench.h"

#include <cstdio>
#include <string>

namespace korvin {

namespace {

// Words a program finding names at most; a dead data or address line fails
// thousands, and the first few say which.
constexpr std::size_t MAX_PROGRAM_FINDINGS = 8;

int bit_number(unsigned long mask) {
    int n = 0;
    while (mask > 1) {
        mask >>= 1;
        ++n;
    }
    return n;
}

std::uint32_t sector_number(std::uint32_t address) {
    return (address - FLASH_FULL_BASE) / FLASH_FULL_SECTOR;
}

std::string sector_name(std::uint32_t sector) {
    char text[64];
    std::snprintf(text, sizeof text, "FLASH sector %u (0x%08x)", sector_number(sector), sector);
    return text;
}

// The address a "T address" line names, or false.
bool timed_out_at(const std::vector<std::string>& lines, std::uint32_t& address) {
    for (const std::string& line : lines) {
        unsigned long a = 0;
        if (std::sscanf(line.c_str(), "T %lx", &a) == 1) {
            address = static_cast<std::uint32_t>(a);
            return true;
        }
    }
    return false;
}

} // namespace

std::string flash_erase_finding(std::uint32_t sector, const std::vector<std::string>& lines,
                                bool more) {
    std::string finding;
    unsigned words = 0;
    for (const std::string& line : lines) {
        unsigned long address = 0, got = 0;
        if (std::sscanf(line.c_str(), "B %lx %lx", &address, &got) != 2)
            continue;
        if (++words == 1) {
            char text[96];
            std::snprintf(text, sizeof text, " did not erase: word 0x%08lx reads 0x%04lx", address,
                          got);
            finding = sector_name(sector) + text;
        }
    }
    if (words > 1 || more)
        finding += std::string(more ? " (and more than " : " (and ") + std::to_string(words - 1) +
                   (words == 2 ? " other word)" : " other words)");
    return finding;
}

std::vector<std::string> flash_program_findings(const std::vector<std::string>& lines) {
    std::vector<std::string> findings;
    for (const std::string& line : lines) {
        unsigned long address = 0, programmed = 0, got = 0;
        if (std::sscanf(line.c_str(), "P %lx %lx %lx", &address, &programmed, &got) != 3)
            continue;
        char text[128];
        std::snprintf(text, sizeof text, "FLASH word 0x%08lx programmed 0x%04lx reads 0x%04lx",
                      address, programmed, got);
        std::string finding = text;
        // Programming only clears bits: a single one left where a zero was programmed
        // is a bit that did not program (a data line stuck high reads the same; the
        // FLASH test names a line).
        const unsigned long kept = got & ~programmed, lost = programmed & ~got;
        if (kept != 0 && lost == 0 && !(kept & (kept - 1)))
            finding += ": bit " + std::to_string(bit_number(kept)) + " did not program";
        findings.push_back(finding);
    }
    return findings;
}

full_test_result full_flash_test(std::uint32_t range) {
    full_test_result result;
    const std::uint32_t size =
        range == 0 || range >= FLASH_FULL_SIZE
            ? FLASH_FULL_SIZE
            : (range + FLASH_FULL_SECTOR - 1) / FLASH_FULL_SECTOR * FLASH_FULL_SECTOR;
    if (!answered(bench_exchange(BENCH_SETUP, ""), result))
        return result;
    std::vector<std::uint32_t> erased;
    std::uint32_t at = 0;
    for (std::uint32_t sector = FLASH_FULL_BASE; sector - FLASH_FULL_BASE < size;
         sector += FLASH_FULL_SECTOR) {
        const bench_answer a = bench_exchange(
            BENCH_FLASH_ERASE, bench_hex(sector, 8) + bench_hex(FLASH_FULL_SECTOR, 8));
        if (!answered(a, result))
            return result;
        if (a.result == bench_result::no_finish && timed_out_at(a.lines, at)) {
            result.findings.push_back(sector_name(sector) +
                                      " never finished its erase: the status polls ran out");
            result.passed = false;
            return result;
        }
        const std::string finding =
            flash_erase_finding(sector, a.lines, a.result == bench_result::found_more);
        if (finding.empty())
            erased.push_back(sector);
        else
            result.findings.push_back(finding);
    }
    std::size_t named = 0;
    bool more = false;
    for (const std::uint32_t sector : erased) {
        const bench_answer a = bench_exchange(
            BENCH_FLASH_PROGRAM, bench_hex(sector, 8) + bench_hex(FLASH_FULL_SECTOR, 8));
        if (!answered(a, result))
            return result;
        if (a.result == bench_result::no_finish && timed_out_at(a.lines, at)) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "FLASH word 0x%08x never finished its program: the status polls ran out",
                          at);
            result.findings.push_back(text);
            result.passed = false;
            return result;
        }
        for (const std::string& finding : flash_program_findings(a.lines)) {
            if (named++ < MAX_PROGRAM_FINDINGS)
                result.findings.push_back(finding);
            else
                more = true;
        }
        more = more || a.result == bench_result::found_more;
    }
    if (more)
        result.findings.push_back("more FLASH words read back wrong than are named");
    result.passed = result.findings.empty();
    return result;
}

} // namespace korvin
