#include "test_report.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <vector>

#include "process.h"

namespace korvin {
namespace {

const run_facts FACTS{"2026-12-08T09:40:12", "bench-1", "/dev/ttyUSB0", "1.1", 2828, 0, ""};
const std::string SUITE_FACTS = "hostname=bench-1 name=korvin";
const std::string PROPERTIES = "  properties \n"
                               "    property name=port value=/dev/ttyUSB0\n"
                               "    property name=korvin_version value=1.1\n"
                               "    property name=boot_image_length value=2828\n";

// A fresh folder per test, removed afterwards.
class report_test : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/korvin-report-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const std::string& name : entries())
            std::remove((dir_ + "/" + name).c_str());
        rmdir(dir_.c_str());
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir_.c_str())) {
            while (dirent* e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.push_back(e->d_name);
            closedir(d);
        }
        return names;
    }
    std::string dir_;
};

// Parses the report with a real XML parser and prints its structure, one
// element a line: tag, then the attributes in a fixed order, then the text.
test::run_result parse(const std::string& path) {
    const char* script = R"(
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
def show(e, depth):
    attrs = ' '.join('%s=%s' % (k, e.get(k)) for k in sorted(e.keys()))
    text = (e.text or '').strip()
    print('  ' * depth + e.tag + ' ' + attrs + (' |' + text.replace('\n', '|') if text else ''))
    for child in e:
        show(child, depth + 1)
show(root, 0)
)";
    return test::run({"/usr/bin/python3", "-c", script, path});
}

