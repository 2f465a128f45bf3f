#include "record_spool.h"

#include "test_report.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#include <sys/locking.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

namespace korvin {
namespace {

// A spool line is one flat JSON object: strings, numbers, null, and the
// findings as an array of strings.
struct json_value {
    bool null = false;
    std::string text; // a string, or a number's digits
    std::vector<std::string> list;
};
using json_object = std::map<std::string, json_value>;

bool parse_string(const std::string& s, std::size_t& i, std::string& out) {
    if (i >= s.size() || s[i] != '"')
        return false;
    for (++i; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i >= s.size())
            return false;
        const char c = s[i];
        if (c == 'u' && i + 4 < s.size()) {
            // The writer escapes bytes as \u00XX, a byte each.
            out += static_cast<char>(std::strtoul(s.substr(i + 1, 4).c_str(), nullptr, 16));
            i += 4;
        } else {
            out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
        }
    }
    return i++ < s.size();
}

bool parse_object(const std::string& s, json_object& object) {
    std::size_t i = 0;
    auto skip = [&] {
        while (i < s.size() && s[i] == ' ')
            ++i;
    };
    if (s.empty() || s[i++] != '{')
        return false;
    for (skip(); i < s.size() && s[i] != '}'; skip()) {
        std::string key;
        if (!parse_string(s, i, key))
            return false;
        skip();
        if (i >= s.size() || s[i++] != ':')
            return false;
        skip();
        json_value& value = object[key];
        if (s.compare(i, 4, "null") == 0) {
            value.null = true;
            i += 4;
        } else if (i < s.size() && s[i] == '[') {
            for (++i, skip(); i < s.size() && s[i] != ']'; skip()) {
                if (!parse_string(s, i, value.list.emplace_back()))
                    return false;
                skip();
                if (i < s.size() && s[i] == ',')
                    ++i;
            }
            if (i++ >= s.size())
                return false;
        } else if (i < s.size() && s[i] == '"') {
            if (!parse_string(s, i, value.text))
                return false;
        } else {
            while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ' ')
                value.text += s[i++];
        }
        skip();
        if (i < s.size() && s[i] == ',')
            ++i;
    }
    return i < s.size();
}

std::string optional_json(const std::optional<std::string>& text) {
    return text ? json_string(*text) : "null";
}

std::string run_fields(const record_run& run) {
    return ", \"run_key\": " + json_string(run.run_key) +
           ", \"started_at\": " + json_string(run.started_at) +
           ", \"ended_at\": " + json_string(run.ended_at) +
           ", \"station\": " + json_string(run.station) + ", \"port\": " + json_string(run.port) +
           ", \"board_id\": " + optional_json(run.board_id) + ", \"board_number\": " +
           (run.board_number ? std::to_string(*run.board_number) : "null") +
           ", \"korvin_version\": " + json_string(run.korvin_version) +
           ", \"image_length\": " + std::to_string(run.image_length) +
           ", \"outcome\": " + json_string(run.outcome) +
           ", \"error\": " + optional_json(run.error) + ", \"log\": " + json_string(run.log);
}

// An exclusive lock on the spool's lock file, for as long as it lives.
class spool_lock {
  public:
    explicit spool_lock(const std::string& spool) {
        const std::string path = spool + ".lock";
        file_ = std::fopen(path.c_str(), "ab");
        if (!file_)
            return;
#if defined(_WIN32)
        locked_ = _locking(_fileno(file_), _LK_LOCK, 1) == 0;
#else
        locked_ = flock(fileno(file_), LOCK_EX) == 0;
#endif
    }
    ~spool_lock() {
        if (file_)
            std::fclose(file_); // closing releases the lock
    }
    spool_lock(const spool_lock&) = delete;
    spool_lock& operator=(const spool_lock&) = delete;
    bool locked() const {
        return locked_;
    }

  private:
    std::FILE* file_ = nullptr;
    bool locked_ = false;
};

bool send(record_store& store, const spool_entry& entry, std::string& error) {
    switch (entry.op) {
    case spool_entry::BEGIN_RUN:
        return store.begin_run(entry.run, error);
    case spool_entry::ADD_TEST:
        return store.add_test(entry.test, error);
    case spool_entry::UPDATE_RUN:
        return store.update_run(entry.run, error);
    }
    return false;
}

} // namespace

std::string record_state_dir() {
#if defined(_WIN32)
    const char* local = std::getenv("LOCALAPPDATA");
    return std::string(local ? local : ".") + "\\korvin";
#else
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/')
        return std::string(state) + "/korvin";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.local/state/korvin";
#endif
}

