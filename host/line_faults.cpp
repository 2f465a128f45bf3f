#include "line_faults.h"

#include "text.h"

namespace korvin {
namespace {

// Two shorted lines x and y of `value` both carry the AND (or OR) of their
// levels.
std::uint32_t replace_pair(std::uint32_t value, int x, int y, bool wired_or) {
    const std::uint32_t a = value >> x & 1, b = value >> y & 1;
    const std::uint32_t level = wired_or ? a | b : a & b;
    return (value & ~(1u << x | 1u << y)) | level << x | level << y;
}

} // namespace

std::uint32_t all_lines(int width) {
    return width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1;
}

std::uint32_t through(const line_fault& f, std::uint32_t value) {
    switch (f.kind) {
    case line_fault_kind::stuck_low:
        return value & ~(1u << f.x);
    case line_fault_kind::stuck_high:
        return value | 1u << f.x;
    case line_fault_kind::wired_and:
    case line_fault_kind::wired_or:
        return replace_pair(value, f.x, f.y, f.kind == line_fault_kind::wired_or);
    case line_fault_kind::open:
        break;
    }
    return value;
}

const char* short_kind(const line_fault& f) {
    switch (f.kind) {
    case line_fault_kind::wired_and:
        return " (wired-AND)";
    case line_fault_kind::wired_or:
        return " (wired-OR)";
    default:
        return "";
    }
}

std::vector<line_fault> fitting_faults(const fault_search& search,
                                       const std::function<bool(const line_fault&)>& fits) {
    std::vector<line_fault> found;
    auto weigh = [&](line_fault_kind kind, int x, int y) {
        const line_fault f{kind, x, y};
        if (!fits(f))
            return false;
        found.push_back(f);
        return true;
    };
    for (int x = 0; x < search.width; ++x)
        for (line_fault_kind kind : {line_fault_kind::stuck_low, line_fault_kind::stuck_high})
            if (weigh(kind, x, x) && search.one_level)
                break;
    for (int x = 0; x < search.width; ++x)
        for (int y = x + 1; y < search.width; ++y)
            for (line_fault_kind kind : {line_fault_kind::wired_and, line_fault_kind::wired_or})
                weigh(kind, x, y);
    for (int x = 0; search.open && x < search.width; ++x)
        weigh(line_fault_kind::open, x, x);
    return found;
}

std::vector<std::string> candidate_names(const std::vector<line_fault>& fits,
                                         const fault_namer& name) {
    auto same_pair = [&](std::size_t i, std::size_t j) {
        return j < fits.size() && fits[i].shorted() && fits[j].shorted() &&
               fits[i].x == fits[j].x && fits[i].y == fits[j].y;
    };
    std::vector<std::string> names;
    for (std::size_t i = 0; i < fits.size(); ++i)
        if (i == 0 || !same_pair(i, i - 1))
            names.push_back(name(fits[i], same_pair(i, i + 1)));
    return names;
}

std::string alternatives(const std::vector<std::string>& names) {
    return join(names, ", or ", ", or ");
}

std::string short_name(const char* lines, const std::string& x, const std::string& y,
                       const line_fault& f, bool both_kinds) {
    return format("%s %s and %s shorted%s", lines, x.c_str(), y.c_str(),
                  both_kinds ? "" : short_kind(f));
}

} // namespace korvin
