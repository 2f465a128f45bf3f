#include "summary.h"

#include "recorder.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace korvin {
namespace {

long long number(const std::optional<std::string>& text) {
    return text ? std::atoll(text->c_str()) : 0;
}

std::string text_of(const std::optional<std::string>& text) {
    return text ? *text : "";
}

// The WHERE clause on runs `r` for the filter, with its parameters.
std::string where(const summary_filter& filter, std::vector<std::string>& params) {
    std::string sql = "1 = 1";
    auto add = [&](const char* condition, const std::string& value) {
        if (value.empty())
            return;
        params.push_back(value);
        sql += std::string(" AND ") + condition + " $" + std::to_string(params.size());
    };
    add("r.started_at >=", filter.since);
    add("r.started_at <", filter.until);
    add("r.station =", filter.station);
    return sql;
}

// The runs that count for the yield: each board's first run that ended with
// verdicts (passed or failed), whatever the filter; a run without a board ID
// is a board of its own. A retest after a repair is not a first pass.
std::string first_runs(const std::string& condition) {
    return "WITH first_runs AS (SELECT r.id, r.station, r.port, r.started_at, r.outcome "
           "FROM runs r WHERE " +
           condition +
           " AND r.outcome IN ('passed', 'failed') AND (r.board_id IS NULL OR NOT EXISTS "
           "(SELECT 1 FROM runs e WHERE e.board_id = r.board_id AND e.outcome IN ('passed', "
           "'failed') AND (e.started_at < r.started_at OR (e.started_at = r.started_at AND "
           "e.id < r.id))))) ";
}

void add_to(std::vector<yield_figure>& list, const std::string& label, long long tested,
            long long passed) {
    if (list.empty() || list.back().label != label)
        list.push_back({label, 0, 0});
    list.back().tested += tested;
    list.back().passed += passed;
}

bool yields(record_store& store, const std::string& sql, const std::vector<std::string>& params,
            std::vector<yield_figure>& out, std::string& error) {
    record_rows rows;
    if (!store.query(sql, params, rows, error))
        return false;
    for (const auto& row : rows)
        out.push_back({text_of(row[0]), number(row[1]), number(row[2])});
    return true;
}

} // namespace

bool summary_time_bound(const std::string& text, bool until, std::string& bound) {
    int y, mo, d, h = 0, mi = 0, s = 0, used = 0;
    const char* p = text.c_str();
    if (std::sscanf(p, "%4d-%2d-%2d%n", &y, &mo, &d, &used) != 3 || used != 10)
        return false;
    bool whole_day = text.size() == 10;
    if (!whole_day) {
        int more = 0;
        if (std::sscanf(p + 10, "T%2d:%2d%n", &h, &mi, &more) != 2 || more != 6)
            return false;
        std::string rest = text.substr(16);
        if (rest.size() >= 3 && rest[0] == ':') {
            if (std::sscanf(rest.c_str(), ":%2d", &s) != 1)
                return false;
            rest = rest.substr(3);
        }
        if (!(rest.empty() || rest == "Z"))
            return false;
    }
    if (y < 1000 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 ||
        mi > 59 || s < 0 || s > 60)
        return false;
    char out[64];
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02dZ", y, mo, d, h, mi, s);
    bound = out;
    if (until && whole_day)
        bound = bound.substr(0, 10) + "T99"; // after every time of that day
    else if (until)
        bound[19] = '~'; // the given second included: '~' sorts after 'Z'
    return true;
}

