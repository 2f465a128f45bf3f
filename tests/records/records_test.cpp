// The results stores against real databases: a SQLite file, or the
// PostgreSQL server with_postgres.sh starts (KORVIN_TEST_STORE=postgres).
#include "process.h"
#include "record.h"
#include "record_spool.h"
#include "recorder.h"
#include "summary.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace korvin::test {

bool on_postgres() {
    const char* store = std::getenv("KORVIN_TEST_STORE");
    return store && std::string(store) == "postgres";
}

// A fresh, empty store of the kind under test; its spools in a folder of its own.
std::string fresh_store(const std::string& name) {
    const std::string state = temp_path("state-" + name);
    std::filesystem::remove_all(state);
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    if (!on_postgres()) {
        const std::string path = temp_path(name + ".db");
        for (const char* tail : {"", "-wal", "-shm"})
            std::remove((path + tail).c_str());
        return "sqlite:" + path;
    }
    const std::string url = std::string("postgresql://") + getenv("PGUSER") + ":" +
                            getenv("PGPASSWORD") + "@" + getenv("PGHOST") + ":" + getenv("PGPORT") +
                            "/" + getenv("PGDATABASE");
    run({"/usr/bin/psql", "-q", "-c", "DROP TABLE IF EXISTS findings, tests, runs, korvin_schema",
         url});
    return url;
}

