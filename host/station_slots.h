#pragma once
// The station's slots, one a port, and what the events of each port's korvin
// process do to them: the board's number and ID at the wake, its progress, its
// record when its run ends. station.cpp runs the loop around them.
#include "events.h"
#include "processes.h"
#include "station.h"
#include "station_view.h"

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace korvin {

using station_clock = std::chrono::steady_clock;

// A board the station numbered, under test or recorded.
struct board_run {
    unsigned long number = 0;
    std::string id;
    station_clock::time_point woke;
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
    station_clock::time_point since = station_clock::now();
    station_clock::time_point start_at = station_clock::now();
    bool gone = false; // the listing no longer shows the port
    std::string last_printed;
};

// The whole station, for the loop and the slots' events.
struct station_state {
    station_state(const station_settings& s, const std::string& k) : settings(s), korvin(k) {}
    const station_settings& settings;
    std::string korvin;
    std::vector<std::unique_ptr<slot>> slots;
    std::deque<std::string> ids;
    bool input_open = true;
    unsigned long numbered = 0;
    station_totals totals;
    station_clock::time_point started = station_clock::now();
    bool terminal = false, colour = false;
    terminal_view view;
    std::string above;                 // record lines waiting to go above the view
    bool closing = false;              // no board is to come: --count numbered, or a stop request
    bool stopping = false;             // a stop request: the runs are ending
    station_clock::time_point kill_at; // then those still running are killed
};

// A line "HH:MM:SS PORT text" when standard output is no terminal; the same
// text twice in a row is said once.
void print_line(station_state& st, slot& s, const std::string& text);
// Asks the slot's process to stop, once.
void stop_slot(slot& s);
void set_phase(slot& s, slot_phase phase, const std::string& detail = "");
// What one event of the slot's process changes.
void on_event(station_state& st, slot& s, const run_event& e);
// The slot's process has ended (`how`): the record of a board that had none
// yet, and when the next process may start.
void end_child(station_state& st, slot& s, const child_exit& how);

} // namespace korvin
