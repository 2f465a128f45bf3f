// A station of simulated boards recording every board, in SQLite or (under
// with_postgres.sh) in PostgreSQL, and a PostgreSQL restart in the middle of it.
#include "process.h"
#include "record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <regex>

namespace korvin::test {
bool on_postgres();                               // records_test.cpp
std::string fresh_store(const std::string& name); // records_test.cpp

namespace {

std::vector<std::string> station(const std::vector<simulator*>& boards,
                                 const std::vector<std::string>& args) {
    std::vector<std::string> argv{bin("korvin"), "--station"};
    for (simulator* b : boards)
        argv.insert(argv.end(), {"-p", b->port()});
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::string state_env() {
    return "XDG_STATE_HOME=" + std::string(getenv("XDG_STATE_HOME"));
}

// One line per run: port, number, ID, outcome, its tests and the lines found.
std::string runs_of(const std::string& url) {
    std::string reason;
    auto store = open_record_store(url, reason);
    EXPECT_TRUE(store) << reason;
    record_rows rows;
    EXPECT_TRUE(store->query(
        "SELECT r.port, r.board_number, r.board_id, r.outcome, (SELECT COUNT(*) FROM tests t "
        "WHERE t.run_id = r.id), (SELECT MIN(f.line) FROM findings f WHERE f.run_id = r.id) "
        "FROM runs r ORDER BY r.board_number",
        {}, rows, reason))
        << reason;
    std::string text;
    for (const auto& row : rows)
        text += row[0].value_or("?") + " " + row[1].value_or("-") + " " + row[2].value_or("-") +
                " " + *row[3] + " " + *row[4] + " " + row[5].value_or("-") + "\n";
    return text;
}

TEST(StationRecord, EveryBoardOfAStationIsRecordedOnce) {
    const std::string url = fresh_store("station");
    simulator a, b, c(with_faults({"sdram:d5=0"}));
    child_process st(station({&a, &b, &c}, {"--count", "3", "--diagnose", "--record", url}),
                     {state_env()}, true);
    st.write_input("SN-1\nSN-2\nSN-3\n");
    const run_result r = st.wait(120s);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // Numbers and IDs go to the boards in the order they woke.
    std::map<std::string, std::string> expected;
    for (simulator* board : {&a, &b, &c}) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(
            r.out, m, std::regex(board->port() + R"( board (\d) \[(SN-\d)\]: woke)")))
            << r.out;
        expected[m[1]] = board->port() + " " + std::string(m[1]) + " " + std::string(m[2]) +
                         (board == &c ? " failed 3 D5\n" : " passed 3 -\n");
    }
    std::string lines;
    for (const auto& [number, line] : expected)
        lines += line;
    EXPECT_EQ(runs_of(url), lines) << r.out;
}

// The server stops while every board is in its FLASH test and starts again
// after the station ended: the runs went on into the spool, and the next
// korvin with the store (a summary) sends it. Every run arrives, once.
TEST(StationRecord, APostgresRestartMidStationLosesNoRecord) {
    if (!on_postgres())
        GTEST_SKIP() << "needs the PostgreSQL server of with_postgres.sh";
    const std::string url = fresh_store("station-restart");
    const std::string version = getenv("PGVERSION");
    simulator a({"--flash-timing=10,200"}), b({"--flash-timing=10,200"});
    child_process st(station({&a, &b}, {"flash", "--count", "2", "--record", url}), {state_env()});
    for (simulator* board : {&a, &b})
        ASSERT_TRUE(st.wait_for_output(board->port() + " board", 30s)) << st.out();
    ASSERT_TRUE(st.wait_for_output(": FLASH\n", 30s)) << st.out();
    ASSERT_EQ(run({"/usr/bin/pg_ctlcluster", version, "regress", "stop"}).status, 0);
    const run_result r = st.wait(120s);
    ASSERT_EQ(run({"/usr/bin/pg_ctlcluster", version, "regress", "start"}).status, 0);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("The record store failed"), std::string::npos) << r.err;
    const run_result summary = run({bin("korvin"), "--summary", url}, {state_env()});
    EXPECT_NE(summary.out.find("Boards tested: 2 in 2 runs"), std::string::npos)
        << summary.out << summary.err;
    const std::string runs = runs_of(url);
    for (simulator* board : {&a, &b})
        EXPECT_NE(runs.find(board->port() + " "), std::string::npos) << runs;
    EXPECT_EQ(std::count(runs.begin(), runs.end(), '\n'), 2) << runs;
    EXPECT_EQ(runs.find("running"), std::string::npos) << runs;
    EXPECT_NE(runs.find("passed 1 -"), std::string::npos) << runs;
}

} // namespace
} // namespace korvin::test