bool summarise(record_store& store, const summary_filter& filter, summary_data& data,
               std::string& error) {
    data = {};
    std::vector<std::string> params;
    const std::string w = where(filter, params);
    record_rows rows;
    if (!store.query("SELECT COUNT(*), COUNT(DISTINCT r.board_id), MIN(r.started_at), "
                     "MAX(r.started_at), SUM(CASE WHEN r.outcome = 'error' THEN 1 ELSE 0 END), "
                     "SUM(CASE WHEN r.outcome = 'interrupted' THEN 1 ELSE 0 END), "
                     "SUM(CASE WHEN r.outcome = 'running' THEN 1 ELSE 0 END), "
                     "SUM(CASE WHEN r.outcome = 'failed' THEN 1 ELSE 0 END), "
                     "SUM(CASE WHEN r.board_id IS NULL THEN 1 ELSE 0 END) FROM runs r WHERE " +
                         w,
                     params, rows, error))
        return false;
    const auto& totals = rows.at(0);
    data.runs = number(totals[0]);
    data.boards_with_id = number(totals[1]);
    data.first = text_of(totals[2]);
    data.last = text_of(totals[3]);
    data.errors = number(totals[4]);
    data.interrupted = number(totals[5]);
    data.running = number(totals[6]);
    data.failed_total = number(totals[7]);
    data.boards = data.boards_with_id + number(totals[8]);
    data.hourly = !data.first.empty() && data.first.compare(0, 10, data.last, 0, 10) == 0;

    const std::string fr = first_runs(w);
    if (!store.query(fr + "SELECT station || ' ' || port, substr(started_at, 1, " +
                         (data.hourly ? "13" : "10") +
                         "), COUNT(*), SUM(CASE WHEN outcome = 'passed' THEN 1 ELSE 0 END) "
                         "FROM first_runs GROUP BY 1, 2 ORDER BY 1, 2",
                     params, rows, error))
        return false;
    std::map<std::string, yield_figure> periods;
    for (const auto& row : rows) {
        const long long tested = number(row[2]), passed = number(row[3]);
        add_to(data.per_station_port, text_of(row[0]), tested, passed);
        periods[text_of(row[1])].tested += tested;
        periods[text_of(row[1])].passed += passed;
        data.overall.tested += tested;
        data.overall.passed += passed;
    }
    data.overall.label = "all";
    for (auto& [label, figure] : periods) {
        figure.label = label;
        data.per_period.push_back(figure);
    }
    // CROSS JOIN: SQLite then looks for each run's earlier runs once, not
    // once for each of its tests.
    if (!yields(
            store,
            fr + "SELECT t.name, COUNT(*), SUM(CASE WHEN t.status = 'passed' THEN 1 ELSE 0 "
                 "END) FROM first_runs f CROSS JOIN tests t WHERE t.run_id = f.id AND t.pass = 1 "
                 "GROUP BY t.name",
            params, data.per_memory, error))
        return false;
    // The memories in the order a run tests them.
    std::map<std::string, yield_figure> memories;
    for (const yield_figure& y : data.per_memory)
        memories[y.label] = y;
    data.per_memory.clear();
    for (const char* name : {"sdram", "flash", "sram"})
        if (memories.count(name))
            data.per_memory.push_back(memories[name]);

    if (!store.query("SELECT f.test, f.line, COUNT(DISTINCT f.run_id) FROM runs r JOIN findings f "
                     "ON f.run_id = r.id AND f.pass = 1 WHERE " +
                         w + " GROUP BY f.test, f.line ORDER BY 3 DESC, 1, 2",
                     params, rows, error))
        return false;
    for (const auto& row : rows) {
        if (row[1])
            data.pareto.push_back({text_of(row[0]), *row[1], number(row[2])});
        else
            data.findings_without_line += number(row[2]);
    }

    if (!store.query("SELECT r.id, r.started_at, r.station, r.port, r.board_id FROM runs r "
                     "WHERE " +
                         w +
                         " AND r.outcome = 'failed' ORDER BY r.started_at DESC, r.id DESC "
                         "LIMIT " +
                         std::to_string(FAILED_LISTED),
                     params, rows, error))
        return false;
    std::map<std::string, std::size_t> index;
    for (const auto& row : rows) {
        index[text_of(row[0])] = data.failed.size();
        data.failed.push_back(
            {text_of(row[1]), text_of(row[2]), text_of(row[3]), text_of(row[4]), ""});
    }
    if (!store.query("SELECT DISTINCT t.run_id, t.name FROM runs r JOIN tests t ON t.run_id = "
                     "r.id WHERE " +
                         w + " AND r.outcome = 'failed' AND t.status = 'failed' ORDER BY 1, 2",
                     params, rows, error))
        return false;
    for (const auto& row : rows) {
        const auto at = index.find(text_of(row[0]));
        if (at == index.end())
            continue;
        std::string& tests = data.failed[at->second].tests;
        tests += (tests.empty() ? "" : " ") + text_of(row[1]);
    }
    return true;
}

