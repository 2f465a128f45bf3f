#pragma once
// korvin's --events stream: what a run does, as one JSON object a line on
// standard output, for a station or any other program that drives korvin.
// The writer and the reader of exactly these objects.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korvin {

enum class event_kind {
    line,     // while waking: what the line does changed ("state")
    wake,     // the boot ROM answered ready
    download, // the image is "percent" sent
    test,     // a test starts ("test", "pass")
    verdict,  // a test ended ("test", "pass", "status", "code", "seconds", "findings")
    error,    // korvin's message ("message")
    end,      // the run is over ("outcome", "status"); always the last
};

struct run_event {
    event_kind kind = event_kind::error;
    std::string time;                  // UTC with milliseconds: "2026-12-08T09:40:12.345Z"
    std::string state;                 // line: silent, monitor, echo, secure, other
    int percent = 0;                   // download
    std::string test;                  // test, verdict: sdram, flash, sram
    unsigned long pass = 1;            // test, verdict: the first pass is 1
    bool passed = false;               // verdict: "status" passed or failed
    std::uint32_t code = 0;            // verdict: the monitor's result code
    double seconds = 0;                // verdict: from the command to the result
    std::vector<std::string> findings; // verdict: the diagnosis, one line each
    std::string message;               // error: as korvin printed it, without the line end
    std::string outcome;               // end: passed, failed, error, interrupted
    int status = 0;                    // end: korvin's exit status
};

// The event's name in the stream ("line", "wake", ...).
const char* event_name(event_kind kind);

// The object with only the event's own fields, and a line feed.
std::string event_text(const run_event& event);

// Reads one line that event_text wrote (its line end may be missing); false
// for anything else. Fields it does not know are skipped.
bool parse_event(const std::string& line, run_event& event);

// Now, as "time" shows it.
std::string event_time_now();

// Where emit_event writes: null (the default) turns the stream off. A run
// with --events gives it the real standard output and sends the console's
// text to the null device, so that the stream carries events alone.
void set_event_stream(std::FILE* stream);
bool events_enabled();

// Writes the event with the current time and flushes it at once.
void emit_event(run_event event);

// printf to standard error; with the stream on, the same text as an error
// event too, without its carriage returns and line feeds, which is also what
// last_error() gives from then on.
void print_error(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
const std::string& last_error();

} // namespace korvin
