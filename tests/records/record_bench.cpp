// make bench: what recording costs a board's run on SQLite, and how long the
// summary takes over many recorded runs.
//   korvin_record_bench DIR [RUNS]   (RUNS defaults to 100000)
#include "record.h"
#include "recorder.h"
#include "summary.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

using namespace korvin;
using clock_type = std::chrono::steady_clock;

namespace {

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// One board's recording as korvin does it: open the store (and look for a
// spool), the run, three tests, the end.
double one_board(const std::string& url, const std::string& log) {
    const auto start = clock_type::now();
    run_recorder recorder;
    std::string reason;
    if (!recorder.open(url, reason)) {
        std::fprintf(stderr, "%s\n", reason.c_str());
        std::exit(1);
    }
    record_run run;
    run.station = "bench";
    run.port = "/dev/ttyUSB0";
    run.korvin_version = "1.1";
    recorder.begin(run);
    for (const char* name : {"sdram", "flash", "sram"})
        recorder.test_ended({"", 1, name, "passed", 0, 1.5, {}}, log);
    recorder.end("passed", std::nullopt, log);
    return ms_since(start);
}

// Fills the store with `runs` runs over 100 days: 3 tests each, one in 20
// failing its SDRAM test with a finding on one of 8 lines.
void fill(const std::string& path, int runs) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    const std::string n = std::to_string(runs);
    const std::string sql =
        "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + n +
        ") INSERT INTO runs (run_key, started_at, ended_at, station, port, board_id, "
        "korvin_version, image_length, outcome, log) SELECT 'k' || i, "
        "strftime('%Y-%m-%dT%H:%M:%SZ', 1767225600 + i * (8640000 / " +
        n +
        "), 'unixepoch'), NULL, 'station' || (i % 4), '/dev/ttyUSB' || (i % 8), 'B' || i, '1.1', "
        "2828, "
        "CASE WHEN i % 20 = 0 THEN 'failed' ELSE 'passed' END, "
        "'Testing SDRAM... passed' || char(10) || 'Testing FLASH... passed' || char(10) || "
        "'Testing SRAM... passed' || char(10) FROM n; "
        "INSERT INTO tests SELECT id, 1, t.name, CASE WHEN t.name = 'sdram' AND id % 20 = 0 "
        "THEN 'failed' ELSE 'passed' END, CASE WHEN t.name = 'sdram' AND id % 20 = 0 THEN 1 "
        "ELSE 0 END, 1.5 FROM runs, (SELECT 'sdram' AS name UNION ALL SELECT 'flash' UNION ALL "
        "SELECT 'sram') t; INSERT INTO findings SELECT id, 1, 'sdram', 'data line D' || (id / 20 % "
        "8) "
        "|| ' stuck low', 'D' || (id / 20 % 8) FROM runs WHERE id % 20 = 0; COMMIT;";
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "fill: %s\n", error);
        std::exit(1);
    }
    sqlite3_close(db);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: korvin_record_bench DIR [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 100000;
    const std::string path = std::string(argv[1]) + "/bench.db";
    std::filesystem::remove(path);
    setenv("XDG_STATE_HOME", argv[1], 1);
    const std::string url = "sqlite:" + path;
    // A quiet run's log is a few lines; the store's first use makes the schema.
    const std::string log = "Testing SDRAM... passed\nTesting FLASH... passed\n"
                            "Testing SRAM... passed\n";
    one_board(url, log);
    std::vector<double> boards;
    for (int i = 0; i < 50; ++i)
        boards.push_back(one_board(url, log));
    std::sort(boards.begin(), boards.end());
    std::printf("recording one board's run on SQLite (open, run, 3 tests, end; 50 runs): "
                "median %.2f ms, slowest %.2f ms\n",
                boards[boards.size() / 2], boards.back());

    std::filesystem::remove(path);
    {
        std::string reason;
        if (!open_record_store(url, reason)) {
            std::fprintf(stderr, "%s\n", reason.c_str());
            return 1;
        }
    }
    auto start = clock_type::now();
    fill(path, runs);
    std::printf("filled %d runs in %.0f ms\n", runs, ms_since(start));
    // The machine may be shared: the best of three, with the CPU time, which
    // the other work on it does not inflate.
    for (const char* since : {"", "2026-03-01"}) {
        double best = 1e9, cpu = 0;
        summary_data data;
        for (int round = 0; round < 3; ++round) {
            start = clock_type::now();
            const std::clock_t cpu_start = std::clock();
            std::string reason;
            auto store = open_record_store(url, reason);
            summary_filter filter;
            if (*since)
                summary_time_bound(since, false, filter.since);
            if (!store || !summarise(*store, filter, data, reason)) {
                std::fprintf(stderr, "%s\n", reason.c_str());
                return 1;
            }
            const double ms = ms_since(start);
            if (ms < best) {
                best = ms;
                cpu = 1000.0 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
            }
        }
        std::printf("summary over %lld runs%s%s: %.0f ms (CPU %.0f ms; yield %s, %zu failing "
                    "lines)\n",
                    data.runs, *since ? " since " : "", since, best, cpu,
                    percent_text(data.overall.passed, data.overall.tested).c_str(),
                    data.pareto.size());
    }
    if (argc < 4) // a third argument keeps the filled store to look at
        std::filesystem::remove(path);
    return 0;
}
