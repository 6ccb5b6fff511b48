// The report's parts, linked directly: the time forms it reads and writes,
// the line parser against every catalogue entry as the exit's own line
// maker writes it, the summary's counts and flags, and each format. Known
// times are seconds since 1970-01-01 of the proleptic Gregorian calendar.
#include "log/catalogue.h"
#include "log/line.h"
#include "log/timestamp.h"
#include "tools/report/formats.h"
#include "tools/report/local_clock.h"
#include "tools/report/log_reader.h"
#include "tools/report/log_time.h"
#include "tools/report/rotated_set.h"
#include "tools/report/summary.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace tarvelo::tool {
namespace {

constexpr log_time dec8 = 1796688000; // 2026-12-08T00:00:00
constexpr log_time at_18_43_24 = dec8 + 18 * 3600 + 43 * 60 + 24;
const std::string stamp = "Tue Dec  8 18:43:24 2026";

struct time_case {
    const char *text;
    std::optional<log_time> expected; // with now = at_18_43_24
};

TEST(ReportTime, ReadsTheLogsTimestampsAndTheCommandLinesTimes) {
    const time_case cases[] = {
        {"Tue Dec  8 18:43:24 2026", at_18_43_24},
        {"Thu Feb 29 00:00:00 2024", 1709164800},
        {"Sat Dec 31 23:59:60 2026", 1798761600},   // a leap second: the next minute
        {"Fri Dec 31 23:59:59 9999", 253402300799}, // the last second ISO 8601 writes
        {"Fri Dec 31 23:59:60 9999", std::nullopt}, // which a leap second would pass
        {"9999-12-31T23:59:60", std::nullopt},
        {"Wed Feb 29 00:00:00 2023", std::nullopt}, // no such day
        {"Xyz Dec  8 18:43:24 2026", std::nullopt},
        {"ueW Dec  8 18:43:24 2026", std::nullopt}, // a day name across two
        {"Tue Dek  8 18:43:24 2026", std::nullopt},
        {"Tue Dec 08 18:43:24 2026", at_18_43_24},
        {"Tue Dec  8 24:00:00 2026", std::nullopt},
        {"Tue Dec  8 18:43:61 2026", std::nullopt},
        {"Tue Dec  8 18-43:24 2026", std::nullopt},
        {"Tue Dec  8 18:43:24 2026 ", std::nullopt},
        {"2026-12-08", dec8},
        {"2026-12-08T18:43", at_18_43_24 - 24},
        {"2026-12-08 18:43:24", at_18_43_24},
        {"2026-12-08X18:43", std::nullopt},
        {"2026-13-01", std::nullopt},
        {"2026-04-31", std::nullopt}, // the 31st of a month of 30 days
        {"2026-12-00", std::nullopt},
        {"2000-02-29", 951782400},    // a leap year of the 400-year rule
        {"2100-02-29", std::nullopt}, // none of the 100-year rule
        {"2026-12-8", std::nullopt},
        {"-90s", at_18_43_24 - 90},
        {"-30m", at_18_43_24 - 1800},
        {"-1h", at_18_43_24 - 3600},
        {"-2d", at_18_43_24 - 2 * 86400},
        {"-1w", std::nullopt},
        {"-s", std::nullopt},
        {"-1234567890s", std::nullopt},
        {"now", at_18_43_24},
        {"today", dec8},
        {"yesterday", dec8 - 86400},
        {"", std::nullopt},
    };
    for (const time_case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse_time_argument(c.text, at_18_43_24), c.expected);
        if (std::string_view(c.text).size() == timestamp_length) {
            EXPECT_EQ(parse_log_timestamp(c.text), c.expected);
        }
    }
}

