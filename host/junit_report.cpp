#include "junit_report.h"

#include <cmath>
#include <cstdio>

#include <filesystem>
#include <system_error>

namespace korvin {
namespace {

std::string seconds_text(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0)
        seconds = 0;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", seconds);
    return buffer;
}

std::string report_text(const std::vector<test_outcome>& tests) {
    int failures = 0, errors = 0;
    double total = 0;
    for (const test_outcome& test : tests) {
        errors += !test.error.empty();
        failures += test.error.empty() && test.result_code != 0;
        if (std::isfinite(test.seconds) && test.seconds > 0)
            total += test.seconds;
    }
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    xml += "<testsuite name=\"korvin\" tests=\"" + std::to_string(tests.size()) + "\" failures=\"" +
           std::to_string(failures) + "\" errors=\"" + std::to_string(errors) + "\" time=\"" +
           seconds_text(total) + "\">\n";
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
        char code[16];
        std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(test.result_code));
        xml += ">\n    <failure message=\"failed with result code " + std::string(code) +
               "\" type=\"result code " + code + "\">";
        for (std::size_t i = 0; i < test.findings.size(); ++i)
            xml += (i ? "\n" : "") + xml_escape(test.findings[i]);
        xml += "</failure>\n  </testcase>\n";
    }
    xml += "</testsuite>\n";
    return xml;
}

} // namespace

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

int write_junit_report(const std::string& path, const std::vector<test_outcome>& tests) {
    const std::string xml = report_text(tests);
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file)
        return 0;
    bool ok = std::fwrite(xml.data(), 1, xml.size(), file) == xml.size();
    ok = std::fclose(file) == 0 && ok;
    // Renaming within one folder replaces the old report in one step (on
    // Windows too: the library moves with MOVEFILE_REPLACE_EXISTING).
    std::error_code error;
    if (ok)
        std::filesystem::rename(temporary, path, error);
    if (!ok || error) {
        std::remove(temporary.c_str());
        return 0;
    }
    return 1;
}

} // namespace korvin
