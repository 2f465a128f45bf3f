// The explanation of a failed open on Windows, built from the error code and
// the system's text alone, so that it can be tested anywhere.
#include "open_failure.h"

#include <cctype>

namespace korvin {

namespace {

// Windows system error codes, as winerror.h numbers them.
constexpr unsigned long WIN_FILE_NOT_FOUND = 2;
constexpr unsigned long WIN_PATH_NOT_FOUND = 3;
constexpr unsigned long WIN_ACCESS_DENIED = 5;
constexpr unsigned long WIN_SHARING_VIOLATION = 32;

} // namespace

std::string explain_com_number(const std::string& port) {
    if (port.size() < 4 || port.compare(0, 3, "COM") != 0 ||
        port.find_first_not_of("-0123456789", 3) != std::string::npos ||
        (port[3] != '-' && port.find_first_not_of('0', 3) != std::string::npos))
        return "";
    return "COM ports count from 1: there is no " + port +
           ".\nRun korvin --list-ports to see the serial ports this machine has.\n";
}

std::string explain_windows_open_failure(const std::string& port, unsigned long error,
                                         const std::string& system_text) {
    const std::string numbering = explain_com_number(port);
    if (!numbering.empty())
        return numbering;
    switch (error) {
    case WIN_FILE_NOT_FOUND:
    case WIN_PATH_NOT_FOUND:
        return port + " does not exist on this system.\n"
                      "Run korvin --list-ports to see the serial ports this machine has.\n";
    case WIN_ACCESS_DENIED:
    case WIN_SHARING_VIOLATION:
        // A COM port opens for one handle at a time; the second open is
        // refused as access denied.
        return port +
               " is in use by another program (Windows reports an open port as access denied); "
               "close that program and try again.\n";
    default:
        break;
    }
    // FormatMessage's text ends with a line break; the sentence ends here.
    std::string reason = system_text;
    while (!reason.empty() && std::isspace(static_cast<unsigned char>(reason.back())))
        reason.pop_back();
    if (reason.empty())
        reason = "no text for it";
    if (reason.back() != '.')
        reason += '.';
    return "Opening " + port + " failed (error " + std::to_string(error) + "): " + reason + "\n";
}

} // namespace korvin