TEST_F(report_test, OneCasePerTestWithFailuresAndTimes) {
    std::string path = dir_ + "/report.xml";
    std::vector<test_outcome> tests = {
        {"sdram", 0, 1.25, {}, ""},
        {"flash",
         4,
         30.5,
         {"address line stuck or shorted: word-index bit 12 = chip pin A12 (word mode) = "
          "processor line A13 (2 mismatches, first at offset 0x2000 read 0x0)",
          "odd <text> & \"quotes\" 'too'\x01"},
         ""},
        {"sram", 2, 0.0004, {}, ""},
    };
    ASSERT_TRUE(write_test_report(path, FACTS, tests));
    test::run_result parsed = parse(path);
    ASSERT_EQ(parsed.status, 0) << parsed.err;
    EXPECT_EQ(parsed.out,
              "testsuite errors=0 failures=2 " + SUITE_FACTS +
                  " tests=3 time=31.750 timestamp=2026-12-08T09:40:12\n" + PROPERTIES +
                  "  testcase classname=korvin name=sdram time=1.250\n"
                  "  testcase classname=korvin name=flash time=30.500\n"
                  "    failure message=failed with result code 4 type=result code 4 |address line "
                  "stuck or shorted: word-index bit 12 = chip pin A12 (word mode) = processor line "
                  "A13 (2 mismatches, first at offset 0x2000 read 0x0)|odd <text> & \"quotes\" "
                  "'too'?\n"
                  "  testcase classname=korvin name=sram time=0.000\n"
                  "    failure message=failed with result code 2 type=result code 2\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"report.xml"}); // no temporary left behind
}

TEST_F(report_test, ReplacesTheLastPassWhole) {
    std::string path = dir_ + "/report.xml";
    ASSERT_TRUE(write_test_report(
        path, FACTS,
        {{"sdram", 1, 2, {"first pass"}, ""}, {"flash", 0, 2, {}, ""}, {"sram", 0, 2, {}, ""}}));
    ASSERT_TRUE(write_test_report(path, FACTS, {{"sram", 0, 0.5, {}, ""}}));
    test::run_result parsed = parse(path);
    ASSERT_EQ(parsed.status, 0) << parsed.err;
    EXPECT_EQ(parsed.out, "testsuite errors=0 failures=0 " + SUITE_FACTS +
                              " tests=1 time=0.500 timestamp=2026-12-08T09:40:12\n" + PROPERTIES +
                              "  testcase classname=korvin name=sram time=0.500\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"report.xml"});
}

TEST_F(report_test, AnInterruptedTestIsAnErrorNotAFailure) {
    std::string path = dir_ + "/report.xml";
    ASSERT_TRUE(write_test_report(
        path, FACTS,
        {{"sdram", 0, 1, {}, ""}, {"flash", 0, 2.5, {}, "Could not read from <port> & co."}}));
    test::run_result parsed = parse(path);
    ASSERT_EQ(parsed.status, 0) << parsed.err;
    EXPECT_EQ(parsed.out,
              "testsuite errors=1 failures=0 " + SUITE_FACTS +
                  " tests=2 time=3.500 timestamp=2026-12-08T09:40:12\n" + PROPERTIES +
                  "  testcase classname=korvin name=sdram time=1.000\n"
                  "  testcase classname=korvin name=flash time=2.500\n"
                  "    error message=Could not read from <port> & co. type=link lost\n");
}

TEST_F(report_test, UnwritableFolderFailsAndLeavesNothing) {
    EXPECT_FALSE(write_test_report(dir_ + "/missing/report.xml", FACTS, {{"sdram", 0, 1, {}, ""}}));
    // A folder in the target's place: the rename fails and the temporary goes.
    std::string blocked = dir_ + "/blocked";
    ASSERT_EQ(mkdir(blocked.c_str(), 0700), 0);
    EXPECT_FALSE(write_test_report(blocked, FACTS, {{"sdram", 0, 1, {}, ""}}));
    EXPECT_EQ(entries(), std::vector<std::string>{"blocked"});
    rmdir(blocked.c_str());
}

// The JSON report read back with Python's json module, printed one value a
// line in a fixed order.
test::run_result parse_json(const std::string& path) {
    const char* script = R"(
import sys, json
r = json.load(open(sys.argv[1]))
print(r['name'], r['timestamp'], r['hostname'], sorted(r['properties'].items()))
print(r['tests'], r['failures'], r['errors'], r['time'])
for c in r['testcases']:
    print(c['name'], c['time'], c['status'], c.get('result_code'), c.get('findings'), c.get('error'))
)";
    return test::run({"/usr/bin/python3", "-c", script, path});
}

TEST_F(report_test, JsonCarriesTheSameContent) {
    const std::string path = dir_ + "/report.json";
    ASSERT_TRUE(write_test_report(path, FACTS,
                                  {{"sdram", 0, 1.25, {}, ""},
                                   {"flash", 0x1f, 30.5, {"odd \"text\" \\ \t\x01 caf\xe9"}, ""},
                                   {"sram", 0, 0.5, {}, "Could not read from serial port COM5."}}));
    test::run_result parsed = parse_json(path);
    ASSERT_EQ(parsed.status, 0) << parsed.err << test::read_file(path);
    EXPECT_EQ(parsed.out, "korvin 2026-12-08T09:40:12 bench-1 [('boot_image_length', 2828), "
                          "('korvin_version', '1.1'), ('port', '/dev/ttyUSB0')]\n"
                          "3 1 1 32.25\n"
                          "sdram 1.25 passed None None None\n"
                          "flash 30.5 failed 31 ['odd \"text\" \\\\ \\t\\x01 café'] None\n"
                          "sram 0.5 error None None Could not read from serial port COM5.\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"report.json"});
}

TEST_F(report_test, TheNameChoosesTheFormat) {
    for (const char* name : {"r.json", "r.JSON", "r.Json"})
        EXPECT_EQ(json_report_text(FACTS, {}), (write_test_report(dir_ + "/" + name, FACTS, {}),
                                                test::read_file(dir_ + "/" + name)))
            << name;
    for (const char* name : {"r.xml", "r.json.xml", "json", "r.jsn"})
        EXPECT_EQ(junit_report_text(FACTS, {}), (write_test_report(dir_ + "/" + name, FACTS, {}),
                                                 test::read_file(dir_ + "/" + name)))
            << name;
}

TEST_F(report_test, AStationsBoardCarriesItsNumberAndId) {
    run_facts facts = FACTS;
    facts.board_number = 7;
    facts.board_id = "SN <12>";
    const std::string path = dir_ + "/board.xml";
    ASSERT_TRUE(write_test_report(path, facts, {}));
    EXPECT_NE(parse(path).out.find(PROPERTIES.substr(16) +
                                   "    property name=board_number value=7\n"
                                   "    property name=board_id value=SN <12>\n"),
              std::string::npos);
    ASSERT_TRUE(write_test_report(path + ".json", facts, {}));
    EXPECT_NE(parse_json(path + ".json")
                  .out.find("[('board_id', 'SN <12>'), ('board_number', 7), ('boot_image_length'"),
              std::string::npos);
}

TEST(RecordName, StampPortNumberAndIdMadeFileSafe) {
    const struct {
        const char* port;
        unsigned long number;
        const char* id;
        const char* name;
    } cases[] = {
        {"/dev/ttyUSB0", 7, "SN123", "T-dev_ttyUSB0-7-SN123"},
        {"COM3", 12, "", "T-COM3-12"},
        {"/dev/serial/by-id/usb-FTDI_A1-if00", 1, "a/b c:*?",
         "T-dev_serial_by-id_usb-FTDI_A1-if00-1-a_b_c"},
        {"./board", 0, "", "T-board"},
        {"/dev/pts/3", 2, "caf\xc3\xa9", "T-dev_pts_3-2-caf"},
        {"/dev/pts/3", 2, "///", "T-dev_pts_3-2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(record_name("T", c.port, c.number, c.id), c.name) << c.port << " " << c.id;
}

TEST(JsonString, EscapesWhatJsonCannotCarry) {
    EXPECT_EQ(json_string(""), "\"\"");
    EXPECT_EQ(json_string("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(json_string(std::string("\0\x1f\x7f\xff", 4)), "\"\\u0000\\u001f\\u007f\\u00ff\"");
    EXPECT_EQ(json_string("\r\n"), "\"\\u000d\\u000a\"");
}

TEST(XmlEscape, SpecialAndControlCharacters) {
    EXPECT_EQ(xml_escape("a<b>&\"c'\t\r\n\x1f"), "a&lt;b&gt;&amp;&quot;c&apos;\t\r\n?");
}

} // namespace
} // namespace korvin
