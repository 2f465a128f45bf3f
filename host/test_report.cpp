#include "test_report.h"

#include "text.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

namespace korvin {
namespace {

std::string seconds_text(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0)
        seconds = 0;
    return format("%.3f", seconds);
}

std::string code_text(std::uint32_t code) {
    return format("%x", static_cast<unsigned>(code));
}

struct totals {
    int failures = 0, errors = 0;
    double seconds = 0;
};

// An interrupted test counts as an error, not as a failure.
totals count(const std::vector<test_outcome>& tests) {
    totals t;
    for (const test_outcome& test : tests) {
        t.errors += !test.error.empty();
        t.failures += test.error.empty() && test.result_code != 0;
        if (std::isfinite(test.seconds) && test.seconds > 0)
            t.seconds += test.seconds;
    }
    return t;
}

bool ends_with_json(const std::string& path) {
    const std::string tail = ".json";
    if (path.size() < tail.size())
        return false;
    for (std::size_t i = 0; i < tail.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(path[path.size() - tail.size() + i])) !=
            tail[i])
            return false;
    return true;
}

} // namespace

bool file_creatable(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    std::fclose(file);
    std::remove(path.c_str());
    return true;
}

std::string report_timestamp() {
    return time_text(std::time(nullptr), "%Y-%m-%dT%H:%M:%S", false);
}

std::string record_stamp() {
    return time_text(std::time(nullptr), "%Y%m%dT%H%M%SZ", true);
}

std::string record_name(const std::string& stamp, const std::string& port, unsigned long number,
                        const std::string& id) {
    // "/dev/ttyUSB0" -> "dev_ttyUSB0": a name every file system takes.
    auto safe = [](const std::string& text) {
        std::string out;
        for (const char c : text) {
            const bool kept = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
            out += kept && static_cast<unsigned char>(c) < 0x80 ? c : '_';
        }
        const std::size_t first = out.find_first_not_of("_-.");
        if (first == std::string::npos)
            return std::string();
        return out.substr(first, out.find_last_not_of("_-.") - first + 1);
    };
    std::string name = stamp + "-" + safe(port);
    if (number != 0)
        name += "-" + std::to_string(number);
    const std::string kept_id = safe(id);
    if (!kept_id.empty())
        name += "-" + kept_id;
    return name;
}

std::string junit_report_text(const run_facts& facts, const std::vector<test_outcome>& tests) {
    const totals t = count(tests);
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    xml += "<testsuite name=\"korvin\" tests=\"" + std::to_string(tests.size()) + "\" failures=\"" +
           std::to_string(t.failures) + "\" errors=\"" + std::to_string(t.errors) + "\" time=\"" +
           seconds_text(t.seconds) + "\" timestamp=\"" + xml_escape(facts.timestamp) +
           "\" hostname=\"" + xml_escape(facts.hostname) + "\">\n";
    xml += "  <properties>\n";
    std::vector<std::pair<const char*, std::string>> properties = {
        {"port", facts.port},
        {"korvin_version", facts.version},
        {"boot_image_length", std::to_string(facts.boot_image_length)},
    };
    if (facts.board_number != 0)
        properties.push_back({"board_number", std::to_string(facts.board_number)});
    if (!facts.board_id.empty())
        properties.push_back({"board_id", facts.board_id});
    for (const auto& [name, value] : properties)
        xml += "    <property name=\"" + std::string(name) + "\" value=\"" + xml_escape(value) +
               "\"/>\n";
    xml += "  </properties>\n";
    for (const test_outcome& test : tests) {
        xml += "  <testcase classname=\"korvin\" name=\"" + xml_escape(test.name) + "\" time=\"" +
               seconds_text(test.seconds) + "\"";
        if (!test.error.empty()) {
            xml += ">\n    <error message=\"" + xml_escape(test.error) +
                   "\" type=\"link lost\"/>\n  </testcase>\n";
            continue;
        }
        if (test.result_code == 0) {
            xml += "/>\n";
            continue;
        }
        const std::string code = code_text(test.result_code);
        xml += ">\n    <failure message=\"failed with result code " + code +
               "\" type=\"result code " + code + "\">";
        for (std::size_t i = 0; i < test.findings.size(); ++i)
            xml += (i ? "\n" : "") + xml_escape(test.findings[i]);
        xml += "</failure>\n  </testcase>\n";
    }
    xml += "</testsuite>\n";
    return xml;
}

std::string json_report_text(const run_facts& facts, const std::vector<test_outcome>& tests) {
    const totals t = count(tests);
    std::string json = "{\n";
    json += "  \"name\": \"korvin\",\n";
    json += "  \"timestamp\": " + json_string(facts.timestamp) + ",\n";
    json += "  \"hostname\": " + json_string(facts.hostname) + ",\n";
    json += "  \"properties\": {\"port\": " + json_string(facts.port) +
            ", \"korvin_version\": " + json_string(facts.version) +
            ", \"boot_image_length\": " + std::to_string(facts.boot_image_length);
    if (facts.board_number != 0)
        json += ", \"board_number\": " + std::to_string(facts.board_number);
    if (!facts.board_id.empty())
        json += ", \"board_id\": " + json_string(facts.board_id);
    json += "},\n";
    json += "  \"tests\": " + std::to_string(tests.size()) + ",\n";
    json += "  \"failures\": " + std::to_string(t.failures) + ",\n";
    json += "  \"errors\": " + std::to_string(t.errors) + ",\n";
    json += "  \"time\": " + seconds_text(t.seconds) + ",\n";
    json += "  \"testcases\": [";
    for (std::size_t i = 0; i < tests.size(); ++i) {
        const test_outcome& test = tests[i];
        json += i ? ",\n    {" : "\n    {";
        json += "\"name\": " + json_string(test.name) + ", \"time\": " + seconds_text(test.seconds);
        if (!test.error.empty()) {
            json += ", \"status\": \"error\", \"error\": " + json_string(test.error) + "}";
            continue;
        }
        if (test.result_code == 0) {
            json += ", \"status\": \"passed\"}";
            continue;
        }
        json += ", \"status\": \"failed\", \"result_code\": " + std::to_string(test.result_code) +
                ", \"findings\": [";
        for (std::size_t k = 0; k < test.findings.size(); ++k)
            json += (k ? ", " : "") + json_string(test.findings[k]);
        json += "]}";
    }
    json += tests.empty() ? "]\n" : "\n  ]\n";
    json += "}\n";
    return json;
}

std::string xml_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            // Control characters other than tab, LF and CR are not allowed in
            // XML 1.0, not even as character references.
            if (u < 0x20 && c != '\t' && c != '\n' && c != '\r')
                out += '?';
            else
                out += c;
        }
    }
    return out;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u >= 0x7f) {
            out += format("\\u%04x", static_cast<unsigned>(u));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

bool write_test_report(const std::string& path, const run_facts& facts,
                       const std::vector<test_outcome>& tests) {
    const std::string text =
        ends_with_json(path) ? json_report_text(facts, tests) : junit_report_text(facts, tests);
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = std::fclose(file) == 0 && ok;
    // Renaming within one folder replaces the old report in one step (on
    // Windows too: the library moves with MOVEFILE_REPLACE_EXISTING).
    std::error_code error;
    if (ok)
        std::filesystem::rename(temporary, path, error);
    if (!ok || error) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace korvin
