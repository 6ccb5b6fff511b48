// report_fuzzer.cpp: "tarvelo report" over whatever a log file may hold.
//
// A log file is untrusted text: other programs write into it, a full disk
// cuts its lines, a partner's bytes stand in it escaped or, from an earlier
// exit, raw. On any input:
//   - a line the parser takes is a catalogue entry, its channel a part of
//     the line without padding, its time the time of its timestamp;
//   - a timestamp read is written back in ISO 8601 and read again as the
//     same time;
//   - the fast check that a name needs no escape agrees with the exit's
//     escaping, byte by byte;
//   - a summary fed the input in pieces of any size counts what one fed it
//     whole counts, and every format writes it without fault.
// The first byte of the input picks the size of the pieces; the rest is
// the log's text.
#include "fuzz/fuzz_support.h"
#include "log/line.h"
#include "tools/report/formats.h"
#include "tools/report/log_reader.h"
#include "tools/report/log_time.h"
#include "tools/report/summary.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace {

using namespace tarvelo;
using namespace tarvelo::tool;

void check_line(line_parser &parser, std::string_view line) {
    parsed_line parsed;
    if (parser.parse(line, &parsed)) {
        FUZZ_CHECK(parsed.index >= 0 && static_cast<std::size_t>(parsed.index) < messages.size());
        FUZZ_CHECK(parsed.channel.empty() ||
                   (parsed.channel.data() >= line.data() &&
                    parsed.channel.data() + parsed.channel.size() <= line.data() + line.size()));
        FUZZ_CHECK(parsed.channel.empty() || parsed.channel.back() != ' ');
        const std::optional<log_time> t = parse_log_timestamp(line.substr(0, timestamp_length));
        FUZZ_CHECK(t && *t == parsed.time);
    }
    const std::optional<log_time> t = parse_log_timestamp(line.substr(0, timestamp_length));
    if (t) {
        const std::string iso = iso_time(*t);
        FUZZ_CHECK(iso.size() == 19);
        const std::optional<log_time> back = parse_time_argument(iso, 0);
        FUZZ_CHECK(back && *back == *t);
    }
    const bool as_is = std::all_of(line.begin(), line.end(), [](char c) {
        return shown_as_is(static_cast<unsigned char>(c));
    });
    FUZZ_CHECK(shown_as_written(line) == as_is);
}

void check_same(const log_summary &a, const log_summary &b) {
    FUZZ_CHECK(a.totals().lines == b.totals().lines);
    FUZZ_CHECK(a.totals().unparsed == b.totals().unparsed);
    FUZZ_CHECK(a.totals().exit_lines == b.totals().exit_lines);
    FUZZ_CHECK(a.channel_count() == b.channel_count());
    for (std::size_t i = 0; i < a.channel_count(); ++i) {
        FUZZ_CHECK(a.name(i) == b.name(i));
        FUZZ_CHECK(a.channel(i).starts == b.channel(i).starts);
        FUZZ_CHECK(a.channel(i).closes == b.channel(i).closes);
        FUZZ_CHECK(a.refusal_total(i) == b.refusal_total(i));
        FUZZ_CHECK(a.flagged(i) == b.flagged(i));
    }
}

// A name that no exit wrote, as the report shows it: printable ASCII with
// no backslash but those of its escapes, which give back `raw`.
void check_shown(std::string_view shown, std::string_view raw) {
    std::string back;
    for (std::size_t at = 0; at < shown.size(); ++at) {
        const char c = shown[at];
        FUZZ_CHECK(c >= 0x20 && c <= 0x7e);
        if (c != '\\') {
            back += c;
            continue;
        }
        FUZZ_CHECK(at + 3 < shown.size() && shown[at + 1] == 'x');
        back += static_cast<char>(std::stoi(std::string(shown.substr(at + 2, 2)), nullptr, 16));
        at += 3;
    }
    FUZZ_CHECK(back == raw);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t piece = 1 + data[0] % 64;
    const std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);

    line_parser parser;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        check_line(parser, text.substr(start, end - start));
        start = end + 1;
    }
    (void)first_time_in(text);
    (void)parse_time_argument(text, static_cast<log_time>(size) * 86399);

    // The first line names the host: shown printable, and read back to
    // the very bytes named, so that two names never show the same.
    const std::string_view host = text.substr(0, std::min(text.find('\n'), text.size()));
    log_summary whole;
    whole.begin_host(host);
    check_shown(whole.hosts().back(), host);
    whole.begin_input("whole");
    whole.feed(text.data(), text.size());
    whole.end_input();
    FUZZ_CHECK(whole.finish());
    log_summary pieces;
    pieces.begin_host(host);
    pieces.begin_input("pieces");
    for (std::size_t at = 0; at < text.size(); at += piece) {
        pieces.feed(text.data() + at, std::min(piece, text.size() - at));
    }
    pieces.end_input();
    FUZZ_CHECK(pieces.finish());
    check_same(whole, pieces);

    static std::FILE *nowhere = std::fopen("/dev/null", "wb");
    FUZZ_CHECK(nowhere != nullptr);
    text_report(whole, nowhere);
    json_report(whole, nowhere);
    prometheus_report(whole, nowhere);
    return 0;
}
