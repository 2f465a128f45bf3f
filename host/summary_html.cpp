// The summary as one page that needs nothing from the network: inline style,
// inline SVG charts, no script.
#include "summary.h"
#include "test_report.h"

#include <algorithm>
#include <cstdio>

namespace korvin {
namespace {

// Solid fills the page test finds again in a screenshot.
const char* const YIELD_COLOUR = "#1f77b4";
const char* const PARETO_COLOUR = "#d62728";

constexpr int CHART_WIDTH = 880, CHART_HEIGHT = 260;
constexpr int LEFT = 50, TOP = 20, BOTTOM = 60; // room for the axis labels
constexpr int PLOT_HEIGHT = CHART_HEIGHT - TOP - BOTTOM;

std::string num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// Grid lines at every quarter, labelled in percent.
std::string axis(const char* right_label) {
    std::string svg;
    for (int p = 0; p <= 100; p += 25) {
        const std::string y = num(TOP + PLOT_HEIGHT * (1 - p / 100.0));
        svg += "<line x1=\"" + std::to_string(LEFT) + "\" y1=\"" + y + "\" x2=\"" +
               std::to_string(CHART_WIDTH - 10) + "\" y2=\"" + y + "\" stroke=\"#ddd\"/>";
        svg += "<text x=\"" + std::to_string(LEFT - 4) + "\" y=\"" + y +
               "\" dy=\"4\" text-anchor=\"end\" font-size=\"11\">" + std::to_string(p) + "%</text>";
    }
    return svg + "<text x=\"" + std::to_string(CHART_WIDTH - 10) +
           "\" y=\"12\" text-anchor=\"end\" font-size=\"11\">" + right_label + "</text>";
}

std::string bar(double x, double width, double height, const char* colour,
                const std::string& title) {
    return "<rect x=\"" + num(x) + "\" y=\"" + num(TOP + PLOT_HEIGHT - height) + "\" width=\"" +
           num(width) + "\" height=\"" + num(height) + "\" fill=\"" + colour + "\"><title>" +
           xml_escape(title) + "</title></rect>";
}

std::string label(double x, int below, int size, const std::string& text) {
    return "<text x=\"" + num(x) + "\" y=\"" + std::to_string(CHART_HEIGHT - BOTTOM + below) +
           "\" text-anchor=\"middle\" font-size=\"" + std::to_string(size) + "\">" +
           xml_escape(text) + "</text>";
}

// One bar per period, its height the first-pass yield.
std::string yield_chart(const summary_data& d) {
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      std::to_string(CHART_WIDTH) + "\" height=\"" + std::to_string(CHART_HEIGHT) +
                      "\" role=\"img\">" + axis("yield");
    const std::size_t n = d.per_period.size();
    const double slot = n ? (CHART_WIDTH - LEFT - 10.0) / static_cast<double>(n) : 0;
    const std::size_t label_every = std::max<std::size_t>(1, n / 12);
    for (std::size_t i = 0; i < n; ++i) {
        const yield_figure& y = d.per_period[i];
        const double share = y.tested ? static_cast<double>(y.passed) / y.tested : 0;
        const double h = PLOT_HEIGHT * share, x = LEFT + slot * i + slot * 0.15;
        svg += bar(x, slot * 0.7, h, YIELD_COLOUR,
                   y.label + ": " + percent_text(y.passed, y.tested) + " of " +
                       std::to_string(y.tested));
        if (i % label_every == 0)
            svg += label(x + slot * 0.35, 16, 10,
                         d.hourly ? y.label.substr(11) + ":00" : y.label.substr(5));
    }
    return svg + "</svg>";
}

// The failing lines, most frequent first, with their cumulative share.
std::string pareto_chart(const summary_data& d) {
    const std::size_t n = std::min<std::size_t>(d.pareto.size(), 20);
    long long all = d.findings_without_line, most = 1, sum = 0;
    for (const line_count& l : d.pareto) {
        all += l.runs;
        most = std::max(most, l.runs);
    }
    std::string svg =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(CHART_WIDTH) +
        "\" height=\"" + std::to_string(CHART_HEIGHT) + "\" role=\"img\">" +
        axis(("line: cumulative share of findings; bars: runs, the tallest " + std::to_string(most))
                 .c_str());
    const double slot = n ? (CHART_WIDTH - LEFT - 10.0) / static_cast<double>(n) : 0;
    std::string points;
    for (std::size_t i = 0; i < n; ++i) {
        const line_count& l = d.pareto[i];
        sum += l.runs;
        const double h = PLOT_HEIGHT * static_cast<double>(l.runs) / most;
        const double x = LEFT + slot * i + slot * 0.15;
        svg += bar(x, slot * 0.7, h, PARETO_COLOUR,
                   l.test + " " + l.line + ": " + std::to_string(l.runs) + " runs");
        svg += label(x + slot * 0.35, 16, 10, l.line) + label(x + slot * 0.35, 30, 9, l.test);
        points += num(x + slot * 0.35) + "," +
                  num(TOP + PLOT_HEIGHT * (1 - static_cast<double>(sum) / all)) + " ";
    }
    if (n)
        svg += "<polyline points=\"" + points +
               "\" fill=\"none\" stroke=\"#333\" "
               "stroke-width=\"1.5\"/>";
    return svg + "</svg>";
}

std::string row(std::initializer_list<std::string> cells, const char* tag = "td") {
    std::string html = "<tr>";
    for (const std::string& c : cells)
        html += std::string("<") + tag + ">" + xml_escape(c) + "</" + tag + ">";
    return html + "</tr>\n";
}

} // namespace

std::string summary_html(const summary_data& d, const summary_filter& filter) {
    std::string range = filter.since.empty() ? d.first : filter.since.substr(0, 10);
    range += " to " + (filter.until.empty() ? d.last : filter.until.substr(0, 10));
    if (!filter.station.empty())
        range += ", station " + filter.station;
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<title>korvin: board results</title><style>"
                       "body{font-family:sans-serif;margin:1.5em;color:#222}"
                       "table{border-collapse:collapse;margin:.5em 0 1.5em}"
                       "td,th{border-bottom:1px solid #ddd;padding:.2em .8em;text-align:left}"
                       "td.n{text-align:right}.big{font-size:2em;font-weight:bold}"
                       "</style></head><body>\n<h1>Board results</h1>\n<p>" +
                       xml_escape(range) + ": " + std::to_string(d.boards) + " boards in " +
                       std::to_string(d.runs) + " runs, " + std::to_string(d.failed_total) +
                       " failed, " + std::to_string(d.errors) +
                       " ended in error.</p>\n<p>First-pass yield <span class=\"big\">" +
                       percent_text(d.overall.passed, d.overall.tested) + "</span> (" +
                       std::to_string(d.overall.passed) + " of " +
                       std::to_string(d.overall.tested) + " boards passed their first run)";
    for (const yield_figure& y : d.per_memory)
        html += " &middot; " + xml_escape(y.label) + " " + percent_text(y.passed, y.tested);
    html += "</p>\n<h2>First-pass yield per " + std::string(d.hourly ? "hour" : "day") + "</h2>\n" +
            yield_chart(d) + "\n<h2>Failing lines</h2>\n" + pareto_chart(d) +
            "\n<h2>Per station and port</h2>\n<table>" +
            row({"station and port", "yield", "passed", "tested"}, "th");
    for (const yield_figure& y : d.per_station_port)
        html += row({y.label, percent_text(y.passed, y.tested), std::to_string(y.passed),
                     std::to_string(y.tested)});
    html += "</table>\n<h2>Failing lines</h2>\n<table>" + row({"test", "line", "runs"}, "th");
    for (const line_count& l : d.pareto)
        html += row({l.test, l.line, std::to_string(l.runs)});
    if (d.findings_without_line)
        html += row({"", "no single line", std::to_string(d.findings_without_line)});
    html += "</table>\n<h2>Failed boards (" + std::to_string(d.failed_total) + ")</h2>\n<table>" +
            row({"started (UTC)", "board ID", "station", "port", "failed tests"}, "th");
    for (const failed_board& b : d.failed)
        html += row({b.started_at, b.board_id, b.station, b.port, b.tests});
    return html + "</table>\n</body></html>\n";
}

} // namespace korvin
