#pragma once
// A JUnit XML report of one pass over the memory tests, for test-result
// collectors on a production line.
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

// Writes one <testsuite name="korvin"> with a <testcase> per outcome, in
// order, each failed one carrying a <failure> with its result code and
// findings, each interrupted one an <error> with its reason. The report goes to a temporary file in
// the same folder first and is then renamed over `path`, so readers only ever see a complete
// report. Returns 1 on success, 0 when the file could not be written (the temporary file is removed
// and `path` is left as it was).
int write_junit_report(const std::string& path, const std::vector<test_outcome>& tests);

// `text` with the XML special characters escaped, for attribute values and
// character data; characters XML 1.0 cannot carry become '?'.
std::string xml_escape(const std::string& text);

} // namespace korvin