std::string record_spool_path(const std::string& url) {
    std::string key = url;
    if (url.compare(0, 7, "sqlite:") == 0) {
        std::error_code error;
        const auto path = std::filesystem::weakly_canonical(url.substr(7), error);
        if (!error)
            key = "sqlite:" + path.string();
    }
    // FNV-1a: a file name per store that does not show a password in a URL.
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : key)
        hash = (hash ^ c) * 0x100000001b3ull;
    char name[40];
    std::snprintf(name, sizeof name, "spool-%016llx.jsonl", static_cast<unsigned long long>(hash));
    return (std::filesystem::path(record_state_dir()) / name).string();
}

std::string spool_line(const spool_entry& entry) {
    if (entry.op != spool_entry::ADD_TEST)
        return std::string("{\"op\": ") +
               (entry.op == spool_entry::BEGIN_RUN ? "\"begin_run\"" : "\"update_run\"") +
               run_fields(entry.run) + "}";
    const record_test& t = entry.test;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.6f", t.seconds);
    std::string line = "{\"op\": \"add_test\", \"run_key\": " + json_string(t.run_key) +
                       ", \"pass\": " + std::to_string(t.pass) +
                       ", \"name\": " + json_string(t.name) +
                       ", \"status\": " + json_string(t.status) +
                       ", \"result_code\": " + std::to_string(t.result_code) +
                       ", \"seconds\": " + seconds + ", \"findings\": [";
    for (std::size_t i = 0; i < t.findings.size(); ++i)
        line += (i ? ", " : "") + json_string(t.findings[i]);
    return line + "]}";
}

bool parse_spool_line(const std::string& line, spool_entry& entry) {
    json_object o;
    if (!parse_object(line, o))
        return false;
    entry = {};
    const std::string op = o["op"].text;
    if (op == "add_test") {
        entry.op = spool_entry::ADD_TEST;
        record_test& t = entry.test;
        t.run_key = o["run_key"].text;
        t.pass = std::atoi(o["pass"].text.c_str());
        t.name = o["name"].text;
        t.status = o["status"].text;
        t.result_code =
            static_cast<std::uint32_t>(std::strtoul(o["result_code"].text.c_str(), nullptr, 10));
        t.seconds = std::atof(o["seconds"].text.c_str());
        t.findings = o["findings"].list;
        return !t.run_key.empty();
    }
    if (op != "begin_run" && op != "update_run")
        return false;
    entry.op = op == "begin_run" ? spool_entry::BEGIN_RUN : spool_entry::UPDATE_RUN;
    record_run& r = entry.run;
    r.run_key = o["run_key"].text;
    r.started_at = o["started_at"].text;
    r.ended_at = o["ended_at"].text;
    r.station = o["station"].text;
    r.port = o["port"].text;
    if (!o["board_id"].null)
        r.board_id = o["board_id"].text;
    if (!o["board_number"].null)
        r.board_number = std::atoll(o["board_number"].text.c_str());
    r.korvin_version = o["korvin_version"].text;
    r.image_length = std::atoll(o["image_length"].text.c_str());
    r.outcome = o["outcome"].text;
    if (!o["error"].null)
        r.error = o["error"].text;
    r.log = o["log"].text;
    return !r.run_key.empty();
}

bool spool_append(const std::string& url, const spool_entry& entry, std::string& error) {
    const std::string path = record_spool_path(url);
    std::error_code made;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), made);
    spool_lock lock(path);
    std::FILE* file = lock.locked() ? std::fopen(path.c_str(), "a+b") : nullptr;
    if (!file) {
        error = "cannot write " + path;
        return false;
    }
    // A line a crash cut short gets its end first, so it spoils only itself.
    std::string line = spool_line(entry) + "\n";
    if (std::fseek(file, -1, SEEK_END) == 0 && std::fgetc(file) != '\n')
        line.insert(line.begin(), '\n');
    std::fseek(file, 0, SEEK_END);
    bool ok = std::fwrite(line.data(), 1, line.size(), file) == line.size();
    ok = std::fflush(file) == 0 && ok;
#if !defined(_WIN32)
    ok = fsync(fileno(file)) == 0 && ok;
#endif
    ok = std::fclose(file) == 0 && ok;
    if (!ok)
        error = "cannot write " + path;
    return ok;
}

int spool_replay(const std::string& url, record_store& store, std::string& error) {
    const std::string path = record_spool_path(url);
    std::error_code missing;
    if (!std::filesystem::exists(path, missing))
        return 0;
    spool_lock lock(path);
    if (!lock.locked()) {
        error = "cannot lock " + path;
        return -1;
    }
    std::ifstream in(path, std::ios::binary);
    int sent = 0;
    for (std::string line; std::getline(in, line);) {
        spool_entry entry;
        // A line cut short by a crash holds nothing the store could take.
        if (!parse_spool_line(line, entry))
            continue;
        if (!send(store, entry, error))
            return -1;
        ++sent;
    }
    in.close();
    std::filesystem::remove(path, missing);
    return sent;
}

} // namespace korvin
