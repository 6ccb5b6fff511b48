// report_bench.cpp: how fast "tarvelo report" reads the exit's log, in
// lines per second, beside the floor of finding the lines at all.
//
//   report/summarise/N   the summary of a generated log of N channels, fed
//                        in 1 MiB pieces as the program reads a file
//   report/find_lines    memchr over the same bytes, newline to newline
//
// The log is made as the exit makes it: the catalogue's formats filled by
// the writer's own formatting, timestamps advancing, sign-ons of many
// channels interleaved as threads write them, a quarter of them traced, one
// in ten refused, the odd start left without a close. The goal is at least
// a million lines per second with a million channels, and ten million with
// ten.
//
//   report_bench --write-log=PATH --bytes=N [--channels=N]
//       writes such a log of about N bytes naming up to N channels (default
//       1000) instead, to time the program itself on a file
#include "log/catalogue.h"
#include "log/writer.h"
#include "tools/report/summary.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace tarvelo;

constexpr std::size_t log_bytes = std::size_t{64} << 20;
constexpr std::size_t piece = std::size_t{1} << 20;
constexpr int in_flight = 8; // sign-ons under way at once, as on a busy host

// Makes the lines of sign-ons, several at once, in a random interleaving.
class log_maker {
public:
    explicit log_maker(std::size_t channels) : channels_(channels) {}

    // Appends lines until `out` holds at least `bytes`.
    void write(std::string &out, std::size_t bytes) {
        while (out.size() < bytes) {
            if (flights_.size() < in_flight) {
                flights_.push_back(plan());
            }
            const std::size_t f = random_() % flights_.size();
            flight &fl = flights_[f];
            line(out, fl.steps[fl.next].index, fl.name, fl.steps[fl.next].argument);
            if (++fl.next == fl.steps.size()) {
                flights_.erase(flights_.begin() + static_cast<std::ptrdiff_t>(f));
            }
            if (random_() % 40 == 0) {
                ++now_; // about 40 lines a second
            }
        }
    }

private:
    struct step {
        int index;
        std::string argument;
    };
    struct flight {
        std::string name;
        std::vector<step> steps;
        std::size_t next = 0;
    };

    std::string hex_text() {
        static constexpr char digits[] = "0123456789ABCDEF";
        std::string text;
        for (int i = 0; i < 32; ++i) {
            text += digits[random_() % 16];
        }
        return text + " ";
    }

    flight plan() {
        flight f;
        char name[40];
        // Each channel in turn, in an order spread over the names (2654435761
        // is a prime), so that a log of as many sign-ons as channels names
        // every one of them.
        const std::size_t channel = (made_++ * std::size_t{2654435761u}) % channels_;
        std::snprintf(name, sizeof name, "QM%05zu.TO.PARTNER", channel);
        f.name = name;
        f.name.resize(20, ' ');
        const bool traced = random_() % 4 == 0;
        const std::uint64_t fate = random_() % 100;
        const auto trace = [&](int index, std::string argument = {}) {
            if (traced) {
                f.steps.push_back({index, std::move(argument)});
            }
        };
        f.steps.push_back({msg_exit_started, {}});
        trace(trace_sec_msg_received);
        trace(trace_startup);
        if (fate < 2) {
            f.steps.push_back({msg_revoked, {}});
        } else {
            trace(trace_challenge_received, hex_text());
            trace(trace_response_sent, hex_text());
            trace(trace_sec_msg_received);
            trace(trace_signon);
            if (fate < 8) {
                f.steps.push_back({msg_password_violation, {}});
            } else if (fate < 10) {
                f.steps.push_back({msg_not_registered, {}});
            } else {
                trace(trace_authorised);
                trace(trace_challenge_sent, hex_text());
                trace(trace_sec_msg_received);
                trace(trace_verify);
                trace(trace_response_received, hex_text());
                trace(trace_response_expected, hex_text());
                if (fate == 10) {
                    f.steps.push_back({msg_impersonation, {}});
                } else {
                    trace(trace_partner_authorised);
                }
            }
        }
        if (fate != 99) { // the host stopped before it closed the channel
            f.steps.push_back({msg_channel_closed, {}});
        }
        return f;
    }

