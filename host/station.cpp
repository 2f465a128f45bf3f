#include "station.h"

#include "events.h"
#include "ports.h"
#include "processes.h"
#include "serial.h"
#include "station_view.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>

namespace korvin {

namespace {

using clock = std::chrono::steady_clock;

struct board_run {
    unsigned long number = 0;
    std::string id;
    clock::time_point woke;
    std::vector<test_result> tests;
    std::string first_finding;
    std::string error;
    std::string outcome; // of the end event; "" when there was none
};

// One port and the korvin process serving it.
struct slot {
    std::string argument; // what -p takes
    std::string name;     // as the lines show it
    child_process* child = nullptr;
    bool output_ended = false;
    bool stop_sent = false;
    bool woke = false;     // this process's board woke and got its number, no record yet
    bool held = false;     // its board is recorded; the process watches for the swap
    bool declined = false; // it woke after the station had closed
    std::string message;   // the process's error before its board woke
    board_run board;       // the board now under test, or the last one
    bool show_board = false;
    slot_phase phase = slot_phase::waking;
    std::string detail;
    slot_phase last = slot_phase::waking; // how the last board's run ended
    clock::time_point since = clock::now();
    clock::time_point start_at = clock::now();
    bool gone = false; // the listing no longer shows the port
    std::string last_printed;
};

struct station {
    station(const station_settings& s, const std::string& k) : settings(s), korvin(k) {}
    const station_settings& settings;
    std::string korvin;
    std::vector<std::unique_ptr<slot>> slots;
    std::deque<std::string> ids;
    bool input_open = true;
    unsigned long numbered = 0;
    station_totals totals;
    clock::time_point started = clock::now();
    bool terminal = false, colour = false;
    terminal_view view;
    std::string above; // record lines waiting to go above the view
    bool closing = false;
    bool stopping = false;
    clock::time_point kill_at;
};

std::string shown_name(const std::string& argument) {
    if (!argument.empty() && argument.find_first_not_of("0123456789") == std::string::npos)
        return com_port_name(std::atoi(argument.c_str()));
    return argument;
}

// What the listing shows, without the links (/dev/serial/by-id) to devices it
// shows too: one device must have one korvin.
std::vector<std::string> listed_ports() {
    std::vector<std::pair<std::string, std::string>> found;
    for (const serial_port_entry& port : serial_list_ports()) {
        std::error_code error;
        const std::filesystem::path real = std::filesystem::canonical(port.argument, error);
        found.push_back({port.argument, error ? port.argument : real.string()});
    }
    std::vector<std::string> ports;
    for (const auto& [argument, real] : found) {
        const bool duplicate =
            real != argument && std::any_of(found.begin(), found.end(),
                                            [&](const auto& other) { return other.first == real; });
        if (!duplicate)
            ports.push_back(argument);
    }
    return ports;
}

void print_line(station& st, slot& s, const std::string& text) {
    if (st.terminal || text == s.last_printed)
        return;
    s.last_printed = text;
    std::printf("%s\n", event_line(s.name, text).c_str());
}

void stop(slot& s) {
    if (s.child && !s.stop_sent)
        child_stop(s.child);
    s.stop_sent = true;
}

void set_phase(slot& s, slot_phase phase, const std::string& detail = "") {
    if (s.phase != phase)
        s.since = clock::now();
    s.phase = phase;
    s.detail = detail;
}

void start_child(station& st, slot& s) {
    std::vector<std::string> argv = {st.korvin,         "--events", "--ask-board",
                                     "--until-swapped", "-p",       s.argument};
    if (!st.settings.test.empty())
        argv.push_back(st.settings.test);
    if (st.settings.diagnose)
        argv.push_back("--diagnose");
    if (st.settings.timeout_seconds > 0)
        argv.insert(argv.end(), {"--timeout", std::to_string(st.settings.timeout_seconds)});
    if (!st.settings.report_dir.empty())
        argv.insert(argv.end(), {"--report-dir", st.settings.report_dir});
    std::string error;
    s.child = child_start(argv, error);
    s.output_ended = s.stop_sent = false;
    s.woke = s.held = s.declined = false;
    s.message.clear();
    if (!s.child) {
        set_phase(s, slot_phase::error, "could not start " + st.korvin + ": " + error);
        print_line(st, s, "error: " + s.detail);
        s.start_at = clock::now() + std::chrono::milliseconds(RETRY_MS);
        return;
    }
}

const char* memory_name(const std::string& test) {
    return test == "sdram" ? "SDRAM" : test == "flash" ? "FLASH" : test == "sram" ? "SRAM" : "?";
}

void on_wake(station& st, slot& s) {
    if (st.closing) {
        // Too late for this board: it is neither numbered nor counted.
        s.declined = true;
        stop(s);
        return;
    }
    board_run& b = s.board;
    b = board_run{};
    b.number = ++st.numbered;
    if (!st.ids.empty()) {
        b.id = st.ids.front();
        st.ids.pop_front();
    }
    b.woke = clock::now();
    s.woke = s.show_board = true;
    child_write(s.child, std::to_string(b.number) + " " + b.id + "\n");
    set_phase(s, slot_phase::downloading, "0");
    print_line(st, s, board_name(b.number, b.id) + ": woke");
    if (st.settings.count != 0 && st.numbered >= st.settings.count)
        st.closing = true;
}

// The board's record: at its run's end event, or `crash` when its process
// ended without one.
void record_board(station& st, slot& s, const std::string& crash) {
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
    s.since = clock::now();
    const std::string line = record_line(s.name, b.number, b.id, b.tests, b.error);
    if (st.terminal)
        st.above += line + "\n";
    else
        std::printf("%s\n", line.c_str());
    s.last_printed.clear();
}

void on_event(station& st, slot& s, const run_event& e) {
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

void end_child(station& st, slot& s, const child_exit& how) {
    child_release(s.child);
    s.child = nullptr;
    if (s.woke)
        record_board(st, s,
                     how.signal ? "korvin ended on signal " + std::to_string(how.signal)
                                : "korvin ended with status " + std::to_string(how.status) +
                                      " before its run did");
    if (s.held) {
        s.start_at = clock::now(); // the board has gone: the next one may come at once
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
    s.start_at = clock::now() + std::chrono::milliseconds(RETRY_MS);
}

void refresh_ports(station& st) {
    const std::vector<std::string> ports = listed_ports();
    for (auto& s : st.slots) {
        const bool listed = std::find(ports.begin(), ports.end(), s->argument) != ports.end();
        if (!listed && !s->gone) {
            s->gone = true;
            print_line(st, *s, "left");
            // A board under test finds out itself: its link is lost.
            if (s->child && !s->woke)
                stop(*s);
        }
        s->gone = !listed;
    }
    for (const std::string& port : ports) {
        if (std::none_of(st.slots.begin(), st.slots.end(),
                         [&](const auto& s) { return s->argument == port; })) {
            auto s = std::make_unique<slot>();
            s->argument = port;
            s->name = shown_name(port);
            print_line(st, *s, "joined");
            st.slots.push_back(std::move(s));
        }
    }
    st.slots.erase(std::remove_if(st.slots.begin(), st.slots.end(),
                                  [](const auto& s) { return s->gone && !s->child; }),
                   st.slots.end());
}

void draw(station& st) {
    std::vector<slot_view> views;
    const clock::time_point now = clock::now();
    for (const auto& s : st.slots) {
        slot_view v;
        v.port = s->name;
        if (s->show_board) {
            v.number = s->board.number;
            v.id = s->board.id;
        }
        v.phase = s->phase;
        v.detail = s->detail;
        v.last = s->last;
        const bool running = s->woke && s->child;
        v.seconds = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
                                          now - (running ? s->board.woke : s->since))
                                          .count());
        views.push_back(v);
    }
    st.totals.hours = std::chrono::duration<double>(now - st.started).count() / 3600;
    st.totals.queued_ids.assign(st.ids.begin(), st.ids.end());
    const std::string text =
        redraw_view(st.view, view_lines(views, st.totals, terminal_columns(), st.colour), st.above);
    st.above.clear();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void begin_stop(station& st) {
    st.closing = st.stopping = true;
    st.kill_at = clock::now() + std::chrono::milliseconds(STOP_GRACE_MS);
    for (auto& s : st.slots)
        stop(*s);
}

// One turn of the loop: read what came, end what ended, start what is due.
void serve(station& st) {
    std::vector<std::string> lines;
    if (st.input_open) {
        st.input_open = input_read_lines(lines);
        for (std::string& line : lines) {
            const std::size_t first = line.find_first_not_of(" \t\r");
            if (first != std::string::npos)
                st.ids.push_back(line.substr(first, line.find_last_not_of(" \t\r") - first + 1));
        }
    }
    for (auto& s : st.slots) {
        if (!s->child)
            continue;
        lines.clear();
        if (!s->output_ended)
            s->output_ended = !child_read_lines(s->child, lines);
        for (const std::string& line : lines) {
            run_event e;
            if (parse_event(line, e))
                on_event(st, *s, e);
        }
        child_exit how;
        if (s->output_ended && child_ended(s->child, how))
            end_child(st, *s, how);
        else if (st.closing && !st.stopping && !s->woke)
            stop(*s); // --count has numbered its last board
    }
    const clock::time_point now = clock::now();
    for (auto& s : st.slots)
        if (!s->child && !st.closing && !s->gone && now >= s->start_at)
            start_child(st, *s);
}

} // namespace

bool report_dir_writable(const std::string& dir) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (!std::filesystem::is_directory(dir, error))
        return false;
    const std::string probe = (std::filesystem::path(dir) / ".korvin-write-test").string();
    std::FILE* file = std::fopen(probe.c_str(), "wb");
    if (!file)
        return false;
    std::fclose(file);
    std::remove(probe.c_str());
    return true;
}

int station_main(const station_settings& settings, const std::string& korvin) {
    station st{settings, korvin};
    const bool listing = settings.ports.empty();
    const std::vector<std::string> ports = listing ? listed_ports() : settings.ports;
    if (ports.empty()) {
        std::fprintf(stderr, "No serial ports found.\n");
        return 1;
    }
    st.terminal = output_is_terminal();
    const char* no_colour = std::getenv("NO_COLOR");
    st.colour = st.terminal && !(no_colour && *no_colour);
    install_stop_handlers();
    for (const std::string& port : ports) {
        if (std::any_of(st.slots.begin(), st.slots.end(),
                        [&](const auto& s) { return s->argument == port; }))
            continue; // one korvin per port
        auto s = std::make_unique<slot>();
        s->argument = port;
        s->name = shown_name(port);
        st.slots.push_back(std::move(s));
    }
    if (st.terminal)
        stop_input_echo();
    clock::time_point listed = clock::now(), drawn;
    for (;;) {
        if (stop_requested() && !st.stopping)
            begin_stop(st);
        if (st.stopping && clock::now() >= st.kill_at)
            for (auto& s : st.slots)
                if (s->child)
                    child_kill(s->child);
        serve(st);
        if (listing && !st.closing &&
            clock::now() - listed >= std::chrono::milliseconds(PORT_LISTING_MS)) {
            refresh_ports(st);
            listed = clock::now();
        }
        const bool busy = std::any_of(st.slots.begin(), st.slots.end(),
                                      [](const auto& s) { return s->child != nullptr; });
        if (st.closing && !busy)
            break;
        if (st.terminal &&
            (!st.above.empty() || clock::now() - drawn >= std::chrono::milliseconds(250))) {
            draw(st);
            drawn = clock::now();
        }
        std::vector<child_process*> children;
        for (const auto& s : st.slots)
            if (s->child && !s->output_ended)
                children.push_back(s->child);
        wait_for_activity(children, st.input_open, 250);
    }
    if (st.terminal) {
        draw(st);
        restore_input_echo();
    }
    std::printf("%s\n", final_line(st.totals).c_str());
    const bool trouble = st.totals.failed + st.totals.errors > 0;
    return settings.strict && trouble ? 2 : 0;
}

} // namespace korvin
