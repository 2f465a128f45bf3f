#include "trace.h"

#include "memory_layout.h"

namespace korvin {
namespace {

// Reads the hex number at s[pos], as the monitor prints it (no prefix, at
// most 8 digits); false when there is none.
bool parse_hex(const std::string& s, std::size_t& pos, std::uint32_t& value) {
    const std::size_t start = pos;
    value = 0;
    while (pos < s.size() && pos - start < 9) {
        const char c = s[pos];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        value = value << 4 | static_cast<std::uint32_t>(digit);
        ++pos;
    }
    return pos > start && pos - start <= 8;
}

// A letter and one number that ends the line: "M1", " E20000".
trace_record one_number(const std::string& s, std::size_t pos, record_kind kind) {
    std::uint32_t a = 0;
    if (!parse_hex(s, pos, a) || pos != s.size())
        return {};
    return {kind, a, 0};
}

trace_record parse_line(const std::string& s, const memory_layout& layout, bool after_id) {
    if (s.size() < 2)
        return {};
    std::size_t pos = 1;
    std::uint32_t a = 0, b = 0;
    switch (s[0]) {
    case 'D': {
        trace_record line = one_number(s, 1, record_kind::data_header);
        // The FLASH's device line shares the data-bus header's letter; a
        // 16-bit code can never equal the header's base address.
        if (line.kind != record_kind::other && layout.tested == memory::flash &&
            (after_id || line.a != layout.base))
            line.kind = record_kind::device;
        return line;
    }
    case 'M':
        return one_number(s, 1, record_kind::manufacturer);
    case 'A':
        if (!parse_hex(s, pos, a) || pos >= s.size() || s[pos] != ' ')
            return {};
        ++pos;
        if (!parse_hex(s, pos, b) || pos != s.size())
            return {};
        return {record_kind::address_header, a, b};
    case '*':
        return s[1] == 'r' ? one_number(s, 2, record_kind::mismatch) : trace_record{};
    case ' ':
        if (s[1] == 'E')
            return one_number(s, 2, record_kind::erase);
        if (s[1] == 'T')
            return one_number(s, 2, record_kind::poll_timeout);
        if (!parse_hex(s, pos, a) || pos >= s.size() || (s[pos] != 'w' && s[pos] != 'r'))
            return {};
        {
            const record_kind kind = s[pos] == 'w' ? record_kind::write : record_kind::read;
            ++pos;
            if (!parse_hex(s, pos, b) || pos != s.size())
                return {};
            return {kind, a, b};
        }
    default:
        return {};
    }
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(current);
            current.clear();
        } else if (c != '\r') {
            current.push_back(c);
        }
    }
    if (!current.empty())
        lines.push_back(current);
    return lines;
}

} // namespace

std::vector<trace_record> parse_trace(memory tested, const std::string& trace) {
    const memory_layout& layout = layout_of(tested);
    std::vector<trace_record> records;
    record_kind previous = record_kind::other;
    for (const std::string& text : split_lines(trace)) {
        const trace_record record = parse_line(text, layout, previous == record_kind::manufacturer);
        records.push_back(record);
        if (record.kind != record_kind::other)
            previous = record.kind;
    }
    return records;
}

} // namespace korvin