    void line(std::string &out, int index, const std::string &name, const std::string &argument) {
        char stamp[timestamp_length + 1];
        format_timestamp(now_, stamp);
        stamp[timestamp_length] = '\0';
        const char *args[] = {stamp, name.c_str(), argument.c_str()};
        const std::string_view format = catalogue[static_cast<std::size_t>(index)];
        char text[message_line_max];
        out.append(text, expand_format(format.data(), format.size(), args, 3, text, sizeof text));
    }

    std::size_t channels_;
    std::size_t made_ = 0; // sign-ons planned so far
    // The same log on every run, so that runs compare.
    std::mt19937_64 random_{20261208}; // NOLINT(cert-msc32-c,cert-msc51-cpp)
    std::time_t now_ = 1796000000;
    std::vector<flight> flights_;
};

const std::string &generated_log(std::size_t channels) {
    static std::vector<std::pair<std::size_t, std::string>> made;
    for (const auto &m : made) {
        if (m.first == channels) {
            return m.second;
        }
    }
    // Big enough to name every channel: a sign-on takes about 500 bytes.
    const std::size_t bytes = std::max(log_bytes, channels * 500);
    std::string text;
    text.reserve(bytes + message_line_max);
    log_maker(channels).write(text, bytes);
    made.emplace_back(channels, std::move(text));
    return made.back().second;
}

std::int64_t count_lines(const std::string &text) {
    return std::count(text.begin(), text.end(), '\n');
}

void summarise(benchmark::State &state) {
    const std::string &text = generated_log(static_cast<std::size_t>(state.range(0)));
    std::uint64_t lines = 0;
    for (auto _ : state) {
        tool::log_summary summary;
        summary.begin_input("generated");
        for (std::size_t at = 0; at < text.size(); at += piece) {
            summary.feed(text.data() + at, std::min(piece, text.size() - at));
        }
        summary.end_input();
        const bool whole = static_cast<bool>(summary.finish());
        lines = summary.totals().lines;
        benchmark::DoNotOptimize(summary.channel_count());
        if (!whole || summary.totals().unparsed != 0) {
            state.SkipWithError("the generated log has lines the report cannot read or hold");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(lines) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["channels"] = static_cast<double>(state.range(0));
}
BENCHMARK(summarise)
    ->Name("report/summarise")
    ->Arg(10)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

void find_lines(benchmark::State &state) {
    const std::string &text = generated_log(1000);
    std::int64_t lines = 0;
    for (auto _ : state) {
        lines = 0;
        const char *p = text.data();
        const char *const end = p + text.size();
        while (const auto *newline = static_cast<const char *>(
                   std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) {
            ++lines;
            p = newline + 1;
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(lines) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}
BENCHMARK(find_lines)->Name("report/find_lines")->Unit(benchmark::kMillisecond);

// --write-log=PATH --bytes=N: the log on disk, in pieces, for timing the
// program. Returns the exit status.
int write_log(const std::string &path, std::size_t bytes, std::size_t channels) {
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return 1;
    }
    log_maker maker(channels);
    std::string text;
    std::size_t written = 0;
    std::uint64_t lines = 0;
    while (written < bytes) {
        text.clear();
        maker.write(text, std::min(std::size_t{16} << 20, bytes - written));
        lines += static_cast<std::uint64_t>(count_lines(text));
        written += std::fwrite(text.data(), 1, text.size(), file);
    }
    if (std::fclose(file) != 0) {
        std::perror(path.c_str());
        return 1;
    }
    std::printf("%s: %zu bytes, %llu lines\n", path.c_str(), written,
                static_cast<unsigned long long>(lines));
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::string path;
    std::size_t bytes = 0;
    std::size_t channels = 1000;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.substr(0, 12) == "--write-log=") {
            path = std::string(arg.substr(12));
        } else if (arg.substr(0, 8) == "--bytes=") {
            bytes = static_cast<std::size_t>(std::strtoull(argv[i] + 8, nullptr, 10));
        } else if (arg.substr(0, 11) == "--channels=") {
            channels = std::max<std::size_t>(
                1, static_cast<std::size_t>(std::strtoull(argv[i] + 11, nullptr, 10)));
        }
    }
    if (!path.empty()) {
        return write_log(path, bytes, channels);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
