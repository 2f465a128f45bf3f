// The trace parser alone: each line the monitor can send, and what is not one.
#include "trace.h"

#include <gtest/gtest.h>

namespace korvin {
namespace {

struct line_case {
    memory tested;
    std::string line;
    record_kind kind;
    std::uint32_t a, b;
};

TEST(Trace, EachLineBecomesItsRecord) {
    const line_case cases[] = {
        {memory::sram, "Dc8000000", record_kind::data_header, 0xc8000000, 0},
        {memory::sdram, "Da0000000", record_kind::data_header, 0xa0000000, 0},
        {memory::sram, "Ac8000000 40000", record_kind::address_header, 0xc8000000, 0x40000},
        {memory::sram, " 0w1", record_kind::write, 0, 1},
        {memory::sdram, " 4rfffffffe", record_kind::read, 4, 0xfffffffe},
        {memory::sram, "*r8000", record_kind::mismatch, 0x8000, 0},
        {memory::flash, "M1", record_kind::manufacturer, 1, 0},
        {memory::flash, "Mc2", record_kind::manufacturer, 0xc2, 0},
        // The FLASH's device line and the data-bus header share their letter.
        {memory::flash, "D227e", record_kind::device, 0x227e, 0},
        {memory::flash, "Dc0000000", record_kind::data_header, 0xc0000000, 0},
        {memory::sram, "D227e", record_kind::data_header, 0x227e, 0},
        {memory::flash, " E20000", record_kind::erase, 0x20000, 0},
        {memory::flash, " Tc0000000", record_kind::poll_timeout, 0xc0000000, 0},
        // Upper-case digits are read too; nine digits are not a number.
        {memory::sram, " 1Ew2A", record_kind::write, 0x1e, 0x2a},
        {memory::sram, " 123456789w1", record_kind::other, 0, 0},
        {memory::sram, " 0x1", record_kind::other, 0, 0},
        {memory::sram, " 0w", record_kind::other, 0, 0},
        {memory::sram, " 0w1 ", record_kind::other, 0, 0},
        {memory::sram, "*w1", record_kind::other, 0, 0},
        {memory::sram, "Ac8000000", record_kind::other, 0, 0},
        {memory::sram, "D", record_kind::other, 0, 0},
        {memory::sram, "hello", record_kind::other, 0, 0},
        {memory::flash, " E", record_kind::other, 0, 0},
    };
    for (const line_case& c : cases) {
        const std::vector<trace_record> records = parse_trace(c.tested, c.line + "\r\n");
        ASSERT_EQ(records.size(), 1u) << c.line;
        EXPECT_EQ(records[0].kind, c.kind) << '"' << c.line << '"';
        EXPECT_EQ(records[0].a, c.a) << c.line;
        EXPECT_EQ(records[0].b, c.b) << c.line;
    }
}

TEST(Trace, TheLineAfterTheManufacturerIsTheDeviceEvenAtTheBase) {
    // A device code that reads as the FLASH's base can only come after "M".
    const auto records = parse_trace(memory::flash, "M1\r\nDc0000000\r\nDc0000000\r\n");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].kind, record_kind::device);
    EXPECT_EQ(records[2].kind, record_kind::data_header);
}

TEST(Trace, LineEndsAndACutLastLine) {
    const auto records = parse_trace(memory::sram, " 0w1\n\r\n 0r1\r\n 2w");
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].kind, record_kind::write);
    EXPECT_EQ(records[1].kind, record_kind::other); // the empty line
    EXPECT_EQ(records[2].kind, record_kind::read);
    EXPECT_EQ(records[3].kind, record_kind::other);
    EXPECT_TRUE(parse_trace(memory::sram, "").empty());
}

} // namespace
} // namespace korvin
