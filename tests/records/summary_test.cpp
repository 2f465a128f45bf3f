// The summary's figures against runs this test wrote itself, and its page as
// Chromium draws it.
#include "process.h"
#include "record.h"
#include "summary.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace korvin::test {
std::string fresh_store(const std::string& name); // records_test.cpp

namespace {

struct board {
    const char* key;
    const char* at;
    const char* station;
    const char* id;
    const char* outcome;
    // sdram, flash, sram of the first pass: 'p' passed, 'f' failed, 'e' error, '-' none
    const char* tests;
    std::vector<std::string> sdram_findings, flash_findings, sram_findings;
};

const char* const D5 = "data line D5 stuck low: it reads 0 in every check";
const char* const A13 = "address line stuck or shorted: word-index bit 12 = chip pin A12 (word "
                        "mode) = processor line A13 (2 mismatches)";
const char* const SHORT = "data lines D3 and D4 shorted (wired-AND): they always read alike";

// Yields worked out by hand: 7 boards' first runs with verdicts (r5 broke
// off, r9 retests B2), 3 of them passed; 03-01 1 of 2, 03-02 2 of 3, 03-03 0 of 2.
const board BOARDS[] = {
    {"r1", "2026-03-01T08:00:00Z", "s1", "B1", "passed", "ppp", {}, {}, {}},
    {"r2", "2026-03-01T09:00:00Z", "s1", "B2", "failed", "fpp", {D5}, {}, {}},
    {"r3", "2026-03-02T08:00:00Z", "s2", "", "passed", "ppp", {}, {}, {}},
    {"r4", "2026-03-02T09:00:00Z", "s2", "B4", "failed", "ffp", {D5}, {A13}, {}},
    {"r5", "2026-03-02T10:00:00Z", "s2", "B5", "error", "e--", {}, {}, {}},
    {"r6", "2026-03-02T23:59:59Z", "s2", "B6", "passed", "ppp", {}, {}, {}},
    {"r7", "2026-03-03T08:00:00Z", "s1", "B7", "failed", "fpp", {SHORT}, {}, {}},
    {"r8", "2026-03-03T09:00:00Z", "s1", "B8", "failed", "ppf", {}, {}, {"data line D5 open"}},
    {"r9", "2026-03-03T10:00:00Z", "s1", "B2", "passed", "ppp", {}, {}, {}}, // B2 repaired
};

std::unique_ptr<record_store> written_store() {
    std::string reason;
    auto store = open_record_store(fresh_store("summary"), reason);
    EXPECT_TRUE(store) << reason;
    for (const board& b : BOARDS) {
        record_run run;
        run.run_key = b.key;
        run.started_at = b.at;
        run.station = b.station;
        run.port = "/dev/ttyUSB0";
        if (*b.id)
            run.board_id = b.id;
        run.outcome = b.outcome;
        EXPECT_TRUE(store->begin_run(run, reason)) << reason;
        const std::vector<std::string>* findings[] = {&b.sdram_findings, &b.flash_findings,
                                                      &b.sram_findings};
        const char* names[] = {"sdram", "flash", "sram"};
        for (int i = 0; i < 3; ++i) {
            const char t = b.tests[i];
            if (t == '-')
                continue;
            const std::string status = t == 'p' ? "passed" : t == 'f' ? "failed" : "error";
            record_test test{b.key, 1, names[i], status, t == 'f' ? 1u : 0u, 1, *findings[i]};
            EXPECT_TRUE(store->add_test(test, reason)) << reason;
        }
    }
    return store;
}

std::string figures(const std::vector<yield_figure>& list) {
    std::string text;
    for (const yield_figure& y : list)
        text += y.label + " " + std::to_string(y.passed) + "/" + std::to_string(y.tested) + "; ";
    return text;
}

TEST(Summary, FiguresMatchTheRunsWritten) {
    auto store = written_store();
    ASSERT_TRUE(store);
    summary_data d;
    std::string error;
    ASSERT_TRUE(summarise(*store, {}, d, error)) << error;
    EXPECT_EQ(d.runs, 9);
    EXPECT_EQ(d.boards, 8);
    EXPECT_EQ(d.failed_total, 4);
    EXPECT_EQ(d.errors, 1);
    EXPECT_EQ(figures({d.overall}), "all 3/7; ");
    EXPECT_EQ(figures(d.per_memory), "sdram 4/7; flash 6/7; sram 6/7; ");
    EXPECT_EQ(figures(d.per_station_port), "s1 /dev/ttyUSB0 1/4; s2 /dev/ttyUSB0 2/3; ");
    EXPECT_FALSE(d.hourly);
    EXPECT_EQ(figures(d.per_period), "2026-03-01 1/2; 2026-03-02 2/3; 2026-03-03 0/2; ");
    std::string pareto;
    for (const line_count& l : d.pareto)
        pareto += l.test + " " + l.line + " " + std::to_string(l.runs) + "; ";
    EXPECT_EQ(pareto, "sdram D5 2; flash A13 1; sram D5 1; ");
    EXPECT_EQ(d.findings_without_line, 1);
    std::string failed;
    for (const failed_board& b : d.failed)
        failed += b.board_id + " " + b.tests + "; ";
    EXPECT_EQ(failed, "B8 sram; B7 sdram; B4 flash sdram; B2 sdram; ");
    EXPECT_NE(summary_text(d).find("First-pass yield: 42.9% (3 of 7 boards"), std::string::npos);

    // One day, by hour; one station; the bounds as a person types them.
    const std::pair<summary_filter, const char*> filters[] = {
        {{"", "", "s1"}, "all 1/4; "},
        {{"2026-03-01T09:00", "2026-03-02T09:00:00Z", ""}, "all 1/3; "},
        {{"2026-03-02", "2026-03-02", ""}, "all 2/3; "},
    };
    for (const auto& [typed, expected] : filters) {
        summary_filter f;
        f.station = typed.station;
        ASSERT_TRUE(typed.since.empty() || summary_time_bound(typed.since, false, f.since));
        ASSERT_TRUE(typed.until.empty() || summary_time_bound(typed.until, true, f.until));
        ASSERT_TRUE(summarise(*store, f, d, error)) << error;
        EXPECT_EQ(figures({d.overall}), expected) << typed.since << " " << typed.until;
    }
    EXPECT_TRUE(d.hourly);
    std::string bound;
    for (const char* bad : {"03/02/2026", "2026-13-01", "2026-03-02T25:00", "2026-03-02 08:00"})
        EXPECT_FALSE(summary_time_bound(bad, false, bound)) << bad;
}

// The page as a person sees it: Chromium draws the yield bars (1/2 and 2/3;
// the last day's 0 has none) and the Pareto bars (2, 1, 1 runs).
TEST(Summary, ThePageDrawsItsCharts) {
    auto store = written_store();
    ASSERT_TRUE(store);
    summary_data d;
    std::string error;
    ASSERT_TRUE(summarise(*store, {}, d, error)) << error;
    const temp_file page("summary.html"), shot("summary.png");
    std::ofstream(page.path) << summary_html(d, {});
    // Nothing from the network: the SVG namespace is a name, not a fetch.
    std::string html = read_file(page.path);
    for (std::size_t at; (at = html.find("http://www.w3.org/2000/svg")) != std::string::npos;)
        html.erase(at, 26);
    for (const char* remote : {"http:", "https:", "<script", "@import", "url("})
        EXPECT_EQ(html.find(remote), std::string::npos) << remote;
    const run_result r = run({"/usr/bin/python3", KORVIN_SOURCE_DIR "/tests/records/page_check.py",
                              page.path, shot.path});
    if (r.status == 77)
        GTEST_SKIP() << r.out;
    ASSERT_EQ(r.status, 0) << r.err;
    int y1 = 0, y2 = 0, p1 = 0, p2 = 0, p3 = 0, extra = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "yield %d %d pareto %d %d %d %d", &y1, &y2, &p1, &p2, &p3,
                          &extra),
              5)
        << r.out;
    EXPECT_NEAR(static_cast<double>(y1) / y2, 0.75, 0.03) << r.out;
    EXPECT_NEAR(static_cast<double>(p2) / p1, 0.5, 0.03) << r.out;
    EXPECT_EQ(p2, p3) << r.out;
    EXPECT_GT(y2, 100) << r.out;
}

} // namespace
} // namespace korvin::test
