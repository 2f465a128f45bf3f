#pragma once
// The single faults of a set of parallel lines (the data bus's D0.., the
// word-index bits of an address) that the analysers weigh against a trace:
// what each does to a value, which of them fit, and how the ones that fit
// are named together.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvin {

enum class line_fault_kind { stuck_low, stuck_high, wired_and, wired_or, open };

struct line_fault {
    line_fault_kind kind;
    int x, y; // the line (x == y), or the two shorted lines (x < y)

    bool stuck() const {
        return kind == line_fault_kind::stuck_low || kind == line_fault_kind::stuck_high;
    }
    bool shorted() const {
        return kind == line_fault_kind::wired_and || kind == line_fault_kind::wired_or;
    }
    std::uint32_t lines() const { return 1u << x | 1u << y; }
};

// The mask of lines 0 to width - 1 (width 1 to 32).
std::uint32_t all_lines(int width);

// `value` as the faulty lines pass it on: a stuck line forces its level, a
// short gives both lines the AND (OR) of theirs. An open line passes the
// value unchanged here: what it shows depends on the bus's past, which its
// analyser models.
std::uint32_t through(const line_fault& f, std::uint32_t value);

// " (wired-AND)" or " (wired-OR)" for a short, "" for any other fault.
const char* short_kind(const line_fault& f);

// Which single faults a search weighs.
struct fault_search {
    int width = 0;          // lines 0 to width - 1
    bool open = false;      // an open line too
    bool one_level = false; // a stuck line at its first level that fits only:
                            // the trace cannot tell the levels apart
};

// The faults of `search` for which `fits` holds, in naming order: each line
// stuck low, then stuck high; each pair x < y shorted wired-AND, then
// wired-OR; each line open.
std::vector<line_fault> fitting_faults(const fault_search& search,
                                       const std::function<bool(const line_fault&)>& fits);

// How an analyser names one fault; `both_kinds` when its short fits as
// wired-AND and as wired-OR, so the name leaves the kind out.
using fault_namer = std::function<std::string(const line_fault&, bool both_kinds)>;

// One name per fault of `fits` (in the order fitting_faults gives): a short
// that fits both ways is named once.
std::vector<std::string> candidate_names(const std::vector<line_fault>& fits,
                                         const fault_namer& name);

// The names of faults the trace fits alike: "a, or b, or c".
std::string alternatives(const std::vector<std::string>& names);

// "<lines> <x> and <y> shorted" and the short's kind unless `both_kinds`:
// "data lines D3 and D5 shorted (wired-OR)".
std::string short_name(const char* lines, const std::string& x, const std::string& y,
                       const line_fault& f, bool both_kinds);

} // namespace korvin
