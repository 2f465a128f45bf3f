#include "text.h"

#include <cstdio>

namespace korvin {

std::string vformat(const char* fmt, va_list args) {
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, fmt, args);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    if (size > 0)
        std::vsnprintf(&text[0], text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = vformat(fmt, args);
    va_end(args);
    return text;
}

std::string count_of(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + plural(n, one, many);
}

std::string join(const std::vector<std::string>& items, const std::string& separator,
                 const std::string& last_separator) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            text += i + 1 == items.size() ? last_separator : separator;
        text += items[i];
    }
    return text;
}

std::string list_and(const std::vector<std::string>& items) {
    return join(items, ", ", " and ");
}

std::string list_or(const std::vector<std::string>& items) {
    return join(items, ", ", " or ");
}

std::string hex_bytes(const std::string& bytes, std::size_t limit) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i)
        text += format(i ? " %02x" : "%02x", static_cast<unsigned char>(bytes[i]));
    if (bytes.size() > limit)
        text += " ...";
    return text;
}

std::string time_text(std::time_t when, const char* fmt, bool utc) {
    std::tm parts{};
#if defined(_WIN32)
    if (utc)
        gmtime_s(&parts, &when);
    else
        localtime_s(&parts, &when);
#else
    if (utc)
        gmtime_r(&when, &parts);
    else
        localtime_r(&when, &parts);
#endif
    char buffer[64];
    return std::strftime(buffer, sizeof buffer, fmt, &parts) ? buffer : "";
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace korvin
