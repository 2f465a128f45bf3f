#pragma once
// What the station shows: on a terminal one line per port redrawn in place
// and a totals line; anywhere else one line per event and one record line per
// finished board. Pure text, so that every line can be checked without a
// terminal.
#include <string>
#include <vector>

namespace korvin {

enum class slot_phase {
    waking,      // korvin is asking the line for a boot ROM
    empty,       // the line is silent: no board
    swap,        // the tested board still runs its monitor
    line,        // the line does something else (detail says what)
    downloading, // detail: the percentage
    testing,     // detail: the memory ("SDRAM")
    passed,      // the board's run is over
    failed,      // detail: the first finding
    error,       // detail: korvin's message
};

// One port's line.
struct slot_view {
    std::string port;
    unsigned long number = 0; // the board's running number; 0: no board
    std::string id;
    slot_phase phase = slot_phase::waking;
    std::string detail;
    slot_phase last = slot_phase::passed; // swap: how the board's run ended
    long seconds = 0;                     // in this phase or, for a board, since it woke
};

struct station_totals {
    unsigned long boards = 0, passed = 0, failed = 0, errors = 0;
    double hours = 0; // since the station started
    std::vector<std::string> queued_ids;
};

// "board 7" or "board 7 [SN123]".
std::string board_name(unsigned long number, const std::string& id);

// The one line for a finished board: "PORT: board 7 [SN123]: SDRAM passed,
// FLASH failed, SRAM passed", the tests in run order, then ", error: <message>"
// when its run could not finish.
struct test_result {
    std::string memory; // "SDRAM"
    bool passed = false;
};
std::string record_line(const std::string& port, unsigned long number, const std::string& id,
                        const std::vector<test_result>& tests, const std::string& error);

// "Station: B boards, P passed, F failed, E errors."
std::string final_line(const station_totals& totals);

// "HH:MM:SS PORT text" at the local time now.
std::string event_line(const std::string& port, const std::string& text);

// The terminal view: a line per slot and the totals, each cut to `columns`,
// with ANSI colours when `colour`.
std::vector<std::string> view_lines(const std::vector<slot_view>& slots,
                                    const station_totals& totals, int columns, bool colour);

// The text that draws `lines` over the view drawn before (the cursor stands
// below it). `above`, lines each ended by '\n', goes where the old view
// began and stays above the new one.
struct terminal_view {
    std::size_t drawn = 0; // lines of the view on the screen
};
std::string redraw_view(terminal_view& view, const std::vector<std::string>& lines,
                        const std::string& above = "");

} // namespace korvin