namespace {

std::unique_ptr<record_store> open_or_fail(const std::string& url) {
    std::string reason;
    auto store = open_record_store(url, reason);
    EXPECT_TRUE(store) << reason;
    return store;
}

long long count(record_store& store, const std::string& sql) {
    record_rows rows;
    std::string error;
    EXPECT_TRUE(store.query(sql, {}, rows, error)) << error;
    return rows.empty() || !rows[0][0] ? -1 : std::atoll(rows[0][0]->c_str());
}

record_run make_run(const std::string& key, const std::string& at, const std::string& station,
                    const std::string& port, const std::string& id, const std::string& outcome) {
    record_run r;
    r.run_key = key;
    r.started_at = r.ended_at = at;
    r.station = station;
    r.port = port;
    if (!id.empty())
        r.board_id = id;
    r.korvin_version = "1.1";
    r.image_length = 2828;
    r.outcome = outcome;
    return r;
}

// The analysers' own wording, as --diagnose prints it.
const char* const D5_LOW = "data line D5 stuck low: it reads 0 in every check, wrong under 32 "
                           "patterns (first 0xfffffffe, last 0x7fffffff)";
const char* const A13 =
    "address line stuck or shorted: word-index bit 12 = chip pin A12 (word "
    "mode) = processor line A13 (2 mismatches, first at offset 0x2000 read 0x0)";

TEST(RecordFindings, TheLineIsNamedOnlyWhereTheFindingProvesOne) {
    const std::pair<const char*, const char*> cases[] = {
        {D5_LOW, "D5"},
        {A13, "A13"},
        {"data line D9 stuck low, or data line D9 open: the trace fits each", "D9"},
        {"data lines D3 and D4 shorted (wired-AND): they always read alike", ""},
        {"address lines word-index bit 3 = processor line A4 and word-index bit 4 = processor "
         "line A5 shorted (wired-OR)",
         ""},
        {"manufacturer code 0x0041, expected 0x0001 or 0x00C2; only D7 differs from 0x00C2 "
         "(read 0): data line D7 stuck low, or another part",
         "D7"},
        {"the FLASH did not complete a sector erase at 0xc0020000", ""},
    };
    for (const auto& [text, line] : cases)
        EXPECT_EQ(finding_line(text), line) << text;
}

TEST(RecordStore, RefusesWhatIsNotItsOwnAndLeavesItUntouched) {
    if (on_postgres())
        GTEST_SKIP() << "SQLite files only";
    const std::string path = temp_path("refused.db");
    const std::pair<const char*, const char*> cases[] = {
        {"echo 'not a database at all, but long enough to look like one' > $0", "not a database"},
        {"sqlite3 $0 'CREATE TABLE parts (id INTEGER)'", "not korvin's"},
        {"sqlite3 $0 'CREATE TABLE korvin_schema (version INTEGER); INSERT INTO korvin_schema "
         "VALUES (1), (7)'",
         "version 7"},
    };
    for (const auto& [make, why] : cases) {
        std::filesystem::remove(path);
        ASSERT_EQ(run({"/bin/sh", "-c", make, path}).status, 0) << make;
        const std::string before = read_file(path);
        std::string reason;
        EXPECT_FALSE(open_record_store("sqlite:" + path, reason)) << make;
        EXPECT_NE(reason.find(why), std::string::npos) << reason;
        EXPECT_EQ(read_file(path), before) << make;
        EXPECT_FALSE(std::filesystem::exists(path + "-wal")) << make;
    }
    std::filesystem::remove(path);
}

// Eight boards of two stations, each a process of its own writing runs at
// once, racing to create the schema too: every run arrives, once.
TEST(RecordStore, ConcurrentWritersLoseNothing) {
    const std::string url = fresh_store("concurrent");
    constexpr int STATIONS = 2, BOARDS = 8, RUNS = 6;
    std::vector<pid_t> children;
    for (int s = 0; s < STATIONS; ++s)
        for (int b = 0; b < BOARDS; ++b) {
            const pid_t pid = fork();
            if (pid == 0) {
                std::string reason;
                auto store = open_record_store(url, reason);
                bool ok = store != nullptr;
                for (int r = 0; ok && r < RUNS; ++r) {
                    record_run run = make_run(record_new_run_key(), record_utc_now(),
                                              "station" + std::to_string(s),
                                              "port" + std::to_string(b), "", "running");
                    ok = store->begin_run(run, reason);
                    for (const char* name : {"sdram", "flash", "sram"}) {
                        record_test t{run.run_key, 1, name, "failed", 1, 0.5, {D5_LOW}};
                        ok = ok && store->add_test(t, reason);
                    }
                    run.outcome = "failed";
                    ok = ok && store->update_run(run, reason);
                }
                if (!ok)
                    std::fprintf(stderr, "writer: %s\n", reason.c_str());
                _exit(ok ? 0 : 1);
            }
            children.push_back(pid);
        }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto store = open_or_fail(url);
    ASSERT_TRUE(store);
    const long long runs = STATIONS * BOARDS * RUNS;
    EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM runs WHERE outcome = 'failed'"), runs);
    EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM tests"), runs * 3);
    EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM findings WHERE line = 'D5'"), runs * 3);
    EXPECT_EQ(count(*store, "SELECT COUNT(DISTINCT station || port) FROM runs"), STATIONS * BOARDS);
}

// A spool sent twice (a crash after the store took it, before it was
// emptied) writes nothing twice.
TEST(RecordSpool, ASpoolSentTwiceWritesOnce) {
    const std::string url = fresh_store("spool");
    spool_entry begin, test, end;
    begin.run = make_run("k1", "2026-03-01T10:00:00Z", "st", "p", "B1", "running");
    // A garbled line's bytes, kept as Latin-1 in valid UTF-8 for both stores.
    begin.run.log = "Testing SDRAM... \"failed\"\n\t\xe9\xc3\xa9\n";
    test.op = spool_entry::ADD_TEST;
    test.test = {"k1", 1, "sdram", "failed", 1, 1.25, {D5_LOW, A13}};
    end.op = spool_entry::UPDATE_RUN;
    end.run = begin.run;
    end.run.outcome = "failed";
    std::string error;
    for (const spool_entry* e : {&begin, &test, &end})
        ASSERT_TRUE(spool_append(url, *e, error)) << error;
    const std::string spool = record_spool_path(url);
    const std::string copy = read_file(spool);
    for (int round = 0; round < 2; ++round) {
        run_recorder recorder;
        ASSERT_TRUE(recorder.open(url, error)) << error;
        EXPECT_FALSE(std::filesystem::exists(spool));
        std::ofstream(spool, std::ios::binary) << copy;
    }
    auto store = open_or_fail(url);
    record_rows rows;
    ASSERT_TRUE(store->query("SELECT outcome, log, board_id FROM runs", {}, rows, error));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(*rows[0][0], "failed");
    EXPECT_EQ(*rows[0][1], "Testing SDRAM... \"failed\"\n\t\xc3\xa9\xc3\xa9\n");
    EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM tests"), 1);
    EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM findings WHERE line IN ('D5', 'A13')"), 2);
}

// korvin itself on a simulated board with SDRAM D5 stuck low: the record
// holds the verdicts, the line, and the log exactly as -l wrote it.
TEST(RecordRun, KorvinRecordsARunAsItsLogShowsIt) {
    const std::string url = fresh_store("korvin");
    simulator sim(with_faults({"sdram:d5=0"}));
    const temp_file log("run.log");
    const run_result r =
        run({bin("korvin"), "-p", sim.port(), "--diagnose", "-l", log.path, "--record", url},
            {"XDG_STATE_HOME=" + std::string(getenv("XDG_STATE_HOME"))});
    ASSERT_EQ(r.status, 0) << r.err;
    auto store = open_or_fail(url);
    record_rows rows;
    std::string error;
    ASSERT_TRUE(store->query("SELECT outcome, log, board_id, ended_at FROM runs", {}, rows, error));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(*rows[0][0], "failed");
    EXPECT_EQ(*rows[0][1], read_file(log.path));
    EXPECT_FALSE(rows[0][2]);
    ASSERT_TRUE(store->query("SELECT t.name, t.status, f.line FROM tests t LEFT JOIN findings f "
                             "ON f.run_id = t.run_id AND f.test = t.name ORDER BY t.name",
                             {}, rows, error));
    std::string tests;
    for (const auto& row : rows)
        tests += *row[0] + " " + *row[1] + " " + row[2].value_or("-") + "; ";
    EXPECT_EQ(tests, "flash passed -; sdram failed D5; sram passed -; ");

    // A store that is refused stops korvin before it opens the port.
    const temp_file foreign("foreign.db");
    run({"/usr/bin/sqlite3", foreign.path, "CREATE TABLE parts (id INTEGER)"});
    const run_result refused =
        run({bin("korvin"), "-p", sim.port(), "--record", "sqlite:" + foreign.path});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "Could not use the record store sqlite:" + foreign.path +
                               ": it holds tables that are not korvin's.\n");
    EXPECT_EQ(refused.out.find("Waiting"), std::string::npos) << refused.out;
}

