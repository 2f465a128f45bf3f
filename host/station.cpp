#include "station.h"

#include "ports.h"
#include "record_spool.h"
#include "recorder.h"
#include "serial.h"
#include "station_slots.h"
#include "test_report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace korvin {

namespace {

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
    for (const auto& entry : found) {
        const std::string& real = entry.second;
        const bool duplicate = real != entry.first &&
                               std::any_of(found.begin(), found.end(),
                                           [&](const auto& other) { return other.first == real; });
        if (!duplicate)
            ports.push_back(entry.first);
    }
    return ports;
}

void start_child(station_state& st, slot& s) {
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
    if (!st.settings.record_url.empty())
        argv.insert(argv.end(), {"--record", st.settings.record_url});
    std::string error;
    s.child = child_start(argv, error);
    s.output_ended = s.stop_sent = false;
    s.woke = s.held = s.declined = false;
    s.message.clear();
    if (!s.child) {
        set_phase(s, slot_phase::error, "could not start " + st.korvin + ": " + error);
        print_line(st, s, "error: " + s.detail);
        s.start_at = station_clock::now() + std::chrono::milliseconds(RETRY_MS);
        return;
    }
}

void refresh_ports(station_state& st) {
    const std::vector<std::string> ports = listed_ports();
    for (auto& s : st.slots) {
        const bool listed = std::find(ports.begin(), ports.end(), s->argument) != ports.end();
        if (!listed && !s->gone) {
            s->gone = true;
            print_line(st, *s, "left");
            // A board under test finds out itself: its link is lost.
            if (s->child && !s->woke)
                stop_slot(*s);
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

void draw(station_state& st) {
    std::vector<slot_view> views;
    const station_clock::time_point now = station_clock::now();
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

void begin_stop(station_state& st) {
    st.closing = st.stopping = true;
    st.kill_at = station_clock::now() + std::chrono::milliseconds(STOP_GRACE_MS);
    for (auto& s : st.slots)
        stop_slot(*s);
}

// One turn of the loop: read what came, end what ended, start what is due.
void serve(station_state& st) {
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
            stop_slot(*s); // --count has numbered its last board
    }
    const station_clock::time_point now = station_clock::now();
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
    return file_creatable((std::filesystem::path(dir) / ".korvin-write-test").string());
}

namespace {

// Opens the results store to refuse a bad one before any board is touched,
// and sends what runs spooled: the boards' runs say nothing on standard
// error (theirs goes nowhere), so after the last one the station says where
// the records wait when the store is still away.
bool send_spool(const std::string& url, bool after_runs) {
    if (url.empty())
        return true;
    run_recorder recorder;
    std::string reason;
    if (recorder.open(url, reason))
        return true;
    const std::string spool = record_spool_path(url);
    std::error_code error;
    if (!after_runs)
        std::fprintf(stderr, "Could not use the record store %s: %s.\n", url.c_str(),
                     reason.c_str());
    else if (std::filesystem::exists(spool, error))
        std::fprintf(stderr,
                     "The record store failed (%s); the runs it could not take are kept in %s "
                     "until a later korvin with the same --record sends them.\n",
                     reason.c_str(), spool.c_str());
    return false;
}

} // namespace

int station_main(const station_settings& settings, const std::string& korvin) {
    station_state st{settings, korvin};
    if (!send_spool(settings.record_url, false))
        return 1;
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
    station_clock::time_point listed = station_clock::now(), drawn;
    for (;;) {
        if (stop_requested() && !st.stopping)
            begin_stop(st);
        if (st.stopping && station_clock::now() >= st.kill_at)
            for (auto& s : st.slots)
                if (s->child)
                    child_kill(s->child);
        serve(st);
        if (listing && !st.closing &&
            station_clock::now() - listed >= std::chrono::milliseconds(PORT_LISTING_MS)) {
            refresh_ports(st);
            listed = station_clock::now();
        }
        const bool busy = std::any_of(st.slots.begin(), st.slots.end(),
                                      [](const auto& s) { return s->child != nullptr; });
        if (st.closing && !busy)
            break;
        if (st.terminal &&
            (!st.above.empty() || station_clock::now() - drawn >= std::chrono::milliseconds(250))) {
            draw(st);
            drawn = station_clock::now();
        }
        // A process whose output has ended is about to exit: look again soon.
        std::vector<child_process*> children;
        int wait_ms = 250;
        for (const auto& s : st.slots) {
            if (s->child && !s->output_ended)
                children.push_back(s->child);
            else if (s->child)
                wait_ms = 5;
        }
        wait_for_activity(children, st.input_open, wait_ms);
    }
    if (st.terminal) {
        draw(st);
        restore_input_echo();
    }
    send_spool(settings.record_url, true);
    std::printf("%s\n", final_line(st.totals).c_str());
    const bool trouble = st.totals.failed + st.totals.errors > 0;
    return settings.strict && trouble ? 2 : 0;
}

} // namespace korvin
