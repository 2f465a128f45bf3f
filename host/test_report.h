#pragma once
// The report of one pass over the memory tests, for test-result collectors
// and factory databases on a production line: JUnit XML, or JSON when the
// file name ends in ".json".
#include <cstdint>
#include <string>
#include <vector>

namespace korvin {

struct test_outcome {
    std::string name;                  // "sdram", "flash" or "sram"
    std::uint32_t result_code = 0;     // 0 passed
    double seconds = 0;                // how long the test took
    std::vector<std::string> findings; // what the diagnosis found, one line each
    std::string error; // set when the test could not finish: why (the link was lost)
};

// What a report says of the run as a whole.
struct run_facts {
    std::string timestamp;             // when the pass began, "2026-12-08T09:40:12"
    std::string hostname;              // the station
    std::string port;                  // COMn or the device path
    std::string version;               // korvin's
    std::size_t boot_image_length = 0; // bytes downloaded
    unsigned long board_number = 0;    // --board-number, the station's; 0 for none
    std::string board_id;              // --board-id (a serial number); "" for none
};

// One <testsuite name="korvin"> with the facts as its timestamp, hostname
// and <properties>, and a <testcase> per outcome, in order: each failed one
// carries a <failure> with its result code and findings, each interrupted
// one an <error> with its reason.
std::string junit_report_text(const run_facts& facts, const std::vector<test_outcome>& tests);

// The same content as one JSON object.
std::string json_report_text(const run_facts& facts, const std::vector<test_outcome>& tests);

// Writes the report in the format its name asks for. It goes to a temporary
// file in the same folder first and is then renamed over `path`, so readers
// only ever see a complete report. False when the file could not be written
// (the temporary file is removed and `path` is left as it was).
bool write_test_report(const std::string& path, const run_facts& facts,
                       const std::vector<test_outcome>& tests);

// Whether a file can be created at `path`: it is made and removed again, so
// that a report that could not be written is refused before the board is
// touched, not after a long run.
bool file_creatable(const std::string& path);

// The local time as a report shows it, e.g. "2026-12-08T09:40:12".
std::string report_timestamp();

// Now in UTC as record names show it: "20261208T094012Z".
std::string record_stamp();

// The name, without extension, of one board's records under --report-dir:
// "20261208T094012Z-dev_ttyUSB0-7-SN123" from the stamp, the port, the board
// number (left out when 0) and the ID (left out when empty). The port and the
// ID keep letters, digits, '.' and '-'; other characters become '_', and none
// begins or ends a part.
std::string record_name(const std::string& stamp, const std::string& port, unsigned long number,
                        const std::string& id);

// `text` with the XML special characters escaped, for attribute values and
// character data; characters XML 1.0 cannot carry become '?'.
std::string xml_escape(const std::string& text);

// `text` as a JSON string literal, quotes included; bytes above 0x7f are
// taken as Latin-1, so that any byte string gives valid JSON.
std::string json_string(const std::string& text);

} // namespace korvin
