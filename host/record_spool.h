#pragma once
// The spool: what a store could not take during a run, kept in a local file
// (one JSON line an operation, per store) until a later korvin with the same
// store sends it. Appends and the sending take a file lock, so that neither
// two processes sending the same spool nor an append during a send lose or
// repeat a line.
#include "record.h"

#include <string>

namespace korvin {

struct spool_entry {
    enum kind { BEGIN_RUN, ADD_TEST, UPDATE_RUN } op = BEGIN_RUN;
    record_run run;   // BEGIN_RUN, UPDATE_RUN
    record_test test; // ADD_TEST
};

// The folder of korvin's spools: $XDG_STATE_HOME/korvin or
// ~/.local/state/korvin, %LOCALAPPDATA%\korvin on Windows.
std::string record_state_dir();

// The spool file of the store `url` (a SQLite path made absolute first).
std::string record_spool_path(const std::string& url);

// One entry as its line (no line end), and back; false for a line that is
// not one (a line cut short by a crash).
std::string spool_line(const spool_entry& entry);
bool parse_spool_line(const std::string& line, spool_entry& entry);

// Appends the entry to the store's spool; false with the reason.
bool spool_append(const std::string& url, const spool_entry& entry, std::string& error);

// Sends the store's spool in order and empties it once the store took all
// of it. The number of entries sent, or -1 with the reason (the spool is then
// kept whole: sending it again writes nothing twice).
int spool_replay(const std::string& url, record_store& store, std::string& error);

} // namespace korvin
