#include "junit_report.h"

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

// A fresh folder per test, removed afterwards.
class ReportTest : public ::testing::Test {
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
test::Result parse(const std::string& path) {
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

TEST_F(ReportTest, OneCasePerTestWithFailuresAndTimes) {
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
    ASSERT_EQ(write_junit_report(path, tests), 1);
    test::Result parsed = parse(path);
    ASSERT_EQ(parsed.status, 0) << parsed.err;
    EXPECT_EQ(parsed.out,
              "testsuite errors=0 failures=2 name=korvin tests=3 time=31.750\n"
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

TEST_F(ReportTest, ReplacesTheLastPassWhole) {
    std::string path = dir_ + "/report.xml";
    ASSERT_EQ(write_junit_report(path, {{"sdram", 1, 2, {"first pass"}, ""},
                                        {"flash", 0, 2, {}, ""},
                                        {"sram", 0, 2, {}, ""}}),
              1);
    ASSERT_EQ(write_junit_report(path, {{"sram", 0, 0.5, {}, ""}}), 1);
    test::Result parsed = parse(path);
    ASSERT_EQ(parsed.status, 0) << parsed.err;
    EXPECT_EQ(parsed.out, "testsuite errors=0 failures=0 name=korvin tests=1 time=0.500\n"
                          "  testcase classname=korvin name=sram time=0.500\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"report.xml"});
}

TEST_F(ReportTest, AnInterruptedTestIsAnErrorNotAFailure) {
    std::string path = dir_ + "/report.xml";
    ASSERT_EQ(write_junit_report(path, {{"sdram", 0, 1, {}, ""},
                                        {"flash", 0, 2.5, {}, "Could not read from <port> & co."}}),
              1);
    test::Result parsed = parse(path);
    ASSERT_EQ(parsed.status, 0) << parsed.err;
    EXPECT_EQ(parsed.out, "testsuite errors=1 failures=0 name=korvin tests=2 time=3.500\n"
                          "  testcase classname=korvin name=sdram time=1.000\n"
                          "  testcase classname=korvin name=flash time=2.500\n"
                          "    error message=Could not read from <port> & co. type=link lost\n");
}

TEST_F(ReportTest, UnwritableFolderFailsAndLeavesNothing) {
    EXPECT_EQ(write_junit_report(dir_ + "/missing/report.xml", {{"sdram", 0, 1, {}, ""}}), 0);
    // A folder in the target's place: the rename fails and the temporary goes.
    std::string blocked = dir_ + "/blocked";
    ASSERT_EQ(mkdir(blocked.c_str(), 0700), 0);
    EXPECT_EQ(write_junit_report(blocked, {{"sdram", 0, 1, {}, ""}}), 0);
    EXPECT_EQ(entries(), std::vector<std::string>{"blocked"});
    rmdir(blocked.c_str());
}

TEST(XmlEscape, SpecialAndControlCharacters) {
    EXPECT_EQ(xml_escape("a<b>&\"c'\t\r\n\x1f"), "a&lt;b&gt;&amp;&quot;c&apos;\t\r\n?");
}

} // namespace
} // namespace korvin
