#include "fault_universe.h"

#include <cctype>
#include <regex>
#include <set>

namespace korvin::test {

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
    default:
        return false;
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
        return f.invisible() ? "" : "passed";
    if (f.invisible())
        return "detected, though the memory's test cannot see it";
    if (f.identifiable() && !o.named)
        return "not named: " + (o.findings.empty() ? std::string() : o.findings.front());
    return "";
}

} // namespace korvin::test
