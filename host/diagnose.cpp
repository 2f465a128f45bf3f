#include "diagnose.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <set>

namespace korvin {
namespace {

enum class Kind {
    data_header,
    address_header,
    write,
    read,
    mismatch,
    manufacturer,
    device,
    erase,
    timeout,
    other
};

struct Line {
    Kind kind = Kind::other;
    std::uint32_t a = 0, b = 0;
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    int size = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    std::vsnprintf(&text[0], text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

// Reads the hex number at s[pos], as the monitor prints it (no prefix, at
// most 8 digits); false when there is none.
bool parse_hex(const std::string& s, std::size_t& pos, std::uint32_t& value) {
    std::size_t start = pos;
    value = 0;
    while (pos < s.size() && pos - start < 9) {
        char c = s[pos];
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

Line parse_line(const std::string& s, std::uint32_t data_base, bool flash, bool after_id) {
    Line line;
    std::size_t pos = 1;
    if (s.size() < 2)
        return line;
    std::uint32_t a = 0, b = 0;
    switch (s[0]) {
    case 'D':
        if (!parse_hex(s, pos, a) || pos != s.size())
            return line;
        // The FLASH's device line shares the data-bus header's letter; a
        // 16-bit code can never equal the header's base address.
        line.kind = flash && (after_id || a != data_base) ? Kind::device : Kind::data_header;
        line.a = a;
        return line;
    case 'M':
        if (!parse_hex(s, pos, a) || pos != s.size())
            return line;
        line.kind = Kind::manufacturer;
        line.a = a;
        return line;
    case 'A':
        if (!parse_hex(s, pos, a) || pos >= s.size() || s[pos] != ' ')
            return line;
        ++pos;
        if (!parse_hex(s, pos, b) || pos != s.size())
            return line;
        line = {Kind::address_header, a, b};
        return line;
    case '*':
        if (s[1] != 'r')
            return line;
        pos = 2;
        if (!parse_hex(s, pos, a) || pos != s.size())
            return line;
        line = {Kind::mismatch, a, 0};
        return line;
    case ' ':
        if (s[1] == 'E' || s[1] == 'T') {
            pos = 2;
            if (!parse_hex(s, pos, a) || pos != s.size())
                return line;
            line = {s[1] == 'E' ? Kind::erase : Kind::timeout, a, 0};
            return line;
        }
        if (!parse_hex(s, pos, a) || pos >= s.size() || (s[pos] != 'w' && s[pos] != 'r'))
            return line;
        {
            Kind kind = s[pos] == 'w' ? Kind::write : Kind::read;
            ++pos;
            if (!parse_hex(s, pos, b) || pos != s.size())
                return line;
            line = {kind, a, b};
        }
        return line;
    default:
        return line;
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

int popcount(std::uint32_t x) {
    int n = 0;
    for (; x; x &= x - 1)
        ++n;
    return n;
}

int lowest_bit(std::uint32_t x) {
    int k = 0;
    while (!(x & 1)) {
        x >>= 1;
        ++k;
    }
    return k;
}

const char* plural(int n, const char* one, const char* many) {
    return n == 1 ? one : many;
}

// The expected values of the failing checks, as the mismatch lines carry them.
std::string patterns_text(const std::vector<std::uint32_t>& patterns) {
    if (patterns.size() == 1)
        return format("wrong under pattern 0x%x", patterns.front());
    return format("wrong under %d patterns (first 0x%x, last 0x%x)",
                  static_cast<int>(patterns.size()), patterns.front(), patterns.back());
}

struct Section {
    std::vector<Line> lines; // writes, reads and mismatches in order
    int mismatches = 0;
    bool present = false;
};

struct DataResult {
    std::vector<std::string> findings;
    std::uint32_t faulty_bits = 0;
};

// Data-bus test: every read is checked against the last value written to its
// unit. A check whose first read is right and whose second read (after the
// zero write to the next unit) is wrong says nothing about the data lines:
// the zero landed on the unit itself, which is an address fault.
DataResult diagnose_data_bus(const Section& section, int width) {
    DataResult result;
    struct Unit {
        std::uint32_t value = 0;
        int reads = 0;
        bool first_ok = false;
    };
    std::map<std::uint32_t, Unit> units;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> reads; // expected, read
    int aliased = 0;
    std::uint32_t aliased_offset = 0;
    for (const Line& line : section.lines) {
        if (line.kind == Kind::write) {
            units[line.a] = Unit{line.b, 0, false};
        } else if (line.kind == Kind::read) {
            auto it = units.find(line.a);
            if (it == units.end())
                continue;
            Unit& unit = it->second;
            ++unit.reads;
            bool ok = line.b == unit.value;
            if (unit.reads == 1)
                unit.first_ok = ok;
            else if (unit.first_ok && !ok) {
                if (aliased++ == 0)
                    aliased_offset = line.a;
                continue;
            }
            reads.emplace_back(unit.value, line.b);
        }
    }

    std::uint32_t all = width == 32 ? 0xFFFFFFFFu : 0xFFFFu;
    std::uint32_t erring = 0, ever_one = 0, ever_zero = 0;
    std::vector<std::vector<std::uint32_t>> patterns(width);
    for (auto [expected, got] : reads) {
        std::uint32_t wrong = (expected ^ got) & all;
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
        } else if (!(ever_zero >> b & 1)) {
            result.findings.push_back(
                format("data line D%d stuck high: it reads 1 in every check, %s", b,
                       patterns_text(patterns[b]).c_str()));
        } else {
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
                if ((expected >> b & 1) && !(got >> b & 1))
                    ++low;
                if (!(expected >> b & 1) && (got >> b & 1))
                    ++high;
            }
            result.findings.push_back(
                format("data line D%d reads wrong: %d %s 0 for 1, %d %s 1 for 0, %s", b, low,
                       plural(low, "time", "times"), high, plural(high, "time", "times"),
                       patterns_text(patterns[b]).c_str()));
        }
    }
    for (const std::vector<int>& group : shorts) {
        std::string names;
        std::vector<std::uint32_t> group_patterns;
        for (std::size_t i = 0; i < group.size(); ++i) {
            names += format("%sD%d",
                            i == 0                  ? ""
                            : i + 1 == group.size() ? " and "
                                                    : ", ",
                            group[i]);
            result.faulty_bits |= 1u << group[i];
        }
        for (auto [expected, got] : reads)
            for (int b : group)
                if (((expected ^ got) >> b & 1) &&
                    (group_patterns.empty() || group_patterns.back() != expected)) {
                    group_patterns.push_back(expected);
                    break;
                }
        result.findings.push_back(format("data lines %s shorted: they always read alike, %s",
                                         names.c_str(), patterns_text(group_patterns).c_str()));
    }
    if (aliased > 0)
        result.findings.push_back(
            format("data-bus test: %d %s read back right but wrong once the next unit was "
                   "written (first at offset 0x%x): neighbouring units alias, an address line "
                   "fault",
                   aliased, plural(aliased, "value", "values"), aliased_offset));
    return result;
}

// Address-line test: a unit that reads v != expected got the write that was
// meant for the unit written with v in the same phase, so the two units'
// indices differ in the faulty line's bit. Stuck high and stuck low (and a
// short to another line) move the same writes, so the trace cannot tell them
// apart.
std::vector<std::string> diagnose_address_lines(const Section& section, memory tested,
                                                std::uint32_t faulty_data_bits) {
    std::vector<std::string> findings;
    std::uint32_t unit = tested == memory::sdram ? 4 : 2;
    std::map<std::uint32_t, std::uint32_t> written;       // offset -> value
    std::map<std::uint32_t, std::uint32_t> phase_offsets; // value -> offset, this phase
    bool reading = false;
    struct Bit {
        int count = 0;
        std::uint32_t offset = 0, value = 0;
    };
    std::map<int, Bit> bits;
    int from_data = 0, unexplained = 0;
    std::uint32_t first_offset = 0, first_value = 0, first_expected = 0;
    for (const Line& line : section.lines) {
        if (line.kind == Kind::write) {
            if (reading)
                phase_offsets.clear();
            reading = false;
            written[line.a] = line.b;
            phase_offsets[line.b] = line.a;
            continue;
        }
        if (line.kind != Kind::read)
            continue;
        reading = true;
        auto it = written.find(line.a);
        if (it == written.end() || it->second == line.b)
            continue;
        std::uint32_t expected = it->second;
        if (faulty_data_bits && ((expected ^ line.b) & ~faulty_data_bits) == 0) {
            ++from_data;
            continue;
        }
        auto source = phase_offsets.find(line.b);
        if (source != phase_offsets.end()) {
            std::uint32_t moved = (line.a ^ source->second) / unit;
            if (popcount(moved) == 1) {
                Bit& bit = bits[lowest_bit(moved)];
                if (bit.count++ == 0) {
                    bit.offset = line.a;
                    bit.value = line.b;
                }
                continue;
            }
        }
        if (unexplained++ == 0) {
            first_offset = line.a;
            first_value = line.b;
            first_expected = expected;
        }
    }
    for (const auto& [k, bit] : bits) {
        std::string pins = tested == memory::sdram
                               ? format("byte address bit %d = processor line A%d", k + 2, k + 2)
                               : format("chip pin A%d (word mode) = processor line A%d", k, k + 1);
        findings.push_back(format("address line stuck or shorted: word-index bit %d = %s (%d %s, "
                                  "first at offset 0x%x read 0x%x)",
                                  k, pins.c_str(), bit.count,
                                  plural(bit.count, "mismatch", "mismatches"), bit.offset,
                                  bit.value));
    }
    if (unexplained > 0)
        findings.push_back(format("address-line test: %d %s that no single address line explains "
                                  "(first at offset 0x%x read 0x%x, expected 0x%x)",
                                  unexplained, plural(unexplained, "mismatch", "mismatches"),
                                  first_offset, first_value, first_expected));
    if (from_data > 0)
        findings.push_back(format("address-line test: its %d %s come from the data line fault "
                                  "above",
                                  from_data, plural(from_data, "mismatch", "mismatches")));
    return findings;
}

// A stuck D7 stops the FLASH test in a completion poll before the data-bus
// test can name it; the identification codes read just before are then the
// only evidence.
std::string d7_hint(std::uint32_t read, std::uint32_t accepted) {
    if ((read ^ accepted) != 0x80)
        return "";
    bool high = read & 0x80;
    return format("; only D7 differs from 0x%04X (read %d): data line D7 stuck %s, or another part",
                  accepted, high ? 1 : 0, high ? "high" : "low");
}

} // namespace

std::vector<std::string> diagnose(memory tested, std::uint32_t result_code,
                                  const std::string& trace) {
    std::vector<std::string> findings;
    if (result_code == 0)
        return findings;

    bool flash = tested == memory::flash;
    std::uint32_t base = tested == memory::sdram ? 0xA0000000u : flash ? 0xC0000000u : 0xC8000000u;
    int width = tested == memory::sdram ? 32 : 16;

    Section data, address;
    Section* current = nullptr;
    bool have_manufacturer = false, have_device = false;
    std::uint32_t manufacturer = 0, device = 0;
    bool timed_out = false, timeout_in_erase = false;
    std::uint32_t timeout_address = 0;
    Line previous;
    int total_mismatches = 0;
    for (const std::string& text : split_lines(trace)) {
        Line line = parse_line(text, base, flash, previous.kind == Kind::manufacturer);
        switch (line.kind) {
        case Kind::data_header:
            current = &data;
            data.present = true;
            break;
        case Kind::address_header:
            current = &address;
            address.present = true;
            break;
        case Kind::write:
        case Kind::read:
        case Kind::mismatch:
            if (line.kind == Kind::mismatch)
                ++total_mismatches;
            if (current) {
                current->lines.push_back(line);
                if (line.kind == Kind::mismatch)
                    ++current->mismatches;
            }
            break;
        case Kind::manufacturer:
            have_manufacturer = true;
            manufacturer = line.a;
            break;
        case Kind::device:
            have_device = true;
            device = line.a;
            break;
        case Kind::timeout:
            timed_out = true;
            timeout_address = line.a;
            // The erase line goes out before the erase commands, so an erase
            // poll's time-out follows it directly.
            timeout_in_erase = previous.kind == Kind::erase && previous.a == line.a;
            break;
        case Kind::erase:
        case Kind::other:
            break;
        }
        if (line.kind != Kind::other)
            previous = line;
    }

    DataResult data_result = diagnose_data_bus(data, width);
    if (flash) {
        // A code that differs from an accepted one only in lines the data-bus
        // test found faulty was read through that fault.
        auto hint = [&](std::uint32_t read, std::initializer_list<std::uint32_t> accepted) {
            std::string text;
            for (std::uint32_t code : accepted)
                text += d7_hint(read, code);
            for (std::uint32_t code : accepted)
                if (text.empty() && data_result.faulty_bits &&
                    ((read ^ code) & ~data_result.faulty_bits) == 0)
                    text = format("; the data line fault below explains the difference from 0x%04X",
                                  code);
            return text;
        };
        if (have_manufacturer && manufacturer != 0x0001 && manufacturer != 0x00C2)
            findings.push_back(
                format("FLASH manufacturer code read 0x%04X, expected 0x0001 or 0x00C2%s",
                       manufacturer, hint(manufacturer, {0x00C2, 0x0001}).c_str()));
        else if (!have_manufacturer && result_code == 1)
            findings.push_back("FLASH manufacturer code wrong (expected 0x0001 or 0x00C2); the "
                               "trace does not show the code read");
        if (have_device && device != 0x227E)
            findings.push_back(format("FLASH device code read 0x%04X, expected 0x227E%s", device,
                                      hint(device, {0x227E}).c_str()));
        else if (!have_device && result_code == 2)
            findings.push_back(
                "FLASH device code wrong (expected 0x227E); the trace does not show the code read");
    }

    findings.insert(findings.end(), data_result.findings.begin(), data_result.findings.end());
    std::vector<std::string> address_findings =
        diagnose_address_lines(address, tested, data_result.faulty_bits);
    findings.insert(findings.end(), address_findings.begin(), address_findings.end());

    if (flash && timed_out)
        findings.push_back(format("FLASH did not complete %s at 0x%08x: the chip is absent or "
                                  "dead, D7 is stuck, or its command cycles do not reach it",
                                  timeout_in_erase ? "an erase" : "a program", timeout_address));
    else if (flash && result_code == 5)
        findings.push_back("FLASH did not complete a program or erase (result code 5); the trace "
                           "does not show the polled address");

    // What the result code says failed but the trace did not explain.
    std::uint32_t data_code = flash ? 3 : 1, address_code = flash ? 4 : 2;
    std::uint32_t last_code = flash ? 5 : 2;
    if (result_code == data_code && data_result.findings.empty())
        findings.push_back(
            data.present ? format("data-bus test failed with %d mismatch %s but names no line",
                                  data.mismatches, plural(data.mismatches, "line", "lines"))
                         : std::string("data-bus test failed; the trace does not show it"));
    if (result_code == address_code && address_findings.empty())
        findings.push_back(
            address.present
                ? format("address-line test failed with %d mismatch %s but names no line",
                         address.mismatches, plural(address.mismatches, "line", "lines"))
                : std::string("address-line test failed; the trace does not show it"));
    if (result_code > last_code)
        findings.push_back(format("result code 0x%x is not one this test reports", result_code));
    if (findings.empty())
        findings.push_back(format("test failed with result code 0x%x; the trace shows %d mismatch "
                                  "%s and names no line",
                                  result_code, total_mismatches,
                                  plural(total_mismatches, "line", "lines")));
    return findings;
}

} // namespace korvin
