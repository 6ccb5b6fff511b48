// formats.h: a log summary written for a terminal, for programs and for a
// Prometheus node_exporter's textfile collector. Each is written to `out` as
// it is made, channel by channel, never held whole in memory; the caller
// checks the stream for errors. Channel names are shown as the summary holds
// them: printable ASCII, other bytes as "\xNN". Each writer is in a file of
// its own (text_format.cpp, json_format.cpp, prometheus_format.cpp).
#ifndef TARVELO_TOOLS_REPORT_FORMATS_H
#define TARVELO_TOOLS_REPORT_FORMATS_H

#include "tools/report/summary.h"

#include <cstdio>

namespace tarvelo::tool {

// A table, flagged channels first and then those with the most refusals,
// each flagged row marked "!", with the times of each channel's first and
// last line; then one line per flag and a last line with what was read.
void text_report(const log_summary &summary, std::FILE *out);

// {"channels": [...], "flags": [...], "files": [...], "lines": N,
// "skipped": N, "unparsed": N}, channels in name order, refusals that did
// not occur left out, times in ISO 8601 without a zone (the log's own local
// time).
void json_report(const log_summary &summary, std::FILE *out);

// The text exposition format: per-channel counters of starts, closes and
// refusals, a gauge of the flags raised and one of the time of the
// channel's last line (seconds since the epoch, by this machine's zone),
// every message and every flag of every channel, zeros included (a series
// that exists before it counts anything can be compared with its past); and
// a gauge of the lines that could not be read.
void prometheus_report(const log_summary &summary, std::FILE *out);

} // namespace tarvelo::tool

#endif
