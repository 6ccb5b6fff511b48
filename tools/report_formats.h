// report_formats.h: a log summary printed for a terminal, for programs and
// for a Prometheus node_exporter's textfile collector.
#ifndef TARVELO_TOOLS_REPORT_FORMATS_H
#define TARVELO_TOOLS_REPORT_FORMATS_H

#include "tools/log_report.h"

#include <cstddef>
#include <string>

namespace tarvelo::tool {

// A table, flagged channels first and then those with the most refusals,
// each flagged row marked "!"; then one line per flag and a last line with
// what was read from `inputs` files. Names are shown with every byte that
// is not printable as \xNN.
std::string text_report(const log_summary &summary, std::size_t inputs);

// {"channels": [...], "flags": [...], "lines": N, "skipped": N,
// "unparsed": N}, channels in name order, refusals that did not occur left
// out, times in ISO 8601 without a zone (the log's own local time).
std::string json_report(const log_summary &summary);

// The text exposition format: per-channel counters of starts, closes and
// refusals and a gauge of the flags raised, every message and every flag
// of every channel, zeros included (a series that exists before it counts
// anything can be compared with its past); and a gauge of the lines that
// could not be read.
std::string prometheus_report(const log_summary &summary);

} // namespace tarvelo::tool

#endif
