#pragma once
// Parts of the serial link that need no system headers, so that tests on any
// system can reach them.
#include <string>

namespace korvin {

// serial_open_explanation()'s text on Windows for CreateFile's error code
// (GetLastError) and the system's text for it (FormatMessage).
std::string explain_windows_open_failure(const std::string& port, unsigned long error,
                                         const std::string& system_text);

} // namespace korvin