TEST(ReportTime, WritesIso8601AndFindsAFilesFirstTime) {
    const std::pair<log_time, const char *> cases[] = {
        {at_18_43_24, "2026-12-08T18:43:24"},   {-1, "1969-12-31T23:59:59"},
        {-62135596800, "0001-01-01T00:00:00"},  {253402300799, "9999-12-31T23:59:59"},
        {253402300800, "10000-01-01T00:00:00"}, {1709251200 - 1, "2024-02-29T23:59:59"},
    };
    for (const auto &[t, text] : cases) {
        EXPECT_EQ(iso_time(t), text);
    }
    EXPECT_EQ(iso_time(at_18_43_24, ' '), "2026-12-08 18:43:24");
    EXPECT_EQ(first_time_in("junk\n" + stamp + " anything\n"), at_18_43_24);
    // The blank that a memory failure line leaves before the next line.
    EXPECT_EQ(first_time_in(" " + stamp + " x"), at_18_43_24);
    EXPECT_EQ(first_time_in(stamp + "\n" + stamp), std::nullopt);
    // This machine's clock in the log's count, and back through its zone.
    const std::time_t before = std::time(nullptr);
    const std::optional<std::int64_t> epoch = local_clock_to_epoch(local_clock_now());
    ASSERT_TRUE(epoch);
    EXPECT_TRUE(*epoch >= before && *epoch <= std::time(nullptr)) << *epoch << " " << before;
}

// A line as the exit makes it, by its own line maker.
std::string exit_line(int index, const std::string &name, const char *argument = " 99 ") {
    const std::string_view format = catalogue[static_cast<std::size_t>(index)];
    const std::string padded =
        (name + std::string(channel_name_max, ' ')).substr(0, channel_name_max);
    const char *args[] = {stamp.c_str(), padded.c_str(), argument};
    char out[message_line_max];
    const std::size_t length =
        expand_format(format.data(), format.size(), args, 3, out, sizeof out);
    std::string line(out, length);
    return line.substr(0, line.find('\n'));
}

TEST(ReportParser, ReadsEveryCatalogueLineAsTheExitWritesIt) {
    line_parser parser;
    for (int index = 0; index < static_cast<int>(messages.size()); ++index) {
        for (const std::string name : {"TO.PARTNER", "A\tB\\C", "TWENTY.BYTES.NAME.XX"}) {
            const std::string line = exit_line(index, name);
            SCOPED_TRACE(line);
            parsed_line parsed;
            ASSERT_TRUE(parser.parse(line, &parsed));
            EXPECT_EQ(parsed.index, index);
            EXPECT_EQ(parsed.time, at_18_43_24);
            std::string escaped;
            const bool named =
                catalogue[static_cast<std::size_t>(index)].find("%s", 3) != std::string_view::npos;
            EXPECT_EQ(parsed.channel, named ? escape_name(name, escaped) : "");
        }
    }
}

// A line of entry `index` under another identifier.
std::string numbered(int index, const char *identifier) {
    return exit_line(index, "X").replace(timestamp_length + 1, std::strlen(identifier), identifier);
}

TEST(ReportParser, RefusesLinesNoExitWrites) {
    const std::string raw_and_long =
        stamp + " TARVELO001I - KOR Security Exit Started Channel => " + std::string(21, '\x01');
    const std::string lines[] = {
        exit_line(msg_channel_closed, "X") + "x",        // more after its end
        "Tue Dec  8 18:43:24 2026",                      // a timestamp alone
        "Tue Dec  8 18:43:24 2026TARVELO001I",           // no blank after it
        numbered(msg_password_violation, "TARVELO004E"), // a number with another's text
        numbered(msg_not_registered, "TARVELO000E"),
        numbered(msg_not_registered, "TARVELO011E"),
        exit_line(trace_challenge_received, "X", std::string(130, 'A').c_str()),
        raw_and_long, // 21 raw bytes: more than 80 escaped
        "logrotate: rotated at midnight",
    };
    line_parser parser;
    for (const std::string &line : lines) {
        parsed_line parsed;
        EXPECT_FALSE(parser.parse(line, &parsed)) << line;
    }
    // The earlier release's spelling of the service, and the two texts
    // that share a number, each read as its own entry.
    std::string earlier = exit_line(msg_password_violation, "OLD");
    earlier.replace(earlier.find("KOR"), 3, "ZAV");
    parsed_line parsed;
    ASSERT_TRUE(parser.parse(earlier, &parsed));
    EXPECT_EQ(parsed.index, msg_password_violation);
    for (const int index : {msg_invalid_exit_call, msg_invalid_state}) {
        ASSERT_TRUE(parser.parse(exit_line(index, "X"), &parsed));
        EXPECT_EQ(parsed.index, index);
    }
}

