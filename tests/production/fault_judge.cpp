#include "fault_universe.h"

#include <cctype>
#include <regex>
#include <set>

namespace korvin::test {

namespace {

bool contains(const std::string& text, const std::string& words) {
    return text.find(words) != std::string::npos;
}

std::string numbered(const char* name, int n) {
    return name + std::to_string(n);
}

// The nets a finding names, as "D5", "W12" (a word-index bit), "MA3", "BA1", "DQM2", "EB1",
// "CS", "OE", "WE", "RAS", "CAS", "CKE". The FLASH's give-up finding lists the causes a dead
// chip has (D7 among them) and names no line of its own.
std::set<std::string> named_in(const std::string& finding) {
    std::set<std::string> nets;
    if (contains(finding, "FLASH did not complete"))
        return nets;
    static const struct {
        std::regex pattern;
        const char* net;
    } NUMBERED[] = {
        {std::regex(R"(\bD(\d+)\b)"), "D"},     {std::regex(R"(word-index bit (\d+))"), "W"},
        {std::regex(R"(\bMA(\d+)\b)"), "MA"},   {std::regex(R"(\bBA(\d+)\b)"), "BA"},
        {std::regex(R"(\bDQM(\d+)\b)"), "DQM"}, {std::regex(R"(\bEB(\d+)\b)"), "EB"}};
    for (const auto& n : NUMBERED)
        for (std::sregex_iterator i(finding.begin(), finding.end(), n.pattern), end; i != end; ++i)
            nets.insert(numbered(n.net, std::stoi((*i)[1])));
    static const struct {
        const char *words, *net;
    } CONTROLS[] = {{"chip select", "CS"}, {"output enable", "OE"}, {"write enable", "WE"},
                    {"SDRAM RAS", "RAS"},  {"SDRAM CAS", "CAS"},    {"clock enable", "CKE"}};
    for (const auto& c : CONTROLS)
        if (contains(finding, c.words))
            nets.insert(c.net);
    return nets;
}

const char* const CONTROL_NETS[] = {"CS", "OE", "WE", "RAS", "CAS", "CKE"};

std::string pin_net(int pin) {
    return pin >= BANK_PIN ? numbered("BA", pin - BANK_PIN) : numbered("MA", pin);
}

// The nets of the fault, in named_in's terms.
std::set<std::string> nets_of(const fault_case& f) {
    std::set<std::string> nets;
    auto add = [&](int line) {
        switch (f.kind) {
        case fault_kind::stuck_data:
        case fault_kind::data_short:
        case fault_kind::open_data:
            nets.insert(numbered("D", line));
            break;
        case fault_kind::stuck_address:
        case fault_kind::address_short:
            nets.insert(numbered("W", line));
            break;
        case fault_kind::stuck_lane:
        case fault_kind::open_lane:
            nets.insert(numbered(f.device->tested == memory::sdram ? "DQM" : "EB", line));
            break;
        case fault_kind::stuck_control:
        case fault_kind::open_control:
            nets.insert(CONTROL_NETS[line]);
            break;
        default:
            nets.insert(pin_net(line));
        }
    };
    add(f.line);
    if (f.other >= 0)
        add(f.other);
    return nets;
}

// A finding that offers more than one explanation: several faults, or several levels of one
// line ("stuck high or open").
bool offers_candidates(const std::string& finding) {
    static const std::regex LEVELS(R"( stuck (?:low|high|open)(?:, | or ))");
    return finding.find(", or ") != std::string::npos ||
           finding.find(" one of ") != std::string::npos ||
           finding.find("the trace fits each") != std::string::npos ||
           std::regex_search(finding, LEVELS);
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

// An SDRAM pin, a byte lane or a control line as the findings name it, up to its stuck levels:
// "SDRAM address pin A3 (processor MA3)", "SDRAM byte lane 2 (DQM2, bits 23-16)", "SRAM byte
// lane 1 (EB1, UB#, bits 15-8)", "FLASH write enable WE".
std::string net_name(const fault_case& f) {
    const memory tested = f.device->tested;
    switch (f.kind) {
    case fault_kind::stuck_lane:
    case fault_kind::open_lane:
        if (tested == memory::sdram)
            return "SDRAM byte lane " + std::to_string(f.line) + " (DQM" + std::to_string(f.line) +
                   ", bits " + std::to_string(8 * f.line + 7) + "-" + std::to_string(8 * f.line) +
                   ")";
        return "SRAM byte lane " + std::to_string(f.line) + " (EB" + std::to_string(f.line) +
               (f.line ? ", UB#" : ", LB#") + ", bits " + std::to_string(8 * f.line + 7) + "-" +
               std::to_string(8 * f.line) + ")";
    case fault_kind::stuck_control:
    case fault_kind::open_control: {
        const std::string memory_name = tested == memory::sdram   ? "SDRAM"
                                        : tested == memory::flash ? "FLASH"
                                                                  : "SRAM";
        static const char* const SDRAM_LINES[] = {
            "chip select CSD0", "", "write enable WE", "RAS", "CAS", "clock enable CKE"};
        const std::string chip_select =
            tested == memory::flash ? "chip select CS0" : "chip select CS1";
        const std::string lines[] = {chip_select, "output enable OE", "write enable WE"};
        return memory_name + " " + (tested == memory::sdram ? SDRAM_LINES[f.line] : lines[f.line]);
    }
    default:
        return f.line >= BANK_PIN ? "SDRAM bank pin BA" + std::to_string(f.line - BANK_PIN) +
                                        " (processor BA" + std::to_string(f.line - BANK_PIN) + ")"
                                  : "SDRAM address pin A" + std::to_string(f.line) +
                                        " (processor MA" + std::to_string(f.line) + ")";
    }
}

// Two shorted SDRAM pins as the findings name them, the bank pin first.
std::string pair_name(const fault_case& f) {
    const auto chip = [](int pin) {
        return pin >= BANK_PIN ? numbered("BA", pin - BANK_PIN) : numbered("A", pin);
    };
    const bool first_bank = f.line >= BANK_PIN, second_bank = f.other >= BANK_PIN;
    const std::string pins = first_bank == second_bank
                                 ? std::string(first_bank ? "bank" : "address") + " pins " +
                                       chip(f.line) + " and " + chip(f.other)
                                 : "bank pin " + chip(f.line) + " and address pin " + chip(f.other);
    return "SDRAM " + pins + " (processor " + pin_net(f.line) + " and " + pin_net(f.other) + ")";
}

// Whether `text` says the net `name` is stuck at the fault's level: "... stuck low", "...
// stuck high or open", "... stuck low, high or open". An open line floats high at the chip.
bool stuck_at(const std::string& text, const std::string& name, const fault_case& f) {
    const bool open = f.kind == fault_kind::open_pin || f.kind == fault_kind::open_bank ||
                      f.kind == fault_kind::open_lane || f.kind == fault_kind::open_control;
    const std::string level = open ? "open" : f.level ? "high" : "low";
    static const std::regex LEVELS(
        R"(^ stuck ((?:low|high|open)(?:(?:, | or )(?:low|high|open))*))");
    for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        std::smatch m;
        const std::string after = text.substr(at + name.size());
        if (std::regex_search(after, m, LEVELS) &&
            std::regex_search(m[1].str(), std::regex("\\b" + level + "\\b")))
            return true;
    }
    return false;
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
    case fault_kind::pin_short:
    case fault_kind::bank_short:
        return shorted(pair_name(f));
    default:
        return stuck_at(text, net_name(f), f);
    }
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
    const std::set<std::string> involved = nets_of(f);
    bool dead = false, unstarted = false;
    for (const std::string& finding : o.findings) {
        dead |= contains(finding, "FLASH did not complete");
        unstarted |= contains(finding, "did not complete their start-up");
        if (!pins_right(*f.device, finding)) {
            o.named_wrongly = true;
            o.problem = "names a word-index bit with other pins: " + finding;
            continue;
        }
        const std::set<std::string> named = named_in(finding);
        if (named.empty())
            continue;
        bool touches = false, strays = false;
        for (const std::string& net : named)
            (involved.count(net) ? touches : strays) = true;
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
    if (!f.identifiable() && !o.named && !dead && !unstarted)
        o.problem = f.device->tested == memory::flash
                        ? "does not say the FLASH stopped answering"
                        : "does not say the SDRAM did not complete its start-up";
    return o;
}

std::string unexpected(const fault_case& f, const fault_outcome& o) {
    if (!o.problem.empty())
        return o.problem;
    if (!o.detected)
        return f.invisible() ? "" : "passed";
    if (f.invisible())
        return "detected, though the memory's test cannot see it";
    if (f.identifiable() && !o.named)
        return "not named: " + (o.findings.empty() ? std::string() : o.findings.front());
    return "";
}

} // namespace korvin::test
