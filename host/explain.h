#pragma once
// What the line did when a run went wrong before or during the tests, put in
// words a technician can act on. Pure functions over what the link saw, so
// that each explanation can be checked without a board.
#include "text.h" // hex_bytes, which the explanations quote the line with

#include <cstdint>
#include <string>

namespace korvin {

// How the line answered korvin's status requests while it waited for the
// boot ROM.
enum class line_behaviour {
    unknown, // not clear yet: too few requests, or nothing seen
    silent,  // no byte at all
    echo,    // the requests came back as they were sent
    monitor, // ':', result digits and '?': a korvin monitor still running
    secure,  // 12 34 34 12: a boot ROM in secure mode
    other,   // bytes of another kind
};

// Silent requests in a row before silence counts as the line's behaviour:
// a boot ROM that is still coming out of reset may miss one or two.
constexpr unsigned SILENT_REQUESTS = 3;

// Everything the wake-up saw, request by request.
struct wake_observation {
    unsigned requests = 0;        // status requests sent
    unsigned silent_in_a_row = 0; // of the latest requests, how many got nothing
    std::string first_answer;     // the first non-empty answer, at most 64 bytes
    line_behaviour behaviour = line_behaviour::unknown;

    // Files the answer (possibly empty) to one request of `sent`.
    void record(const std::string& sent, const std::string& answer);
};

// Classifies one non-empty answer to the request `sent`.
line_behaviour classify_answer(const std::string& sent, const std::string& answer);

// A sentence or two for the behaviour seen, each line ended by '\n'; "" for
// unknown.
std::string explain_wake(const wake_observation& seen);

// Why the boot ROM's answer to the write-file command (start = false) or to
// the status request after the image (start = true) was not the one that
// lets korvin go on; `answer` holds the bytes received, at most four.
std::string explain_refusal(bool start, const std::string& answer);

} // namespace korvin
