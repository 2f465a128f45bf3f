// The --events lines: what Python's JSON parser reads in them, and what the
// station's reader makes of lines written by hand.
#include "events.h"
#include "process.h" // the tests' own: running Python

#include <gtest/gtest.h>

namespace korvin {
namespace {

// Python's reading of a line: its fields sorted, one "key=repr" a line.
std::string python_reads(const std::string& line) {
    static const char* script = "import sys, json\n"
                                "d = json.loads(sys.argv[1])\n"
                                "for k in sorted(d): print('%s=%r' % (k, d[k]))\n";
    const test::run_result r = test::run({"/usr/bin/python3", "-c", script, line});
    return r.status == 0 ? r.out : "not JSON: " + r.err;
}

TEST(Events, EachEventIsOneLineOfJson) {
    run_event verdict;
    verdict.kind = event_kind::verdict;
    verdict.time = "2026-12-08T09:40:12.345Z";
    verdict.test = "sram";
    verdict.pass = 2;
    verdict.code = 2;
    verdict.seconds = 1.25;
    verdict.findings = {"data line D3 \"stuck\" \\ low", "tab\there\x01", "caf\xc3\xa9 \xff"};
    run_event error;
    error.kind = event_kind::error;
    error.message = "Could not open serial port /dev/ttyUSB0.";
    run_event end;
    end.kind = event_kind::end;
    end.outcome = "interrupted";
    end.status = 1;
    const struct {
        run_event event;
        std::string python;
    } cases[] = {
        {verdict, "code=2\nevent='verdict'\nfindings=['data line D3 \"stuck\" \\\\ low', "
                  "'tab\\there\\x01', 'café ÿ']\npass=2\nseconds=1.25\nstatus='failed'\n"
                  "test='sram'\ntime='2026-12-08T09:40:12.345Z'\n"},
        {error, "event='error'\nmessage='Could not open serial port /dev/ttyUSB0.'\ntime=''\n"},
        {end, "event='end'\noutcome='interrupted'\nstatus=1\ntime=''\n"},
    };
    for (const auto& c : cases) {
        const std::string line = event_text(c.event);
        ASSERT_EQ(line.find('\n'), line.size() - 1) << line;
        EXPECT_EQ(python_reads(line), c.python) << line;
    }
}

TEST(Events, TheReaderTakesWhatAnotherWriterWrites) {
    run_event e;
    ASSERT_TRUE(parse_event(
        R"( { "time" : "t", "event":"verdict","test":"flash", "pass":3,"status":"failed",)"
        R"("code":4, "seconds":1e1, "new":{"x":[true,null,{}]}, )"
        R"("findings":["a\"b","\u00e9\ud83d\ude00\/"]})",
        e));
    EXPECT_EQ(e.kind, event_kind::verdict);
    EXPECT_EQ(e.pass, 3u);
    EXPECT_FALSE(e.passed);
    EXPECT_EQ(e.code, 4u);
    EXPECT_EQ(e.seconds, 10.0);
    EXPECT_EQ(e.findings, (std::vector<std::string>{"a\"b", "\xc3\xa9\xf0\x9f\x98\x80/"}));

    ASSERT_TRUE(parse_event("{\"event\":\"end\",\"outcome\":\"failed\",\"status\":2}\r", e));
    EXPECT_EQ(e.outcome, "failed");
    EXPECT_EQ(e.status, 2);

    for (const char* bad : {"", "{}", "{\"event\":\"nap\"}", "{\"event\":\"wake\"} x",
                            "{\"event\":\"verdict\",\"status\":\"maybe\"}",
                            "{\"event\":\"error\",\"message\":\"cut", "Testing SDRAM... passed"})
        EXPECT_FALSE(parse_event(bad, e)) << bad;
}

} // namespace
} // namespace korvin