void server(const char* action) {
    const std::string version = getenv("PGVERSION");
    ASSERT_EQ(run({"/usr/bin/pg_ctlcluster", version, "regress", action}).status, 0) << action;
}

// The server goes away in the middle of a run: the run goes on into the
// spool, and the spool is sent when the server is back, once.
TEST(RecordSpool, APostgresRestartDuringARunLosesNothing) {
    if (!on_postgres())
        GTEST_SKIP() << "needs the PostgreSQL server of with_postgres.sh";
    const std::string url = fresh_store("restart");
    std::string error;
    const std::string spool = record_spool_path(url);
    std::string kept;
    {
        run_recorder recorder;
        ASSERT_TRUE(recorder.open(url, error)) << error;
        recorder.begin(make_run("", "", "st", "p", "B9", ""));
        recorder.test_ended({"", 1, "sdram", "failed", 1, 2.0, {D5_LOW}}, "log 1");
        server("stop");
        recorder.test_ended({"", 1, "flash", "passed", 0, 3.0, {}}, "log 2");
        recorder.test_ended({"", 1, "sram", "passed", 0, 1.0, {}}, "log 3");
        recorder.end("failed", std::nullopt, "log 4");
        EXPECT_TRUE(recorder.spooled());
        kept = read_file(spool);
        EXPECT_NE(kept.find("\"sram\""), std::string::npos);
    }
    server("start");
    for (int round = 0; round < 2; ++round) {
        run_recorder next;
        ASSERT_TRUE(next.open(url, error)) << error;
        EXPECT_FALSE(std::filesystem::exists(spool));
        std::ofstream(spool, std::ios::binary) << kept; // sent again: written once all the same
    }
    std::filesystem::remove(spool);
    auto store = open_or_fail(url);
    EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM runs WHERE outcome = 'failed' AND log = "
                            "'log 4' AND ended_at IS NOT NULL"),
              1);
    EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM tests"), 3);
    EXPECT_EQ(count(*store, "SELECT COUNT(*) FROM findings"), 1);
}

} // namespace
} // namespace korvin::test
