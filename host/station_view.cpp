#include "station_view.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace korvin {

namespace {

const char* const GREEN = "\x1b[32m";
const char* const RED = "\x1b[31;1m";
const char* const YELLOW = "\x1b[33m";
const char* const CYAN = "\x1b[36m";
const char* const DIM = "\x1b[2m";
const char* const RESET = "\x1b[0m";

// Characters, not bytes: an ID may be UTF-8.
std::size_t width_of(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string cut(const std::string& text, std::size_t width) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;
        if (seen++ == width)
            return text.substr(0, i);
    }
    return text;
}

std::string padded(const std::string& text, std::size_t width) {
    const std::string kept = cut(text, width);
    return kept + std::string(width - width_of(kept), ' ');
}

std::string clock_time(long seconds) {
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", seconds / 60, seconds % 60);
    return text;
}

const char* outcome_word(slot_phase phase) {
    return phase == slot_phase::passed   ? "passed"
           : phase == slot_phase::failed ? "FAILED"
                                         : "error";
}

std::string state_text(const slot_view& slot) {
    switch (slot.phase) {
    case slot_phase::waking:
        return "waking";
    case slot_phase::empty:
        return "empty";
    case slot_phase::swap:
        // A board the station did not test has no outcome to show.
        if (slot.last != slot_phase::passed && slot.last != slot_phase::failed &&
            slot.last != slot_phase::error)
            return "swap";
        return std::string("swap (") + outcome_word(slot.last) + ")";
    case slot_phase::line:
    case slot_phase::testing:
        return slot.detail;
    case slot_phase::downloading:
        return "downloading " + slot.detail + "%";
    case slot_phase::passed:
        return "passed";
    case slot_phase::failed:
        return "FAILED: " + slot.detail;
    case slot_phase::error:
        return "error: " + slot.detail;
    }
    return "";
}

const char* state_colour(const slot_view& slot) {
    switch (slot.phase == slot_phase::swap ? slot.last : slot.phase) {
    case slot_phase::passed:
        return GREEN;
    case slot_phase::failed:
    case slot_phase::error:
        return RED;
    case slot_phase::downloading:
    case slot_phase::testing:
        return CYAN;
    case slot_phase::line:
        return YELLOW;
    default:
        return DIM;
    }
}

} // namespace

std::string board_name(unsigned long number, const std::string& id) {
    std::string name = "board " + std::to_string(number);
    return id.empty() ? name : name + " [" + id + "]";
}

std::string record_line(const std::string& port, unsigned long number, const std::string& id,
                        const std::vector<test_result>& tests, const std::string& error) {
    std::string text = port + ": " + board_name(number, id) + ": ";
    for (std::size_t i = 0; i < tests.size(); ++i)
        text += (i ? ", " : "") + tests[i].memory + (tests[i].passed ? " passed" : " failed");
    if (!error.empty())
        text += (tests.empty() ? "" : ", ") + std::string("error: ") + error;
    return text;
}

std::string final_line(const station_totals& t) {
    char text[160];
    std::snprintf(text, sizeof text, "Station: %lu boards, %lu passed, %lu failed, %lu errors.",
                  t.boards, t.passed, t.failed, t.errors);
    return text;
}

std::string event_line(const std::string& port, const std::string& text) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (const std::tm* t = std::localtime(&now))
        local = *t;
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return std::string(stamp) + " " + port + " " + text;
}

std::vector<std::string> view_lines(const std::vector<slot_view>& slots,
                                    const station_totals& totals, int columns, bool colour) {
    // One column short of the width: a full line would wrap on some terminals.
    const std::size_t width = columns > 1 ? static_cast<std::size_t>(columns - 1) : 79;
    std::size_t port_width = 4, board_width = 0;
    for (const slot_view& s : slots) {
        port_width = std::max(port_width, std::min<std::size_t>(width_of(s.port), 28));
        if (s.number != 0)
            board_width = std::max(board_width,
                                   std::min<std::size_t>(width_of(board_name(s.number, s.id)), 24));
    }
    std::vector<std::string> lines;
    for (const slot_view& s : slots) {
        std::string prefix = padded(s.port, port_width) + "  ";
        if (board_width > 0)
            prefix += padded(s.number ? board_name(s.number, s.id) : "", board_width) + "  ";
        const std::string elapsed = clock_time(s.seconds);
        prefix += std::string(elapsed.size() < 7 ? 7 - elapsed.size() : 0, ' ') + elapsed + "  ";
        if (width_of(prefix) >= width) {
            lines.push_back(cut(prefix, width));
            continue;
        }
        const std::string state = cut(state_text(s), width - width_of(prefix));
        lines.push_back(colour ? prefix + state_colour(s) + state + RESET : prefix + state);
    }
    char text[200];
    std::snprintf(text, sizeof text,
                  "%lu boards: %lu passed, %lu failed, %lu errors; %.1f boards per hour",
                  totals.boards, totals.passed, totals.failed, totals.errors,
                  totals.hours > 0 ? static_cast<double>(totals.boards) / totals.hours : 0.0);
    std::string last = text;
    if (!totals.queued_ids.empty()) {
        last += "; IDs queued:";
        for (const std::string& id : totals.queued_ids)
            last += " " + id;
    }
    lines.push_back(cut(last, width));
    return lines;
}

std::string redraw_view(terminal_view& view, const std::vector<std::string>& lines,
                        const std::string& above) {
    std::string out;
    if (view.drawn > 0)
        out += "\r\x1b[" + std::to_string(view.drawn) + "A";
    if (!above.empty())
        out += "\x1b[J" + above;
    for (const std::string& line : lines)
        out += "\x1b[2K" + line + "\n";
    out += "\x1b[J"; // a view that lost a port leaves no line behind
    view.drawn = lines.size();
    return out;
}

} // namespace korvin
