#include "fault_universe.h"

#include "diagnose.h"
#include "image_runner.h"
#include "monitor.h"
#include "sim/faults.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <exception>
#include <fstream>
#include <iterator>
#include <numeric>
#include <regex>
#include <set>
#include <thread>

namespace korvin::test {

const std::vector<device_case> DEVICES = {
    {"sdram", "Testing SDRAM... ", memory::sdram, '1', 32, 23},
    {"flash", "Testing FLASH... ", memory::flash, '2', 16, 23},
    {"sram", "Testing SRAM... ", memory::sram, '3', 16, 17},
};

const std::vector<fault_kind> FAULT_KINDS = {fault_kind::stuck_data, fault_kind::stuck_address,
                                             fault_kind::data_short, fault_kind::address_short,
                                             fault_kind::open_data};

const char* kind_name(fault_kind kind) {
    switch (kind) {
    case fault_kind::stuck_data:
        return "data line stuck";
    case fault_kind::stuck_address:
        return "address line stuck";
    case fault_kind::data_short:
        return "data lines shorted";
    case fault_kind::address_short:
        return "address lines shorted";
    case fault_kind::open_data:
        return "data line open";
    }
    return "";
}

bool fault_case::on_data_lines() const {
    return kind == fault_kind::stuck_data || kind == fault_kind::data_short ||
           kind == fault_kind::open_data;
}

std::string fault_case::text() const {
    const std::string prefix = std::string(device->name) + ":" + (on_data_lines() ? "d" : "a");
    switch (kind) {
    case fault_kind::stuck_data:
    case fault_kind::stuck_address:
        return prefix + std::to_string(line) + "=" + std::to_string(level);
    case fault_kind::data_short:
    case fault_kind::address_short:
        return prefix + std::to_string(line) + "~" + (on_data_lines() ? "d" : "a") +
               std::to_string(other) + (level ? "=or" : "=and");
    case fault_kind::open_data:
        return prefix + std::to_string(line) + "=open";
    }
    return "";
}

namespace {

// Both lines of a short carry the AND (or OR) of their levels.
std::uint32_t short_lines(std::uint32_t v, int a, int b, bool wired_or) {
    const bool x = (v >> a) & 1, y = (v >> b) & 1;
    const bool both = wired_or ? (x || y) : (x && y);
    const std::uint32_t mask = (1u << a) | (1u << b);
    return both ? v | mask : v & ~mask;
}

} // namespace

bool fault_case::breaks_command_cycles() const {
    if (device->tested != memory::flash)
        return false;
    // The cycles of a word program, a sector erase and a reset, by word index within the
    // sector and data; the chip decodes index bits 0 to 10 and the data's low byte.
    struct cycle {
        std::uint32_t index, data;
    };
    static const cycle CYCLES[] = {{0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0xA0}, {0x555, 0x80},
                                   {0x555, 0x30}, {0x555, 0xF0}, {0x000, 0xF0}, {0x000, 0x30}};
    // The sectors the test programs: the first, those of the address-line test's words
    // (word-index bits 16 and up select a 64K-word sector) and the top one.
    std::vector<std::uint32_t> sectors = {0, 0x7F0000};
    for (int bit = 16; bit < device->address_bits; ++bit)
        sectors.push_back(1u << bit);
    for (std::uint32_t sector : sectors)
        for (const cycle& c : CYCLES) {
            std::uint32_t index = sector | c.index, data = c.data;
            switch (kind) {
            case fault_kind::stuck_address:
                index = level ? index | (1u << line) : index & ~(1u << line);
                break;
            case fault_kind::address_short:
                index = short_lines(index, line, other, level);
                break;
            case fault_kind::data_short:
                data = short_lines(data, line, other, level);
                break;
            case fault_kind::open_data:
                data |= 1u << line; // the chip's input floats high
                break;
            case fault_kind::stuck_data:
                break;
            }
            if (((index ^ (sector | c.index)) & 0x7FF) || ((data ^ c.data) & 0xFF))
                return true;
        }
    return false;
}

bool fault_case::merges_data_bus_units() const {
    if (device->tested != memory::flash || on_data_lines())
        return false;
    std::set<std::uint32_t> reached;
    for (std::uint32_t word = 0; word < 64; ++word) {
        const std::uint32_t to = kind == fault_kind::address_short
                                     ? short_lines(word, line, other, level)
                                     : (level ? word | (1u << line) : word & ~(1u << line));
        if (!reached.insert(to).second || (word < 2 && to != word))
            return true;
    }
    return false;
}

std::vector<fault_case> stuck_line_faults() {
    std::vector<fault_case> faults;
    for (const device_case& d : DEVICES)
        for (fault_kind kind : {fault_kind::stuck_data, fault_kind::stuck_address}) {
            const int lines = kind == fault_kind::stuck_data ? d.data_lines : d.address_bits;
            for (int line = 0; line < lines; ++line)
                for (int level : {0, 1})
                    faults.push_back({&d, kind, line, level});
        }
    return faults;
}

std::vector<fault_case> short_and_open_faults(bool neighbours_only) {
    std::vector<fault_case> faults;
    for (const device_case& d : DEVICES) {
        for (fault_kind kind : {fault_kind::data_short, fault_kind::address_short}) {
            const int lines = kind == fault_kind::data_short ? d.data_lines : d.address_bits;
            for (int a = 0; a < lines; ++a)
                for (int b = a + 1; b < (neighbours_only ? std::min(a + 2, lines) : lines); ++b)
                    for (int wired_or : {0, 1})
                        faults.push_back({&d, kind, a, wired_or, b});
        }
        for (int line = 0; line < d.data_lines; ++line)
            faults.push_back({&d, fault_kind::open_data, line, 1});
    }
    return faults;
}

namespace {

struct lines_named {
    std::set<int> data, address;
};

// The lines a finding names: "D5", "word-index bit 12". The FLASH's give-up finding lists
// the causes a dead chip has (D7 among them) and names no line of its own.
lines_named named_in(const std::string& finding) {
    lines_named n;
    if (finding.find("FLASH did not complete") != std::string::npos)
        return n;
    static const std::regex DATA(R"(\bD(\d+)\b)"), ADDRESS(R"(word-index bit (\d+))");
    for (std::sregex_iterator i(finding.begin(), finding.end(), DATA), end; i != end; ++i)
        n.data.insert(std::stoi((*i)[1]));
    for (std::sregex_iterator i(finding.begin(), finding.end(), ADDRESS), end; i != end; ++i)
        n.address.insert(std::stoi((*i)[1]));
    return n;
}

// A finding that offers more than one explanation.
bool offers_candidates(const std::string& finding) {
    return finding.find(", or ") != std::string::npos ||
           finding.find(" one of ") != std::string::npos ||
           finding.find("the trace fits each") != std::string::npos;
}

bool contains(const std::string& text, const std::string& words) {
    return text.find(words) != std::string::npos;
}

std::string data_line(int n) {
    return "D" + std::to_string(n);
}

// A word-index bit as the findings name it, with the pins the board wires it to: the SDRAM's
// 32-bit words start at byte address bit 2, on processor line A2; a 16-bit part's chip pin
// A<k> carries word-index bit k and hangs on processor line A<k+1>, A0 selecting the byte.
std::string index_line(const device_case& d, int k) {
    const std::string bit = "word-index bit " + std::to_string(k) + " = ";
    if (d.tested == memory::sdram)
        return bit + "byte address bit " + std::to_string(k + 2) + " = processor line A" +
               std::to_string(k + 2);
    return bit + "chip pin A" + std::to_string(k) + " (word mode) = processor line A" +
           std::to_string(k + 1);
}

// Whether `text` names `f`, its kind and its lines, each name whole: "D3 stuck low", not
// "D3 stuck high"; "processor line A5 (", not "processor line A50" nor "a5". A short may
// leave its wiring out where the trace cannot tell it, but not name the other one.
bool names(const fault_case& f, const std::string& text) {
    const std::string wired = f.level ? "(wired-OR)" : "(wired-AND)";
    const auto shorted = [&](const std::string& pair) {
        return contains(text, pair + " shorted") &&
               !contains(text, pair + " shorted " + (f.level ? "(wired-AND)" : "(wired-OR)"));
    };
    switch (f.kind) {
    case fault_kind::stuck_data:
        return contains(text,
                        "data line " + data_line(f.line) + " stuck " + (f.level ? "high" : "low"));
    case fault_kind::stuck_address:
        return contains(text,
                        "address line stuck or shorted: " + index_line(*f.device, f.line) + " (");
    case fault_kind::open_data:
        return contains(text, "data line " + data_line(f.line) + " open");
    case fault_kind::data_short: {
        const std::string a = data_line(f.line), b = data_line(f.other);
        if (shorted("data lines " + a + " and " + b))
            return true;
        // "data line D3 shorted (wired-AND) to one of D4, D5 or D6"
        static const std::regex PARTNERS(
            R"(data line D(\d+) shorted (\([^)]*\)) to one of ([^:]*))");
        std::smatch m;
        if (!std::regex_search(text, m, PARTNERS) || m[2] != wired)
            return false;
        const int first = std::stoi(m[1]);
        const int partner = first == f.line ? f.other : first == f.other ? f.line : -1;
        if (partner < 0)
            return false;
        static const std::regex LINE(R"(\bD(\d+)\b)");
        const std::string list = m[3];
        for (std::sregex_iterator i(list.begin(), list.end(), LINE), end; i != end; ++i)
            if (std::stoi((*i)[1]) == partner)
                return true;
        return false;
    }
    case fault_kind::address_short:
        return shorted("address lines " + index_line(*f.device, f.line) + " and " +
                       index_line(*f.device, f.other));
    }
    return false;
}

// Whether every word-index bit `finding` names comes with the pins the board wires it to.
bool pins_right(const device_case& d, const std::string& finding) {
    static const std::regex BIT(R"(word-index bit (\d+))");
    for (std::sregex_iterator i(finding.begin(), finding.end(), BIT), end; i != end; ++i) {
        const std::string name = index_line(d, std::stoi((*i)[1]));
        const std::size_t at = static_cast<std::size_t>(i->position()), after = at + name.size();
        if (finding.compare(at, name.size(), name) != 0 ||
            (after < finding.size() && std::isdigit(static_cast<unsigned char>(finding[after]))))
            return false;
    }
    return true;
}

// A finding that says what happened to a line, not only that it reads wrong. "Stuck or
// shorted" is the address-line test's hedge: it sees where a write went, not why.
bool definite(const std::string& finding) {
    if (contains(finding, "stuck or shorted"))
        return false;
    return contains(finding, " stuck low") || contains(finding, " stuck high") ||
           contains(finding, " open") || contains(finding, " shorted");
}

// A finding's explanations: "A, or B, or C: the trace fits each, ...".
std::vector<std::string> explanations(const std::string& finding) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t at; (at = finding.find(", or ", from)) != std::string::npos; from = at + 5)
        parts.push_back(finding.substr(from, at - from));
    parts.push_back(finding.substr(from));
    return parts;
}

} // namespace