TEST(ReportParser, FastNameCheckAgreesWithTheExitsEscaping) {
    // Every byte value at every place of texts of 1 to 17 bytes: the check
    // reads eight at a time and then the tail.
    for (std::size_t size = 1; size <= 17; ++size) {
        for (std::size_t at = 0; at < size; ++at) {
            for (int byte = 0; byte < 256; ++byte) {
                std::string text(size, 'a');
                text[at] = static_cast<char>(byte);
                ASSERT_EQ(shown_as_written(text), shown_as_is(static_cast<unsigned char>(byte)))
                    << "size " << size << ", byte " << byte << " at " << at;
            }
        }
    }
    std::string buffer;
    EXPECT_EQ(escape_name("a\\x07b\x01\\", buffer), "a\\x07b\\x01\\x5c"); // an escape kept
}

// A summary of `lines`, fed `piece` bytes at a time.
struct summarised {
    std::unique_ptr<log_summary> summary;
    std::size_t index(std::string_view name) const {
        for (std::size_t i = 0; i < summary->channel_count(); ++i) {
            if (summary->name(i) == name) {
                return i;
            }
        }
        return SIZE_MAX;
    }
};

summarised summarise(const std::vector<std::string> &lines, report_filter filter = {},
                     std::size_t piece = SIZE_MAX) {
    std::string text;
    for (const std::string &line : lines) {
        text += line + "\n";
    }
    summarised s{std::make_unique<log_summary>(filter)};
    s.summary->begin_input("t.log");
    for (std::size_t at = 0; at < text.size(); at += piece) {
        s.summary->feed(text.data() + at, std::min(piece, text.size() - at));
    }
    s.summary->end_input();
    EXPECT_TRUE(s.summary->finish());
    return s;
}

// A line of entry `index` at `t`.
std::string line_at(log_time t, int index, const std::string &name) {
    std::string line = exit_line(index, name);
    const std::string iso = iso_time(t);
    const std::string month(month_names.substr(3 * std::stoul(iso.substr(5, 2)) - 3, 3));
    char text[32];
    std::snprintf(text, sizeof text, "Tue %s %2d %s %s", month.c_str(), std::stoi(iso.substr(8, 2)),
                  iso.substr(11, 8).c_str(), iso.substr(0, 4).c_str());
    return line.replace(0, timestamp_length, text);
}

std::uint64_t flag_count(const summarised &s, std::string_view name, flag_kind flag) {
    return s.summary->flag(s.index(name), flag).count;
}

