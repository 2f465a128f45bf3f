#include "events.h"
#include "text.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace korvin {

namespace {

const char* const NAMES[] = {"line", "wake", "download", "test", "verdict", "error", "end"};
constexpr int KINDS = sizeof NAMES / sizeof NAMES[0];

std::FILE* stream = nullptr;
std::string last_message;

// The length of the UTF-8 sequence at text[at], or 0 when it is not one.
std::size_t utf8_length(const std::string& text, std::size_t at) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const std::size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (n == 0 || at + n > text.size())
        return 0;
    for (std::size_t i = 1; i < n; ++i)
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80)
            return 0;
    return n;
}

void put_unicode(std::string& out, unsigned long c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// A JSON string: UTF-8 passes as it is; a byte that is no part of UTF-8 is
// read as Latin-1, so that any message gives valid JSON.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c >= 0x80 ? utf8_length(text, i) : 1;
        if (c >= 0x80 && n > 0) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        ++i;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else if (c >= 0x80) {
            put_unicode(out, c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

struct reader {
    const std::string& s;
    std::size_t at = 0;

    void blanks() {
        while (at < s.size() && (s[at] == ' ' || s[at] == '\t' || s[at] == '\r' || s[at] == '\n'))
            ++at;
    }
    bool take(char c) {
        blanks();
        if (at < s.size() && s[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    bool hex4(unsigned long& value) {
        if (at + 4 > s.size())
            return false;
        value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = s[at++];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0)
                return false;
            value = value << 4 | static_cast<unsigned long>(digit);
        }
        return true;
    }
    bool string(std::string& out) {
        out.clear();
        if (!take('"'))
            return false;
        while (at < s.size()) {
            const char c = s[at++];
            if (c == '"')
                return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at >= s.size())
                return false;
            const char e = s[at++];
            static const std::string PLAIN = "\"\\/bfnrt", MEANS = "\"\\/\b\f\n\r\t";
            const std::size_t k = PLAIN.find(e);
            if (k != std::string::npos) {
                out += MEANS[k];
                continue;
            }
            unsigned long c1 = 0, c2 = 0;
            if (e != 'u' || !hex4(c1))
                return false;
            // A surrogate pair stands for one character above the first 64K.
            if (c1 >= 0xD800 && c1 < 0xDC00 && at + 6 <= s.size() && s[at] == '\\' &&
                s[at + 1] == 'u') {
                at += 2;
                if (!hex4(c2) || c2 < 0xDC00 || c2 >= 0xE000)
                    return false;
                c1 = 0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00);
            }
            put_unicode(out, c1);
        }
        return false;
    }
    bool number(double& value) {
        blanks();
        const char* begin = s.c_str() + at;
        char* end = nullptr;
        value = std::strtod(begin, &end);
        if (end == begin)
            return false;
        at += static_cast<std::size_t>(end - begin);
        return true;
    }
    bool strings(std::vector<std::string>& out) {
        out.clear();
        if (!take('['))
            return false;
        if (take(']'))
            return true;
        do {
            std::string item;
            if (!string(item))
                return false;
            out.push_back(item);
        } while (take(','));
        return take(']');
    }
    // Any value, for fields this reader does not know.
    bool skip(int depth = 0) {
        blanks();
        if (at >= s.size() || depth > 16)
            return false;
        std::string text;
        double number_value = 0;
        if (s[at] == '"')
            return string(text);
        const char open = s[at];
        if (open == '[' || open == '{') {
            ++at;
            const char close = open == '[' ? ']' : '}';
            if (take(close))
                return true;
            do {
                if (open == '{' && (!string(text) || !take(':')))
                    return false;
                if (!skip(depth + 1))
                    return false;
            } while (take(','));
            return take(close);
        }
        for (const char* word : {"true", "false", "null"}) {
            const std::string w(word);
            if (s.compare(at, w.size(), w) == 0) {
                at += w.size();
                return true;
            }
        }
        return number(number_value);
    }
};

} // namespace

const char* event_name(event_kind kind) {
    const int k = static_cast<int>(kind);
    return k >= 0 && k < KINDS ? NAMES[k] : "";
}

std::string event_text(const run_event& e) {
    std::string text = "{\"event\":" + quoted(event_name(e.kind)) + ",\"time\":" + quoted(e.time);
    char number[64];
    switch (e.kind) {
    case event_kind::line:
        text += ",\"state\":" + quoted(e.state);
        break;
    case event_kind::wake:
        break;
    case event_kind::download:
        text += ",\"percent\":" + std::to_string(e.percent);
        break;
    case event_kind::test:
    case event_kind::verdict:
        text += ",\"test\":" + quoted(e.test) + ",\"pass\":" + std::to_string(e.pass);
        if (e.kind == event_kind::test)
            break;
        std::snprintf(number, sizeof number, "%.3f", e.seconds);
        text += std::string(",\"status\":") + (e.passed ? "\"passed\"" : "\"failed\"") +
                ",\"code\":" + std::to_string(e.code) + ",\"seconds\":" + number +
                ",\"findings\":[";
        for (std::size_t i = 0; i < e.findings.size(); ++i)
            text += (i ? "," : "") + quoted(e.findings[i]);
        text += "]";
        break;
    case event_kind::error:
        text += ",\"message\":" + quoted(e.message);
        break;
    case event_kind::end:
        text += ",\"outcome\":" + quoted(e.outcome) + ",\"status\":" + std::to_string(e.status);
        break;
    }
    return text + "}\n";
}

bool parse_event(const std::string& line, run_event& e) {
    e = run_event{};
    reader r{line};
    if (!r.take('{'))
        return false;
    bool named = false;
    std::string status_text;
    double status_number = 0;
    do {
        std::string key;
        if (!r.string(key) || !r.take(':'))
            return false;
        double value = 0;
        bool ok = true;
        if (key == "event") {
            std::string name;
            ok = r.string(name);
            named = false;
            for (int k = 0; k < KINDS; ++k)
                if (name == NAMES[k]) {
                    e.kind = static_cast<event_kind>(k);
                    named = true;
                }
        } else if (key == "time" || key == "state" || key == "test" || key == "message" ||
                   key == "outcome") {
            ok = r.string(key == "time"      ? e.time
                          : key == "state"   ? e.state
                          : key == "test"    ? e.test
                          : key == "message" ? e.message
                                             : e.outcome);
        } else if (key == "findings") {
            ok = r.strings(e.findings);
        } else if (key == "status") {
            // A verdict's status is a word, the end's korvin's exit status.
            r.blanks();
            ok = r.at < line.size() && line[r.at] == '"' ? r.string(status_text)
                                                         : r.number(status_number);
        } else if (key == "percent" || key == "pass" || key == "code" || key == "seconds") {
            ok = r.number(value) && value >= 0;
            if (key == "percent")
                e.percent = static_cast<int>(value);
            else if (key == "pass")
                e.pass = static_cast<unsigned long>(value);
            else if (key == "code")
                e.code = static_cast<std::uint32_t>(value);
            else
                e.seconds = value;
        } else {
            ok = r.skip();
        }
        if (!ok)
            return false;
    } while (r.take(','));
    if (!r.take('}') || !named)
        return false;
    r.blanks();
    if (r.at != line.size())
        return false;
    if (e.kind == event_kind::verdict) {
        if (status_text != "passed" && status_text != "failed")
            return false;
        e.passed = status_text == "passed";
    }
    e.status = static_cast<int>(status_number);
    return true;
}

std::string event_time_now() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const long long ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    // Milliseconds between the seconds and the zone: "…T16:43:27.120Z".
    return time_text(seconds, "%Y-%m-%dT%H:%M:%S", true) + format(".%03dZ", static_cast<int>(ms));
}

void set_event_stream(std::FILE* to) {
    stream = to;
}

bool events_enabled() {
    return stream != nullptr;
}

void emit_event(run_event event) {
    if (!stream)
        return;
    event.time = event_time_now();
    const std::string text = event_text(event);
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

void print_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fputs(text, stderr);
    run_event e;
    e.kind = event_kind::error;
    for (const char* p = text; *p; ++p)
        if (*p != '\r' && *p != '\n')
            e.message += *p;
    last_message = e.message;
    emit_event(e);
}

const std::string& last_error() {
    return last_message;
}

} // namespace korvin