fault_outcome judge(const fault_case& f, bool detected, std::vector<std::string> findings) {
    fault_outcome o;
    o.ran = true;
    o.detected = detected;
    o.findings = std::move(findings);
    if (!detected)
        return o;
    const std::set<int> involved =
        f.other >= 0 ? std::set<int>{f.line, f.other} : std::set<int>{f.line};
    bool dead = false;
    for (const std::string& finding : o.findings) {
        dead |= contains(finding, "FLASH did not complete");
        if (!pins_right(*f.device, finding)) {
            o.named_wrongly = true;
            o.problem = "names a word-index bit with other pins: " + finding;
            continue;
        }
        const lines_named n = named_in(finding);
        const std::set<int>& same = f.on_data_lines() ? n.data : n.address;
        const std::set<int>& others = f.on_data_lines() ? n.address : n.data;
        if (same.empty() && others.empty())
            continue;
        bool touches = false, strays = !others.empty();
        for (int line : same)
            (involved.count(line) ? touches : strays) = true;
        if (offers_candidates(finding)) {
            // Candidates may name lines outside the fault, as long as the fault is among them.
            bool among = false;
            for (const std::string& part : explanations(finding))
                among |= names(f, part);
            if (among)
                o.named = true;
            else if (!touches) {
                o.named_wrongly = true;
                o.problem = "offers candidates without the fault: " + finding;
            }
            continue;
        }
        if (strays) {
            o.named_wrongly = true;
            o.problem = "names another line: " + finding;
        } else if (names(f, finding)) {
            o.named = o.named_exactly = true;
        } else if (definite(finding)) {
            o.named_wrongly = true;
            o.problem = "names the fault's lines with another fault: " + finding;
        }
    }
    o.looks_dead = dead && !o.named;
    if (!f.identifiable() && !o.named && !dead)
        o.problem = "does not say the FLASH stopped answering";
    return o;
}