TEST(ReportSummary, CountsChannelsFlagsBurstsAndFiltersInPiecesOfAnySize) {
    std::vector<std::string> lines;
    // A refusal every 10 s: the fifth within the minute is a burst, the
    // tenth a second one; another channel's refusals 20 s apart never are.
    for (int n = 0; n < 19; ++n) {
        if (n < 10) {
            lines.push_back(line_at(at_18_43_24 + 10 * n, msg_exit_started, "FAST"));
            lines.push_back(line_at(at_18_43_24 + 10 * n, msg_impersonation, "FAST"));
            lines.push_back(line_at(at_18_43_24 + 10 * n, msg_channel_closed, "FAST"));
        }
        if (n % 2 == 0) {
            lines.push_back(line_at(at_18_43_24 + 10 * n, msg_password_violation, "SLOW"));
        }
    }
    // Threads write a line a moment out of order: still within the minute.
    for (const int second : {200, 203, 201, 230, 229}) {
        lines.push_back(line_at(at_18_43_24 + second, msg_password_violation, "THREADS"));
    }
    // The clock set back an hour (local time's autumn change): the step is
    // no time passing. Five refusals within 8 s are a burst; a channel
    // retried once a minute across the step is not one.
    const log_time ten = at_18_43_24 + 3600;
    for (const int second : {0, 2, -3596, -3594, -3592}) {
        lines.push_back(line_at(ten + second, msg_password_violation, "STEP.BACK"));
    }
    for (const int second : {0, 60, 120, -3420, -3360, -3300, -3240}) {
        lines.push_back(line_at(ten + 3600 + second, msg_password_violation, "RETRIED"));
    }
    lines.push_back(line_at(at_18_43_24, msg_exit_started, "CRASHED"));
    lines.push_back(line_at(at_18_43_24, msg_revoked, "REVOKED") + "\r");
    // A memory failure names no channel: it counts under the start before
    // it, and leaves a blank before the next line.
    lines.push_back(line_at(at_18_43_24, msg_exit_started, "NO.BUFFER"));
    lines.push_back(line_at(at_18_43_24, msg_allocation_failure, ""));
    lines.push_back(" " + line_at(at_18_43_24, msg_exit_started, "AFTER.BLANK"));
    // A name an earlier exit wrote raw counts under the name escaped.
    lines.push_back(exit_line(msg_impersonation, "RAW\x01"));
    lines.push_back(std::string(lines.back()).replace(lines.back().find("RAW"), 7, "RAW\x01"));
    lines.emplace_back("not a line of the exit");
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, SIZE_MAX}) {
        SCOPED_TRACE(piece);
        const summarised s = summarise(lines, {}, piece);
        const read_totals &t = s.summary->totals();
        EXPECT_EQ(t.lines, lines.size());
        EXPECT_EQ(t.unparsed, 1u);
        EXPECT_EQ(t.first_unparsed_line, lines.size());
        EXPECT_EQ(s.summary->channel(s.index("FAST")).starts, 10u);
        EXPECT_EQ(s.summary->channel(s.index("FAST")).closes, 10u);
        EXPECT_EQ(s.summary->refusal_total(s.index("SLOW")), 10u);
        EXPECT_EQ(flag_count(s, "FAST", flag_impersonation), 10u);
        EXPECT_EQ(flag_count(s, "FAST", flag_burst), 2u);
        EXPECT_EQ(flag_count(s, "SLOW", flag_burst), 0u);
        EXPECT_EQ(flag_count(s, "THREADS", flag_burst), 1u);
        EXPECT_EQ(flag_count(s, "STEP.BACK", flag_burst), 1u);
        EXPECT_EQ(flag_count(s, "RETRIED", flag_burst), 0u);
        EXPECT_EQ(flag_count(s, "REVOKED", flag_revoked), 1u);
        EXPECT_EQ(flag_count(s, "CRASHED", flag_unclosed), 1u);
        EXPECT_EQ(s.summary->channel(s.index("AFTER.BLANK")).starts, 1u);
        EXPECT_EQ(s.summary->refusal_total(s.index("NO.BUFFER")), 1u);
        EXPECT_EQ(s.summary->refusal_total(s.index("RAW\\x01")), 2u);
    }
    report_filter only_slow_late;
    only_slow_late.channels.insert("SLOW");
    only_slow_late.since = at_18_43_24 + 100;
    only_slow_late.until = at_18_43_24 + 160;
    const summarised f = summarise(lines, only_slow_late);
    ASSERT_EQ(f.summary->channel_count(), 1u);
    EXPECT_EQ(f.summary->refusal_total(0), 3u); // at 100, 120 and 140 s
}

std::string written(void (*format)(const log_summary &, std::FILE *), const log_summary &s) {
    std::FILE *file = std::tmpfile();
    format(s, file);
    std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    std::fclose(file);
    return text;
}

