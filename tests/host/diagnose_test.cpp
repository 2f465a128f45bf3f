#include "diagnose.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "trace_model.h"

namespace korvin {
namespace {

using test::memory_fault;
using test::run_memory_test;
using test::trace_run;
using findings_list = std::vector<std::string>;

// Trace text from lines written "a|b|c", each line then ended by CR LF.
std::string crlf(const std::string& lines) {
    std::string text;
    for (char c : lines)
        text += c == '|' ? std::string("\r\n") : std::string(1, c);
    return text + "\r\n";
}

int count_lines(const std::string& trace, const std::string& prefix) {
    int n = 0;
    std::size_t pos = 0;
    while (pos < trace.size()) {
        std::size_t end = trace.find("\r\n", pos);
        if (trace.compare(pos, prefix.size(), prefix) == 0)
            ++n;
        pos = end + 2;
    }
    return n;
}

std::vector<std::string> mismatch_lines(const std::string& trace) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while ((pos = trace.find("*r", pos)) != std::string::npos) {
        std::size_t end = trace.find("\r\n", pos);
        out.push_back(trace.substr(pos, end - pos));
        pos = end;
    }
    return out;
}

bool any_contains(const findings_list& findings, const std::string& text) {
    for (const std::string& f : findings)
        if (f.find(text) != std::string::npos)
            return true;
    return false;
}

std::string join(const findings_list& findings) {
    std::string s;
    for (const std::string& f : findings)
        s += "  " + f + "\n";
    return s;
}

// The model that generates the fault traces must agree with what the monitor
// is documented to send, or the generated cases prove nothing.
TEST(TraceModel, AgreesWithTheMonitorsDocumentedTraces) {
    trace_run sdram = run_memory_test(memory::sdram, {});
    EXPECT_EQ(sdram.code, 0u);
    EXPECT_EQ(count_lines(sdram.trace, ""), 354);
    trace_run sram = run_memory_test(memory::sram, {});
    EXPECT_EQ(sram.code, 0u);
    EXPECT_EQ(count_lines(sram.trace, ""), 129 + 73);
    trace_run flash = run_memory_test(memory::flash, {});
    EXPECT_EQ(flash.code, 0u);
    EXPECT_EQ(count_lines(flash.trace, " E"), 1); // a fresh chip: sector 0 in the erase plan

    memory_fault d3_low;
    d3_low.data_bit = 3;
    std::vector<std::string> m = mismatch_lines(run_memory_test(memory::sram, d3_low).trace);
    ASSERT_GE(m.size(), 16u);
    EXPECT_EQ(std::vector<std::string>(m.begin(), m.begin() + 5),
              (std::vector<std::string>{"*rfffe", "*rfffd", "*rfffb", "*r8", "*rffef"}));
    EXPECT_EQ(m[15], "*r7fff");

    memory_fault d31_low;
    d31_low.data_bit = 31;
    trace_run d31 = run_memory_test(memory::sdram, d31_low);
    EXPECT_EQ(d31.code, 1u);
    EXPECT_EQ(mismatch_lines(d31.trace).size(), 32u);

    // An open line: the first load right, the second one (after the zero
    // write) without it, under its walking one and every other complement.
    memory_fault d3_open;
    d3_open.open_bit = 3;
    trace_run open = run_memory_test(memory::sram, d3_open);
    m = mismatch_lines(open.trace.substr(0, open.trace.find("\nA")));
    ASSERT_EQ(m.size(), 16u);
    EXPECT_EQ(m[0], "*rfffe");
    EXPECT_NE(open.trace.find(" 18w8\r\n 18r8\r\n 1aw0\r\n 18r0\r\n*r8\r\n"), std::string::npos);

    // A short of word-index bits 2 and 6: three units read the value meant
    // for unit 2^6, at unit 0 (AND) or at the top unit (OR).
    for (bool wired_or : {false, true}) {
        memory_fault a26;
        a26.address_short_a = 2;
        a26.address_short_b = 6;
        a26.address_short_or = wired_or;
        trace_run run = run_memory_test(memory::sdram, a26);
        EXPECT_EQ(mismatch_lines(run.trace), (std::vector<std::string>{"*r7", "*r7", "*r7"}));
        EXPECT_NE(run.trace.find(wired_or ? " 1fffffcr7" : " 0r7"), std::string::npos);
    }

    for (int level : {0, 1}) {
        memory_fault a5;
        a5.address_bit = 5;
        a5.address_level = level;
        trace_run run = run_memory_test(memory::sdram, a5);
        EXPECT_EQ(run.code, 2u);
        EXPECT_EQ(mismatch_lines(run.trace), (std::vector<std::string>{"*r6", "*r6"}));
    }
}

// Literal traces as the monitor sends them (cut short where the rest passes).
struct literal_trace {
    const char* what;
    memory tested;
    std::uint32_t code;
    std::string trace;
    findings_list expected;
};

TEST(Diagnose, LiteralTraces) {
    const literal_trace cases[] = {
        {"SDRAM word-index bit 5 stuck",
         memory::sdram,
         2,
         crlf("Aa0000000 2000000| 0w0| 4w1| 8w2| 10w3| 20w4| 40w5| 80w6| 0r6|*r6| 4r1| 8r2| 10r3| "
              "20r4| 40r5| 80r6| 1fffffcw0| 1fffff8w1| 1fffff4w2| 1ffffecw3| 1ffffdcw4| 1ffffbcw5| "
              "1ffff7cw6| 1fffffcr6|*r6| 1fffff8r1| 1ffff7cr6"),
         {"address line stuck or shorted: word-index bit 5 = byte address bit 7 = processor line "
          "A7 (2 mismatches, first at offset 0x0 read 0x6)"}},
        {"16-bit data line 3 stuck low",
         memory::sram,
         1,
         crlf("Dc8000000| 0w1| 0r1| 2w0| 0r1| 4wfffe| 4rfff6| 6w0| 4rfff6|*rfffe| 8w2| 8r2| aw0| "
              "8r2| cwfffd| crfff5| ew0| crfff5|*rfffd| 10w4| 10r4| 12w0| 10r4| 14wfffb| 14rfff3| "
              "16w0| 14rfff3|*rfffb| 18w8| 18r0| 1aw0| 18r0|*r8| 1cwfff7| 1crfff7| 1ew0| 1crfff7"),
         {"data line D3 stuck low: it reads 0 in every check, wrong under 4 patterns (first "
          "0xfffe, last 0x8)"}},
        {"FLASH D7 stuck low: the first erase never completes",
         memory::flash,
         5,
         crlf("M42|D227e| Ec0000000| Tc0000000"),
         {"FLASH manufacturer code read 0x0042, expected 0x0001 or 0x00C2; only D7 differs from "
          "0x00C2 (read 0): data line D7 stuck low, or another part",
          "FLASH did not complete an erase at 0xc0000000: the chip is absent or dead, D7 is "
          "stuck, or its command cycles do not reach it"}},
        {"FLASH D7 stuck high: the first program never completes",
         memory::flash,
         5,
         crlf("Mc2|D22fe|Dc0000000| Tc0000000"),
         {"FLASH device code read 0x22FE, expected 0x227E; only D7 differs from 0x227E (read 1): "
          "data line D7 stuck high, or another part",
          "FLASH did not complete a program at 0xc0000000: the chip is absent or dead, D7 is "
          "stuck, or its command cycles do not reach it"}},
        {"no FLASH chip",
         memory::flash,
         5,
         crlf("Mffff|Dffff|Dc0000000| Tc0000000"),
         {"FLASH manufacturer code read 0xFFFF, expected 0x0001 or 0x00C2",
          "FLASH device code read 0xFFFF, expected 0x227E",
          "FLASH did not complete a program at 0xc0000000: the chip is absent or dead, D7 is "
          "stuck, or its command cycles do not reach it"}},
        {"another FLASH part",
         memory::flash,
         2,
         crlf("M1|D2271"),
         {"FLASH device code read 0x2271, expected 0x227E"}},
        {"LF-only line ends parse alike",
         memory::flash,
         1,
         "M20\nD227e\n",
         {"FLASH manufacturer code read 0x0020, expected 0x0001 or 0x00C2"}},
    };
    for (const literal_trace& c : cases)
        EXPECT_EQ(diagnose(c.tested, c.code, c.trace), c.expected) << c.what;
}

// What the result code says failed, when the trace has nothing to show.
TEST(Diagnose, NeverSilentOnAFailure) {
    const literal_trace cases[] = {
        {"passed", memory::sdram, 0, crlf("Da0000000|*r1"), {}},
        {"quiet SDRAM", memory::sdram, 1, "", {"data-bus test failed; the trace does not show it"}},
        {"quiet SRAM",
         memory::sram,
         2,
         "",
         {"address-line test failed; the trace does not show it"}},
        {"quiet FLASH identification",
         memory::flash,
         1,
         "",
         {"FLASH manufacturer code wrong (expected 0x0001 or 0x00C2); the trace does not show "
          "the code read"}},
        {"quiet FLASH poll",
         memory::flash,
         5,
         "",
         {"FLASH did not complete a program or erase (result code 5); the trace does not show "
          "the polled address"}},
        {"unknown code", memory::sram, 9, "", {"result code 0x9 is not one this test reports"}},
        {"mismatch line with right reads",
         memory::sram,
         1,
         crlf("Dc8000000| 0w1| 0r1|*r1"),
         {"data-bus test failed with 1 mismatch line but names no line"}},
        {"address mismatch naming no unit",
         memory::sdram,
         2,
         crlf("Aa0000000 2000000| 0w0| 4w1| 0r1f|*r1f"),
         {"address-line test: 1 mismatch that no single address line explains (first at offset "
          "0x0 read 0x1f, expected 0x0)"}},
    };
    for (const literal_trace& c : cases)
        EXPECT_EQ(diagnose(c.tested, c.code, c.trace), c.expected) << c.what;
}

struct device_case {
    memory tested;
    const char* name;
    int data_lines, address_bits;
};

const device_case DEVICES[] = {
    {memory::sdram, "sdram", 32, 23},
    {memory::flash, "flash", 16, 23},
    {memory::sram, "sram", 16, 17},
};

// Every single stuck data line names that line and no other, with the level.
TEST(Diagnose, EveryStuckDataLine) {
    for (const device_case& device : DEVICES)
        for (int bit = 0; bit < device.data_lines; ++bit)
            for (int level : {0, 1}) {
                memory_fault fault;
                fault.data_bit = bit;
                fault.data_level = level;
                trace_run run = run_memory_test(device.tested, fault);
                findings_list findings = diagnose(device.tested, run.code, run.trace);
                std::string where = std::string(device.name) + " D" + std::to_string(bit) + "=" +
                                    std::to_string(level) + " code " + std::to_string(run.code) +
                                    "\n" + join(findings);
                ASSERT_NE(run.code, 0u) << where;
                std::string named =
                    "data line D" + std::to_string(bit) + " stuck " + (level ? "high" : "low");
                EXPECT_TRUE(any_contains(findings, named)) << where;
                EXPECT_FALSE(any_contains(findings, "word-index bit")) << where;
                EXPECT_FALSE(any_contains(findings, "no single")) << where;
                int lines_named = 0;
                for (int other = 0; other < device.data_lines; ++other)
                    lines_named += any_contains(findings, "D" + std::to_string(other) + " ");
                EXPECT_EQ(lines_named, 1) << where;
                // Identification codes read through the fault say so.
                int codes = 0, explained = 0;
                for (const std::string& f : findings) {
                    codes += f.find(" code read ") != std::string::npos;
                    explained += f.find("data line fault below explains") != std::string::npos;
                }
                EXPECT_EQ(explained, device.tested == memory::flash && bit != 7 ? codes : 0)
                    << where;
                if (device.tested == memory::flash && bit == 7) {
                    EXPECT_TRUE(any_contains(findings, "FLASH did not complete")) << where;
                }
                // The address-line test writes only 0 to 23.
                bool address_test_fails = bit <= 4 || level == 1;
                std::uint32_t expected_code = device.tested == memory::flash
                                                  ? (bit == 7             ? 5
                                                     : address_test_fails ? 4
                                                                          : 3)
                                                  : (address_test_fails ? 2 : 1);
                EXPECT_EQ(run.code, expected_code) << where;
                bool stops_in_poll = device.tested == memory::flash && bit == 7;
                EXPECT_EQ(any_contains(findings, "come from the data line fault above"),
                          address_test_fails && !stops_in_poll)
                    << where;
            }
}

// Every single stuck word-index bit names that bit with the device's pins,
// "stuck or shorted", and no data line; a FLASH bit that the unlock cycles
// use leaves only the completion time-out to report.
TEST(Diagnose, EveryStuckAddressLine) {
    for (const device_case& device : DEVICES)
        for (int bit = 0; bit < device.address_bits; ++bit)
            for (int level : {0, 1}) {
                memory_fault fault;
                fault.address_bit = bit;
                fault.address_level = level;
                trace_run run = run_memory_test(device.tested, fault);
                findings_list findings = diagnose(device.tested, run.code, run.trace);
                std::string where = std::string(device.name) + " a" + std::to_string(bit) + "=" +
                                    std::to_string(level) + " code " + std::to_string(run.code) +
                                    "\n" + join(findings);
                ASSERT_NE(run.code, 0u) << where;
                EXPECT_FALSE(any_contains(findings, "data line D")) << where;
                EXPECT_FALSE(any_contains(findings, "no single")) << where;
                if (device.tested == memory::flash && test::breaks_flash_commands(bit)) {
                    EXPECT_EQ(run.code, 5u) << where;
                    EXPECT_TRUE(any_contains(findings, "FLASH did not complete a program at "
                                                       "0xc0000000"))
                        << where;
                    EXPECT_FALSE(any_contains(findings, "word-index bit")) << where;
                    continue;
                }
                char pins[128];
                if (device.tested == memory::sdram)
                    std::snprintf(pins, sizeof pins,
                                  "word-index bit %d = byte address bit %d = processor line A%d ",
                                  bit, bit + 2, bit + 2);
                else
                    std::snprintf(pins, sizeof pins,
                                  "word-index bit %d = chip pin A%d (word mode) = processor "
                                  "line A%d ",
                                  bit, bit, bit + 1);
                EXPECT_TRUE(
                    any_contains(findings, std::string("address line stuck or shorted: ") + pins))
                    << where;
                EXPECT_FALSE(any_contains(findings, "word-index bit " + std::to_string(bit + 1)))
                    << where;
                // Only bit 0 moves a write within one data-bus check.
                EXPECT_EQ(any_contains(findings, "neighbouring units alias"), bit == 0) << where;
                EXPECT_EQ(findings.size(), bit == 0 ? 2u : 1u) << where;
            }
}

// The lines a finding names: data lines "D<n>" and word-index bits. The
// completion time-out's own list of causes ("D7 is stuck") is left out.
struct named_lines {
    std::set<int> data, address;
};

named_lines lines_named(const std::string& finding) {
    named_lines named;
    std::string text = finding;
    const std::string causes = "the chip is absent or dead, D7 is stuck, or its command cycles";
    if (std::size_t at = text.find(causes); at != std::string::npos)
        text.erase(at, causes.size());
    static const std::regex DATA_LINE("\\bD([0-9]+)\\b"), INDEX_BIT("word-index bit ([0-9]+)");
    for (std::sregex_iterator it(text.begin(), text.end(), DATA_LINE), end; it != end; ++it)
        named.data.insert(std::stoi((*it)[1]));
    for (std::sregex_iterator it(text.begin(), text.end(), INDEX_BIT), end; it != end; ++it)
        named.address.insert(std::stoi((*it)[1]));
    return named;
}

std::string index_bit(memory tested, int k) {
    char text[96];
    if (tested == memory::sdram)
        std::snprintf(text, sizeof text,
                      "word-index bit %d = byte address bit %d = processor line A%d", k, k + 2,
                      k + 2);
    else
        std::snprintf(text, sizeof text,
                      "word-index bit %d = chip pin A%d (word mode) = processor line A%d", k, k,
                      k + 1);
    return text;
}

enum class new_kind { data_and, data_or, data_open, address_and, address_or };

struct new_fault {
    const device_case* device;
    new_kind kind;
    int x, y;