std::string percent_text(long long part, long long whole) {
    if (whole <= 0)
        return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%",
                  100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

std::string summary_text(const summary_data& d) {
    std::string out;
    char line[512];
    auto add = [&](const char* format, auto... args) {
        std::snprintf(line, sizeof line, format, args...);
        out += line;
    };
    if (d.runs == 0)
        return "No runs recorded in this range.\n";
    add("Boards tested: %lld in %lld runs from %s to %s (%lld failed, %lld ended in error, "
        "%lld interrupted, %lld still running)\n",
        d.boards, d.runs, d.first.c_str(), d.last.c_str(), d.failed_total, d.errors, d.interrupted,
        d.running);
    add("First-pass yield: %s (%lld of %lld boards passed their first run)\n",
        percent_text(d.overall.passed, d.overall.tested).c_str(), d.overall.passed,
        d.overall.tested);
    for (const yield_figure& y : d.per_memory)
        add("  %-6s %7s (%lld of %lld)\n", y.label.c_str(),
            percent_text(y.passed, y.tested).c_str(), y.passed, y.tested);
    out += "\nPer station and port:\n";
    for (const yield_figure& y : d.per_station_port)
        add("  %-40s %7s (%lld of %lld)\n", y.label.c_str(),
            percent_text(y.passed, y.tested).c_str(), y.passed, y.tested);
    out += "\nFailing lines (runs with a first-pass finding on the line):\n";
    long long all = d.findings_without_line, sum = 0;
    for (const line_count& l : d.pareto)
        all += l.runs;
    for (const line_count& l : d.pareto) {
        sum += l.runs;
        add("  %-6s %-5s %6lld  %6s cumulative\n", l.test.c_str(), l.line.c_str(), l.runs,
            percent_text(sum, all).c_str());
    }
    if (d.findings_without_line)
        add("  %lld findings name no single line\n", d.findings_without_line);
    add("\nFailed boards (%lld):\n", d.failed_total);
    for (const failed_board& b : d.failed)
        add("  %s  %-16s %-20s %-16s %s\n", b.started_at.c_str(),
            b.board_id.empty() ? "(no ID)" : b.board_id.c_str(), b.station.c_str(), b.port.c_str(),
            b.tests.c_str());
    if (d.failed_total > static_cast<long long>(d.failed.size()))
        add("  ... and %lld earlier\n", d.failed_total - static_cast<long long>(d.failed.size()));
    return out;
}

int summary_main(const std::string& url, const summary_filter& filter,
                 const std::string& html_path) {
    std::string reason;
    std::error_code error;
    // A summary reads: a file name typed wrong must not become a new store.
    if (url.compare(0, 7, "sqlite:") == 0 && !std::filesystem::exists(url.substr(7), error))
        reason = "there is no such file";
    run_recorder recorder;
    if (!reason.empty() || !recorder.open(url, reason)) {
        std::fprintf(stderr, "Could not use the record store %s: %s.\n", url.c_str(),
                     reason.c_str());
        return 1;
    }
    summary_data data;
    if (!summarise(recorder.store(), filter, data, reason)) {
        std::fprintf(stderr, "Could not read the record store %s: %s.\n", url.c_str(),
                     reason.c_str());
        return 1;
    }
    std::fputs(summary_text(data).c_str(), stdout);
    if (html_path.empty())
        return 0;
    std::ofstream page(html_path, std::ios::binary);
    page << summary_html(data, filter);
    page.close();
    if (!page) {
        std::fprintf(stderr, "Could not write '%s'.\n", html_path.c_str());
        return 1;
    }
    return 0;
}

} // namespace korvin