TEST(ReportFormats, EachFormatShowsTheWorstFirstAndEscapesNames) {
    const summarised s = summarise({
        line_at(at_18_43_24, msg_exit_started, "CALM"),
        line_at(at_18_43_24, msg_channel_closed, "CALM"),
        line_at(at_18_43_24 + 1, msg_impersonation, "Q\"B\\"),
        line_at(at_18_43_24 + 2, msg_impersonation, "CTL\x01"),
    });
    const std::string text = written(text_report, *s.summary);
    EXPECT_LT(text.find("! CTL\\x01 "), text.find("  CALM ")) << text;
    EXPECT_NE(text.find("2026-12-08 18:43:24"), std::string::npos) << text;

    const std::string json = written(json_report, *s.summary);
    for (const char *part :
         {R"({"channel": "CALM", "starts": 1, "closes": 1)", R"({"channel": "Q\"B\\x5c", )",
          R"({"channel": "CTL\\x01", )", R"("first": "2026-12-08T18:43:24")", R"("unparsed": 0)"}) {
        EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
    }

    const std::string prom = written(prometheus_report, *s.summary);
    for (const char *part :
         {"tarvelo_channel_starts_total{channel=\"CALM\"} 1\n",
          "tarvelo_channel_flags{channel=\"Q\\\"B\\\\x5c\",flag=\"impersonation\"} 1\n",
          "tarvelo_channel_refusals_total{channel=\"CTL\\\\x01\",message="
          "\"TARVELO007E\"} 1\n",
          "tarvelo_channel_flags{channel=\"CALM\",flag=\"burst\"} 0\n"}) {
        EXPECT_NE(prom.find(part), std::string::npos) << part << "\n" << prom;
    }
}

// The names logrotate gives the copies of a log, and names that only look
// like them: a copy of another log, a backup, a date that is no date.
TEST(ReportRotatedSet, TellsTheCopiesOfALogAndTheirAge) {
    const struct {
        const char *name;
        std::optional<unsigned long long> age;
    } cases[] = {
        {"t.log", 0},
        {"t.log.1", 1},
        {"t.log.2.gz", 2},
        {"t.log.12", 12},
        {"t.log.0", std::nullopt},
        {"t.log.1.bz2", std::nullopt},
        {"t.log.gz", std::nullopt},
        {"t.log.bak", std::nullopt},
        {"t.log.", std::nullopt},
        {"t.log.-1", std::nullopt},
        {"t.log.1234567890", std::nullopt},
        {"t.logs", std::nullopt},
        {"t.lo", std::nullopt},
        {"other.log.1", std::nullopt},
        {"t.log-2026120", std::nullopt},
        {"t.log-2026120x", std::nullopt},
        {"t.log-20261208.backup", std::nullopt},
        {"t.log-2026120822.bak", std::nullopt},
        {"t.log.backup", std::nullopt},
        {"t.log-202612082.backup", std::nullopt},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(rotation_age(c.name, "t.log"), c.age) << c.name;
    }
    // Dated copies: older than the numbered ones, the earlier the older.
    const auto dated = [](const char *name) { return rotation_age(name, "t.log").value_or(0); };
    EXPECT_GT(dated("t.log-20261208"), dated("t.log.99"));
    EXPECT_GT(dated("t.log-20261207.gz"), dated("t.log-20261208"));
    EXPECT_GT(dated("t.log-20251231"), dated("t.log-20261201.gz"));
    // Hourly copies, and the .backup that logrotate's "create" makes of
    // the log the exit created in the moment of a rotation: younger than
    // the copy that rotation made, older than the next rotation's.
    EXPECT_GT(dated("t.log-2026120822"), dated("t.log-2026120823.backup"));
    EXPECT_GT(dated("t.log-2026120822"), dated("t.log-2026120822.backup"));
    EXPECT_GT(dated("t.log-2026120822.backup"), dated("t.log-2026120823"));
    EXPECT_GT(dated("t.log-20261208"), dated("t.log-2026120822.backup.gz"));
    EXPECT_GT(dated("t.log-2026120823.backup"), dated("t.log-20261209"));
    EXPECT_GT(dated("t.log-2026120822.backup"), dated("t.log.1"));
}

} // namespace
} // namespace tarvelo::tool
