// The diagnosis alone, on traces written out as the monitor sends them: the
// cases a board cannot produce on demand (cut, garbled, odd result codes).
// What it makes of real faults, the fault matrix checks on the boot image.
#include "diagnose.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace korvin {
namespace {

using findings_list = std::vector<std::string>;

// Trace text from lines written "a|b|c", each line then ended by CR LF.
std::string crlf(const std::string& lines) {
    std::string text;
    for (char c : lines)
        text += c == '|' ? std::string("\r\n") : std::string(1, c);
    return text + "\r\n";
}

// Literal traces as the monitor sends them (cut short where the rest passes).
struct literal_trace {
    const char* what;
    memory tested;
    std::uint32_t code;
    std::string trace;
    findings_list expected;
};

const literal_trace TRACES[] = {
    // Column bit 5 moved (the trace is cut before the row bit 5 unit). Pin A5 held low, or
    // ANDed with a pin the column command drives low, would also have loaded CAS latency 1
    // into the mode register (0x033 with A5 low): every load undefined. High it is.
    {"SDRAM address pin A5 stuck high",
     memory::sdram,
     2,
     crlf("Aa0000000 2000000| 0w0| 4w1| 8w2| 10w3| 20w4| 40w5| 80w6| 0r6|*r6| 4r1| 8r2| 10r3| "
          "20r4| 40r5| 80r6| 1fffffcw0| 1fffff8w1| 1fffff4w2| 1ffffecw3| 1ffffdcw4| 1ffffbcw5| "
          "1ffff7cw6| 1fffffcr6|*r6| 1fffff8r1| 1ffff7cr6"),
     {"SDRAM address pin A5 (processor MA5) stuck high or open: row and column bit 5 (2 "
      "mismatches, first at offset 0x0 read 0x6)"}},
    // Nothing drives the data lines: every load reads the store before it.
    {"SRAM chip off the bus",
     memory::sram,
     1,
     crlf("Dc8000000| 0w1| 0r1| 2w0| 0r0|*r1| 4wfffe| 4rfffe| 6w0| 4r0|*rfffe"),
     {"SRAM chip select CS1 stuck high or open, or SRAM output enable OE stuck high or open, or "
      "SRAM write enable WE stuck low: the trace fits each: the chip never drives the data "
      "lines, every load reads back the last value on the bus (2 wrong of 4 loads)"}},
    {"SDRAM byte lane 0 masked",
     memory::sdram,
     1,
     crlf("Da0000000| 0w1| 0r1| 4w0| 0r0|*r1| 8wfffffffe| 8rfffffffe| cw0| 8rffffff00|*rfffffffe"),
     {"SDRAM byte lane 0 (DQM0, bits 7-0) stuck high or open: the lane is neither written nor "
      "driven, its loads read back the last value on the bus (2 wrong of 4 loads)"}},
    // Word 0 reads its old contents after 1 and after 0 were written to it.
    {"SRAM takes no store",
     memory::sram,
     2,
     crlf("Dc8000000| 0w1| 0r5a5a| 2w0| 0r5a5a|*r1|Ac8000000 40000| 0w0| 2w1| 0r5a5a|*r5a5a"),
     {"SRAM write enable WE stuck high or open: no store reaches the chip, every load reads "
      "what it held before (3 wrong of 3 loads)"}},
    {"FLASH identification reads back the autoselect command",
     memory::flash,
     5,
     crlf("M90|D90| Ec0000000| Tc0000000"),
     {"FLASH manufacturer code read 0x0090, expected 0x0001 or 0x00C2",
      "FLASH device code read 0x0090, expected 0x227E",
      "FLASH chip select CS0 stuck high or open, or FLASH output enable OE stuck high or open, "
      "or FLASH write enable WE stuck low: the trace fits each: the chip never drives the data "
      "lines, its identification read back 0x0090, the autoselect command's own data",
      "FLASH did not complete an erase at 0xc0000000: the chip is absent or dead, D7 is "
      "stuck, its command cycles do not reach it, or a cell of that sector will not erase"}},
    {"16-bit data line 3 stuck low",
     memory::sram,
     1,
     crlf("Dc8000000| 0w1| 0r1| 2w0| 0r1| 4wfffe| 4rfff6| 6w0| 4rfff6|*rfffe| 8w2| 8r2| aw0| "
          "8r2| cwfffd| crfff5| ew0| crfff5|*rfffd| 10w4| 10r4| 12w0| 10r4| 14wfffb| 14rfff3| "
          "16w0| 14rfff3|*rfffb| 18w8| 18r0| 1aw0| 18r0|*r8| 1cwfff7| 1crfff7| 1ew0| 1crfff7"),
     {"data line D3 stuck low: it reads 0 in every check, wrong under 4 patterns (first "
      "0xfffe, last 0x8)"}},
    // The same with line noise: a read it garbled, a line of its own.
    {"16-bit data line 3 stuck low, noise on the line",
     memory::sram,
     1,
     crlf("Dc8000000| 0w1| 0r1| 2w0| 0r1| 4wfffe| 4rfff6| 6w0| 4rfff6|*rfffe| 8w2| 8r2| aw0| "
          "8\xffr2|?\x01| cwfffd| crfff5| ew0| crfff5|*rfffd| 10w4| 10r4| 12w0| 10r4| 14wfffb| "
          "14rfff3| 16w0| 14rfff3|*rfffb| 18w8| 18r0| 1aw0| 18r0|*r8| 1cwfff7| 1crfff7| 1ew0| "
          "1crfff7"),
     {"data line D3 stuck low: it reads 0 in every check, wrong under 4 patterns (first "
      "0xfffe, last 0x8)"}},
    {"FLASH D7 stuck low: the first erase never completes",
     memory::flash,
     5,
     crlf("M42|D227e| Ec0000000| Tc0000000"),
     {"FLASH manufacturer code read 0x0042, expected 0x0001 or 0x00C2; only D7 differs from "
      "0x00C2 (read 0): data line D7 stuck low, or another part",
      "FLASH did not complete an erase at 0xc0000000: the chip is absent or dead, D7 is "
      "stuck, its command cycles do not reach it, or a cell of that sector will not erase"}},
    {"FLASH D7 stuck high: the first program never completes",
     memory::flash,
     5,
     crlf("Mc2|D22fe|Dc0000000| Tc0000000"),
     {"FLASH device code read 0x22FE, expected 0x227E; only D7 differs from 0x227E (read 1): "
      "data line D7 stuck high, or another part",
      "FLASH did not complete a program at 0xc0000000: the chip is absent or dead, D7 is "
      "stuck, its command cycles do not reach it, or a cell there will not program"}},
    {"no FLASH chip",
     memory::flash,
     5,
     crlf("Mffff|Dffff|Dc0000000| Tc0000000"),
     {"FLASH manufacturer code read 0xFFFF, expected 0x0001 or 0x00C2",
      "FLASH device code read 0xFFFF, expected 0x227E",
      "FLASH did not complete a program at 0xc0000000: the chip is absent or dead, D7 is "
      "stuck, its command cycles do not reach it, or a cell there will not program"}},
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
    // D3 and D12 wired-AND, the trace cut after the first check that fails:
    // every line not yet walked could be D3's partner.
    {"cut after the first failure",
     memory::sram,
     2,
     crlf("Dc8000000| 0w1| 0r1| 2w0| 0r1| 4wfffe| 4rfffe| 6w0| 4rfffe| 8w2| 8r2| aw0| 8r2| "
          "cwfffd| crfffd| ew0| crfffd| 10w4| 10r4| 12w0| 10r4| 14wfffb| 14rfffb| 16w0| "
          "14rfffb| 18w8| 18r0| 1aw0| 18r0|*r8"),
     {"data line D3 shorted (wired-AND) to one of D4, D5, D6, D7, D8, D9, D10, D11, D12, D13, "
      "D14 or D15: the trace fits each, wrong under pattern 0x8",
      "address-line test failed; the trace does not show it"}},
};

TEST(Diagnose, LiteralTraces) {
    for (const literal_trace& c : TRACES)
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

// Damaged or cut-off traces (a link that dropped, line noise) must not upset
// the parser, and a failure still gets a finding.
TEST(Diagnose, SurvivesGarbageAndTruncation) {
    std::mt19937 random(6);
    const std::string alphabet = " 0123456789abcdefwrDAMET*\r\n:?\x01\xff";
    for (int i = 0; i < 300; ++i) {
        std::string trace(random() % 3000, ' ');
        for (char& c : trace)
            c = alphabet[random() % alphabet.size()];
        for (memory tested : {memory::sdram, memory::flash, memory::sram})
            EXPECT_FALSE(diagnose(tested, 1 + random() % 6, trace).empty());
    }
    for (const literal_trace& c : TRACES)
        for (std::size_t cut = 0; cut < c.trace.size(); ++cut)
            EXPECT_FALSE(diagnose(c.tested, c.code, c.trace.substr(0, cut)).empty())
                << c.what << " cut at " << cut;
}

} // namespace
} // namespace korvin
