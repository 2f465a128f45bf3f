// What Windows says of a port that would not open.
#include "open_failure.h"

#include <windows.h>

namespace korvin {

std::string windows_error_text(unsigned long error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length != 0 && text ? std::string(text, length) : std::string();
    LocalFree(text);
    return result;
}

} // namespace korvin
