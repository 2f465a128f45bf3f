#pragma once
// Building the texts korvin prints: printf into a string, counted nouns,
// lists in words and bytes in hexadecimal.
#include <cstdarg>
#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

namespace korvin {

// printf into a string. The text keeps every byte the format gives, NUL
// bytes included; a format error gives "".
std::string format(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::string vformat(const char* fmt, va_list args);

// The noun alone, `one` for 1 and `many` otherwise: "%d %s" with n and it
// reads "1 mismatch", "0 mismatches".
inline const char* plural(long long n, const char* one, const char* many) {
    return n == 1 ? one : many;
}

// The number and its noun: "1 byte", "3 bytes".
std::string count_of(long long n, const char* one, const char* many);

// The items separated by `separator`, the last two by `last_separator`:
// join({"a", "b", "c"}, ", ", " and ") is "a, b and c"; "" for none.
std::string join(const std::vector<std::string>& items, const std::string& separator,
                 const std::string& last_separator);

// "a, b and c" and "a, b or c".
std::string list_and(const std::vector<std::string>& items);
std::string list_or(const std::vector<std::string>& items);

// "xx yy zz": at most `limit` bytes in lowercase hexadecimal, " ..." after
// them when there are more.
std::string hex_bytes(const std::string& bytes, std::size_t limit = 8);

// The time `when` by strftime's `fmt`, in UTC or in the local time zone.
std::string time_text(std::time_t when, const char* fmt, bool utc);

// Whether `text` ends with `tail`.
bool ends_with(const std::string& text, const std::string& tail);

} // namespace korvin