std::string unexpected(const fault_case& f, const fault_outcome& o) {
    if (!o.problem.empty())
        return o.problem;
    if (!o.detected)
        return "passed";
    if (f.identifiable() && !o.named)
        return "not named: " + (o.findings.empty() ? std::string() : o.findings.front());
    return "";
}

std::vector<std::uint8_t> read_image(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

diagnosed_run diagnose_in_process(const device_case& device, const std::vector<std::string>& faults,
                                  const std::vector<std::uint8_t>& image) {
    diagnosed_run d;
    sim::board_options options;
    for (const std::string& f : faults)
        if (!sim::parse_fault(f, options.faults, d.problem))
            return d;
    sim::run_request request;
    request.image = image;
    // The trace on, then the test: what korvin --diagnose sends.
    request.commands = {'v', device.command};
    const sim::image_run run = sim::run_image(request, options);
    d.seconds = run.seconds;
    if (!run.completed) {
        d.problem = run.problem;
        return d;
    }
    d.ran = true;
    const sim::command_answer& test = run.answers.back();
    d.passed = !test.code.empty() && test.code[0] == '0';
    if (!d.passed)
        d.findings = diagnose(
            device.tested,
            result_code_of(test.code.empty() ? 0u : static_cast<unsigned char>(test.code[0])),
            test.trace);
    return d;
}

fault_outcome run_in_process(const fault_case& fault, const std::vector<std::uint8_t>& image) {
    diagnosed_run d = fault.device->tested == memory::flash && probes_flash()
                          ? probe_flash_in_process({fault.text()})
                          : diagnose_in_process(*fault.device, {fault.text()}, image);
    fault_outcome o;
    if (d.ran)
        o = judge(fault, !d.passed, std::move(d.findings));
    else
        o.problem = d.problem;
    o.seconds = d.seconds;
    return o;
}

std::vector<fault_outcome> run_all_in_process(const std::vector<fault_case>& faults,
                                              const std::vector<std::uint8_t>& image,
                                              unsigned workers) {
    std::vector<std::size_t> order(faults.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_partition(order.begin(), order.end(),
                          [&](std::size_t i) { return faults[i].device->tested == memory::flash; });
    std::vector<fault_outcome> outcomes(faults.size());
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < std::max(workers, 1u); ++w)
        pool.emplace_back([&] {
            for (std::size_t n; (n = next++) < order.size();) {
                const std::size_t i = order[n];
                try {
                    outcomes[i] = run_in_process(faults[i], image);
                } catch (const std::exception& e) {
                    outcomes[i].problem = e.what();
                }
            }
        });
    for (std::thread& t : pool)
        t.join();
    return outcomes;
}

} // namespace korvin::test
