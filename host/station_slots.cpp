#include "station_slots.h"

#include <algorithm>
#include <cstdio>

namespace korvin {

namespace {

const char* memory_name(const std::string& test) {
    return test == "sdram" ? "SDRAM" : test == "flash" ? "FLASH" : test == "sram" ? "SRAM" : "?";
}

void on_wake(station_state& st, slot& s) {
    if (st.closing) {
        // Too late for this board: it is neither numbered nor counted.
        s.declined = true;
        stop_slot(s);
        return;
    }
    board_run& b = s.board;
    b = board_run{};
    b.number = ++st.numbered;
    if (!st.ids.empty()) {
        b.id = st.ids.front();
        st.ids.pop_front();
    }
    b.woke = station_clock::now();
    s.woke = s.show_board = true;
    child_write(s.child, std::to_string(b.number) + " " + b.id + "\n");
    set_phase(s, slot_phase::downloading, "0");
    print_line(st, s, board_name(b.number, b.id) + ": woke");
    if (st.settings.count != 0 && st.numbered >= st.settings.count)
        st.closing = true;
}

// The board's record: at its run's end event, or `crash` when its process
// ended without one.
void record_board(station_state& st, slot& s, const std::string& crash) {
    board_run& b = s.board;
    s.woke = false;
    s.held = true;
    if (b.error.empty())
        b.error = crash;
    if (b.error.empty() && (b.outcome == "error" || b.outcome == "interrupted"))
        b.error = "the run ended without a verdict";
    const bool failed =
        std::any_of(b.tests.begin(), b.tests.end(), [](const test_result& t) { return !t.passed; });
    ++st.totals.boards;
    if (!b.error.empty()) {
        ++st.totals.errors;
        set_phase(s, slot_phase::error, b.error);
    } else if (failed) {
        ++st.totals.failed;
        set_phase(s, slot_phase::failed, b.first_finding);
    } else {
        ++st.totals.passed;
        set_phase(s, slot_phase::passed);
    }
    s.last = s.phase;
    s.since = station_clock::now();
    const std::string line = record_line(s.name, b.number, b.id, b.tests, b.error);
    if (st.terminal)
        st.above += line + "\n";
    else
        std::printf("%s\n", line.c_str());
    s.last_printed.clear();
}

} // namespace

void print_line(station_state& st, slot& s, const std::string& text) {
    if (st.terminal || text == s.last_printed)
        return;
    s.last_printed = text;
    std::printf("%s\n", event_line(s.name, text).c_str());
}

void stop_slot(slot& s) {
    if (s.child && !s.stop_sent)
        child_stop(s.child);
    s.stop_sent = true;
}

void set_phase(slot& s, slot_phase phase, const std::string& detail) {
    if (s.phase != phase)
        s.since = station_clock::now();
    s.phase = phase;
    s.detail = detail;
}

void on_event(station_state& st, slot& s, const run_event& e) {
    board_run& b = s.board;
    const std::string who = board_name(b.number, b.id) + ": ";
    switch (e.kind) {
    case event_kind::line:
        if (st.closing)
            break; // no board is to come: what the line does no longer matters
        if (e.state == "silent") {
            s.show_board = false;
            set_phase(s, slot_phase::empty);
            print_line(st, s, "empty");
        } else if (e.state == "monitor") {
            set_phase(s, slot_phase::swap);
            print_line(st, s, "done: swap the board");
        } else {
            s.show_board = false;
            set_phase(s, slot_phase::line,
                      e.state == "echo"     ? "the line echoes what korvin sends"
                      : e.state == "secure" ? "a boot ROM in secure mode"
                                            : "bytes a boot ROM does not send");
            print_line(st, s, s.detail);
        }
        break;
    case event_kind::wake:
        on_wake(st, s);
        break;
    case event_kind::download:
        if (s.woke) {
            if (s.phase != slot_phase::downloading || s.detail == "0")
                print_line(st, s, who + "downloading");
            set_phase(s, slot_phase::downloading, std::to_string(e.percent));
        }
        break;
    case event_kind::test:
        set_phase(s, slot_phase::testing, memory_name(e.test));
        print_line(st, s, who + memory_name(e.test));
        break;
    case event_kind::verdict: {
        b.tests.push_back({memory_name(e.test), e.passed});
        std::string text = who + memory_name(e.test) + (e.passed ? " passed" : " failed");
        if (!e.passed) {
            const std::string finding =
                e.findings.empty() ? "result code " + std::to_string(e.code) : e.findings.front();
            if (b.first_finding.empty())
                b.first_finding = std::string(memory_name(e.test)) + ": " + finding;
            text += ": " + finding;
        }
        print_line(st, s, text);
        break;
    }
    case event_kind::error:
        if (s.woke) {
            b.error = e.message;
            print_line(st, s, who + "error: " + e.message);
        } else if (!s.declined && !s.held && !st.stopping) {
            s.message = e.message;
            s.show_board = false;
            set_phase(s, slot_phase::error, e.message);
            print_line(st, s, "error: " + e.message);
        }
        break;
    case event_kind::end:
        if (s.woke) {
            b.outcome = e.outcome;
            record_board(st, s, "");
        }
        break;
    }
}

void end_child(station_state& st, slot& s, const child_exit& how) {
    child_release(s.child);
    s.child = nullptr;
    if (s.woke)
        record_board(st, s,
                     how.signal ? "korvin ended on signal " + std::to_string(how.signal)
                                : "korvin ended with status " + std::to_string(how.status) +
                                      " before its run did");
    if (s.held) {
        s.start_at = station_clock::now(); // the board has gone: the next one may come at once
        return;
    }
    if (s.declined || s.stop_sent || st.closing)
        return;
    if (s.message.empty()) {
        set_phase(s, slot_phase::error,
                  how.signal ? "korvin ended on signal " + std::to_string(how.signal)
                             : "korvin ended with status " + std::to_string(how.status));
        print_line(st, s, "error: " + s.detail);
    }
    s.start_at = station_clock::now() + std::chrono::milliseconds(RETRY_MS);
}

} // namespace korvin