    bool data() const { return kind <= new_kind::data_open; }
    memory_fault fault() const {
        memory_fault f;
        if (kind == new_kind::data_open)
            f.open_bit = x;
        else if (data()) {
            f.short_a = x;
            f.short_b = y;
            f.short_or = kind == new_kind::data_or;
        } else {
            f.address_short_a = x;
            f.address_short_b = y;
            f.address_short_or = kind == new_kind::address_or;
        }
        return f;
    }
    std::string text() const {
        const char* kinds[] = {"AND", "OR", "open", "address AND", "address OR"};
        return std::string(device->name) + " " + kinds[static_cast<int>(kind)] + " " +
               std::to_string(x) + (kind == new_kind::data_open ? "" : "," + std::to_string(y));
    }
    // The fault's name with its kind, as a finding that proves it says it,
    // and without the kind, as a list of candidates may have it.
    std::string exact() const {
        const char* wired = kind == new_kind::data_and || kind == new_kind::address_and
                                ? " (wired-AND)"
                                : " (wired-OR)";
        return loose() + (kind == new_kind::data_open ? "" : wired);
    }
    std::string loose() const {
        if (kind == new_kind::data_open)
            return "data line D" + std::to_string(x) + " open";
        if (data())
            return "data lines D" + std::to_string(x) + " and D" + std::to_string(y) + " shorted";
        return "address lines " + index_bit(device->tested, x) + " and " +
               index_bit(device->tested, y) + " shorted";
    }
};

std::vector<new_fault> new_faults() {
    std::vector<new_fault> faults;
    for (const device_case& d : DEVICES) {
        const int w = d.data_lines, m = d.address_bits;
        const std::vector<std::pair<int, int>> data_pairs = {
            {0, 1}, {3, 4}, {7, 8}, {w - 2, w - 1}, {0, w - 1}, {3, 12}, {0, 2},
            {2, 6}, {1, 3}, {5, 7}, {4, 6},         {8, 13},    {9, 11}, {w / 2 - 1, w / 2}};
        for (auto [x, y] : data_pairs)
            for (new_kind k : {new_kind::data_and, new_kind::data_or})
                faults.push_back({&d, k, x, y});
        for (int x = 0; x < w; ++x)
            faults.push_back({&d, new_kind::data_open, x, x});
        const std::vector<std::pair<int, int>> address_pairs = {
            {0, 1}, {1, 2}, {4, 5}, {11, 12},    {m - 2, m - 1}, {0, m - 1}, {3, 15},
            {2, 9}, {1, 3}, {6, 7}, {12, m - 3}, {5, 16},        {0, 6},     {10, 11}};
        for (auto [x, y] : address_pairs)
            for (new_kind k : {new_kind::address_and, new_kind::address_or})
                faults.push_back({&d, k, x, y});
    }
    return faults;
}

// Shorted and open lines, on every device: each is detected; where the test
// that sees it ran, it is named with its kind or listed among candidates
// that include it; no finding names a line outside the fault.
TEST(Diagnose, ShortedAndOpenLines) {
    int exact = 0, candidates = 0, unseen = 0;
    for (const new_fault& c : new_faults()) {
        trace_run run = run_memory_test(c.device->tested, c.fault());
        findings_list findings = diagnose(c.device->tested, run.code, run.trace);
        const std::string where =
            c.text() + " code " + std::to_string(run.code) + "\n" + join(findings);
        ASSERT_NE(run.code, 0u) << where;
        ASSERT_FALSE(findings.empty()) << where;
        bool named = false, listed = false;
        for (const std::string& f : findings) {
            const bool list = f.find(": the trace fits each") != std::string::npos;
            named |= !list && f.find(c.exact()) == 0;
            listed |= list && f.find(c.loose()) != std::string::npos;
            if (list)
                continue;
            const named_lines lines = lines_named(f);
            for (int d : lines.data)
                EXPECT_TRUE(c.data() && (d == c.x || d == c.y)) << "names D" << d << ": " << where;
            for (int a : lines.address)
                EXPECT_TRUE(!c.data() && (a == c.x || a == c.y))
                    << "names bit " << a << ": " << where;
        }
        // The test that sees the fault never ran when the FLASH stopped
        // taking commands before it.
        const bool seen = c.data() ? run.trace.find(" 0r") != std::string::npos
                                   : run.trace.find("\nA") != std::string::npos;
        if (!seen) {
            ++unseen;
            EXPECT_EQ(c.device->tested, memory::flash) << where;
            EXPECT_TRUE(any_contains(findings, "FLASH did not complete")) << where;
            continue;
        }
        EXPECT_TRUE(named || listed) << where;
        // A FLASH line D8 to D15 open reads back the reset command's 0, as
        // if stuck low; every other fault here the trace proves.
        const bool alike =
            c.device->tested == memory::flash && c.kind == new_kind::data_open && c.x >= 8;
        EXPECT_EQ(named, !alike) << where;
        exact += named;
        candidates += listed && !named;
    }
    std::printf("named exactly %d, among candidates %d, not seen by the test %d\n", exact,
                candidates, unseen);
}

// A trace cut short after the first check that fails fits every short of
// that line to a line not yet walked: all are listed, none is named alone.
TEST(Diagnose, CutTraceListsEveryShortItFits) {
    for (const device_case& device : {DEVICES[0], DEVICES[2]}) {
        memory_fault fault;
        fault.short_a = 3;
        fault.short_b = 12;
        const trace_run run = run_memory_test(device.tested, fault);
        const std::size_t cut = run.trace.find("*r8\r\n");
        ASSERT_NE(cut, std::string::npos) << device.name;
        const findings_list findings =
            diagnose(device.tested, run.code, run.trace.substr(0, cut + 5));
        // The result code's address-line failure is all that is left of it.
        ASSERT_EQ(findings.size(), 2u) << device.name << "\n" << join(findings);
        EXPECT_EQ(findings[1], "address-line test failed; the trace does not show it");
        const std::string& f = findings[0];
        EXPECT_EQ(f.rfind("data line D3 shorted (wired-AND) to one of D4, D5, D6, ", 0), 0u) << f;
        EXPECT_NE(f.find(" D12, "), std::string::npos) << f;
        EXPECT_NE(f.find(": the trace fits each, wrong under pattern 0x8"), std::string::npos) << f;
        EXPECT_EQ(f.find("D2 "), std::string::npos) << f;
        EXPECT_EQ(f.find("stuck"), std::string::npos) << f;
    }
}

// Damaged or cut-off traces (a link that dropped, line noise) must not upset
// the parser, and a failure still gets a finding.
TEST(Diagnose, SurvivesGarbageAndTruncation) {
    std::mt19937 random(6);
    const std::string alphabet = " 0123456789abcdefwrDAMET*\r\n:?\x01\xff";
    for (int i = 0; i < 300; ++i) {
        std::string trace(random() % 3000, ' ');
        for (char& c : trace)
            c = alphabet[random() % alphabet.size()];
        for (const device_case& device : DEVICES)
            EXPECT_FALSE(diagnose(device.tested, 1 + random() % 6, trace).empty());
    }
    memory_fault fault;
    fault.data_bit = 2;
    trace_run run = run_memory_test(memory::flash, fault);
    for (std::size_t cut = 0; cut < run.trace.size(); cut += 97)
        EXPECT_FALSE(diagnose(memory::flash, run.code, run.trace.substr(0, cut)).empty());
}

} // namespace
} // namespace korvin
