// load.cpp: "tarvelo load": many channels through one loaded exit library
// from several threads at once, as a busy host runs them, and what it cost:
// sign-ons per second, lines written, the latency of the exit calls.
#include "tools/command_table.h"

#include "tools/channel/channel_options.h"
#include "tools/channel/exit_loader.h"
#include "tools/report/log_input.h"
#include "tools/report/rotated_set.h"
#include "tools/system/file_reading.h"
#include "tools/system/output_capture.h"
#include "tools/system/signals.h"

#include "standin/signon.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace tarvelo::tool {
namespace {

using clock_type = std::chrono::steady_clock;

struct load_settings {
    std::uint64_t channels = 1000;
    unsigned threads = 2;
    std::uint64_t refuse_every = 0; // every Nth partner holds another password; 0: none
    standin::channel_config channel;
    std::string log_path;
};

struct worker_result {
    std::uint64_t signed_on = 0;
    std::uint64_t refused = 0;
    std::uint64_t unexpected = 0;
    std::vector<std::int64_t> latencies; // nanoseconds, one per exit call
    std::string failure;                 // why the thread stopped early, if it did
};

// The channels the threads share out.
struct work_queue {
    std::atomic<std::uint64_t> next{0};
    std::atomic<std::uint64_t> done{0};
    std::atomic<unsigned> running{0}; // threads not yet finished
    std::atomic<bool> failed{false};

    // No channel begins after this; those under way end.
    void stop(std::uint64_t channels) { next.store(channels); }
};

// A password that differs from `password` in its first byte, so that a
// partner holding it is refused.
std::string other_password(const std::string &password) {
    if (password.empty()) {
        return "X";
    }
    std::string other = password;
    other[0] = other[0] == 'X' ? 'Y' : 'X';
    return other;
}

void run_channels(tarvelo_entry_fn *entry, const load_settings &settings, std::uint32_t first_seed,
                  work_queue &queue, worker_result &result) {
    clock_type::time_point started;
    standin::signon_hooks hooks;
    hooks.before_call = [&](std::int32_t) { started = clock_type::now(); };
    hooks.after_call = [&](const standin::exit_answer &) {
        const auto elapsed = clock_type::now() - started;
        result.latencies.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
    };
    const std::string wrong = other_password(settings.channel.password);
    for (;;) {
        const std::uint64_t i = queue.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= settings.channels) {
            return;
        }
        standin::channel_config channel = settings.channel;
        char name[32];
        std::snprintf(name, sizeof name, "LOAD.%07llu", static_cast<unsigned long long>(i + 1));
        channel.name = name;
        standin::partner_config partner;
        const bool refusal_planned =
            settings.refuse_every != 0 && (i + 1) % settings.refuse_every == 0;
        partner.password = refusal_planned ? wrong : settings.channel.password;
        // Each partner challenges from a second of its own.
        partner.seed = first_seed + static_cast<std::uint32_t>(i);

        const standin::signon_record record = standin::run_signon(entry, channel, partner, hooks);
        if (record.signed_on) {
            ++result.signed_on;
        } else {
            ++result.refused;
        }
        if (record.signed_on == refusal_planned) {
            ++result.unexpected;
        }
        queue.done.fetch_add(1, std::memory_order_relaxed);
    }
}

// A thread's failure (memory for the latencies, most likely) stops all of
// them and is reported once they have ended, instead of ending the program.
void run_channels_or_stop(tarvelo_entry_fn *entry, const load_settings &settings,
                          std::uint32_t first_seed, work_queue &queue, worker_result &result) {
    try {
        run_channels(entry, settings, first_seed, queue, result);
    } catch (const std::exception &e) {
        result.failure = e.what();
        queue.stop(settings.channels);
        queue.failed.store(true);
    }
    queue.running.fetch_sub(1);
}

std::string duration_text(double nanoseconds) {
    char text[32];
    if (nanoseconds < 1e3) {
        std::snprintf(text, sizeof text, "%.0f ns", nanoseconds);
    } else if (nanoseconds < 1e6) {
        std::snprintf(text, sizeof text, "%.1f us", nanoseconds / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.2f ms", nanoseconds / 1e6);
    }
    return text;
}

// The value below which `fraction` of the sorted-in-place samples lie.
std::int64_t percentile(std::vector<std::int64_t> &samples, double fraction) {
    if (samples.empty()) {
        return 0;
    }
    const auto rank =
        static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(rank),
                     samples.end());
    return samples[rank];
}

void show_progress(const output_capture &out, std::uint64_t done, std::uint64_t total,
                   double seconds) {
    char line[96];
    std::snprintf(line, sizeof line, "\r  %llu of %llu channels, %.0f per second   ",
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                  seconds > 0 ? static_cast<double>(done) / seconds : 0.0);
    out.show(line);
}

// The lines the channels wrote to the log file, wherever they lie now: a
// rotation during the run moves the file the exit appends to beside a new
// one, and the lines are in both.
struct logged_lines {
    std::uint64_t lines = 0;
    std::vector<std::string> copies;     // rotated copies counted, beside the file
    std::vector<std::string> compressed; // written during the run, but compressed: not counted
    bool file_gone = false;              // the file the run began with is nowhere in the set
};

logged_lines count_logged(const std::string &path, const std::optional<regular_file_state> &before,
                          std::int64_t started) {
    logged_lines logged;
    bool found_first = !before;
    std::vector<std::string> names;
    // The exit wrote no line where the directory cannot be read.
    for (rotated_copy &copy : rotated_set(path).value_or({})) {
        names.push_back(std::move(copy.path));
        if (!copy.twin.empty()) {
            names.push_back(std::move(copy.twin));
        }
    }
    for (const std::string &name : names) {
        const std::optional<regular_file_state> now = regular_file_state_of(name);
        if (!now) {
            continue;
        }
        const bool same = before && now->device == before->device && now->inode == before->inode;
        std::uint64_t lines = 0;
        if (same) {
            found_first = true;
            lines = count_lines_from(name, before->size);
        } else if (now->modified >= started) {
            // Made by a rotation during the run: every line is the run's.
            if (gzip_magic(read_head(name, 2))) {
                logged.compressed.push_back(name);
                continue;
            }
            lines = count_lines_from(name, 0);
        } else {
            continue;
        }
        logged.lines += lines;
        if (name != path) {
            logged.copies.push_back(name);
        }
    }
    logged.file_gone = !found_first;
    return logged;
}

std::string logged_text(const std::string &path, const logged_lines &logged) {
    std::string text = ", " + std::to_string(logged.lines) + " to " + path;
    if (!logged.copies.empty()) {
        text += " and its rotated " + std::string(logged.copies.size() == 1 ? "copy" : "copies");
        for (const std::string &copy : logged.copies) {
            text += " " + copy;
        }
    }
    if (!logged.compressed.empty() || logged.file_gone) {
        text += " (not all: ";
        text += logged.file_gone ? "the file the run began with is no longer beside it" : "";
        text += logged.file_gone && !logged.compressed.empty() ? "; " : "";
        for (std::size_t i = 0; i < logged.compressed.size(); ++i) {
            text += (i == 0 ? "" : ", ") + logged.compressed[i];
        }
        text += logged.compressed.empty() ? "" : " compressed during the run, not read";
        text += ")";
    }
    return text;
}

std::string summary_of(const worker_result &total, const load_settings &settings, std::uint64_t ran,
                       double seconds, std::uint64_t lines_out,
                       const std::optional<logged_lines> &lines_logged) {
    const std::uint64_t planned_refusals =
        settings.refuse_every == 0 ? 0 : ran / settings.refuse_every;
    char line[160];
    std::string summary;
    std::snprintf(line, sizeof line, "  signed on            %llu\n",
                  static_cast<unsigned long long>(total.signed_on));
    summary += line;
    std::snprintf(line, sizeof line, "  refused              %llu (planned: %llu)\n",
                  static_cast<unsigned long long>(total.refused),
                  static_cast<unsigned long long>(planned_refusals));
    summary += line;
    std::snprintf(line, sizeof line, "  not as planned       %llu\n",
                  static_cast<unsigned long long>(total.unexpected));
    summary += line;
    std::snprintf(line, sizeof line, "  elapsed              %.3f s\n", seconds);
    summary += line;
    std::snprintf(line, sizeof line, "  sign-ons per second  %.0f\n",
                  seconds > 0 ? static_cast<double>(total.signed_on) / seconds : 0.0);
    summary += line;
    std::snprintf(line, sizeof line, "  lines written        %llu to standard output",
                  static_cast<unsigned long long>(lines_out));
    summary += line;
    if (!settings.log_path.empty()) {
        summary += lines_logged ? logged_text(settings.log_path, *lines_logged)
                                : ", " + settings.log_path + " not counted (not a regular file)";
    }
    summary += "\n";
    std::vector<std::int64_t> latencies = total.latencies;
    const std::size_t calls = latencies.size();
    const double median = static_cast<double>(percentile(latencies, 0.5));
    const double p99 = static_cast<double>(percentile(latencies, 0.99));
    summary += "  call latency         median " + duration_text(median) + ", 99th percentile " +
               duration_text(p99) + " over " + std::to_string(calls) + " calls\n";
    return summary;
}

constexpr number_option channels_option{
    {"--channels", "N", "channels to run, 1 to 10000000 (default: 1000)"}, 1, 10'000'000};
constexpr number_option threads_option{
    {"--threads", "N", "threads calling the exit, 1 to 256 (default: 2)"}, 1, 256};
constexpr number_option refuse_every_option{
    {"--refuse-every", "N",
     "every Nth channel's partner holds another password and is refused (default: 0, none)"},
    0,
    10'000'000};

constexpr const option *options[] = {
    &channels_option,      &threads_option,      &library_option, &entry_option, &password_option,
    &password_file_option, &refuse_every_option, &log_option,     &trace_option, &exit_data_option,
};

exit_code load(const arguments &a, command_table /*commands*/) {
    a.no_positional();
    load_settings settings;
    settings.channels = a.value(channels_option).value_or(settings.channels);
    settings.threads = static_cast<unsigned>(a.value(threads_option).value_or(settings.threads));
    settings.refuse_every = a.value(refuse_every_option).value_or(settings.refuse_every);
    settings.channel.password = channel_password(a, "SECRET");
    // The partners hold the whole field: every channel is then refused.
    warn_of_blank("load", "the password", settings.channel.password);
    // Checked before anything runs: thousands of channels would each
    // report the same failure.
    const exit_data_setting exit_data = exit_data_from(a, "load");
    settings.channel.exit_data = exit_data.data;
    settings.log_path = exit_data.log_path;
    const std::string library = library_path(a);
    const std::string entry_point = entry_name(a);
    tarvelo_entry_fn *entry = load_exit(library, entry_point);

    // Only what the channels append is counted, and only in a regular
    // file: a FIFO or a device is never read.
    const std::optional<regular_file_state> before =
        settings.log_path.empty() ? std::nullopt : regular_file_state_of(settings.log_path);
    // A rotated copy written to since this second holds lines of the run.
    const std::int64_t started_at = static_cast<std::int64_t>(std::time(nullptr));

    output_capture out;
    out.show("tarvelo load: " + std::to_string(settings.channels) + " channels on " +
             std::to_string(settings.threads) + (settings.threads == 1 ? " thread" : " threads") +
             " through " + library + ", entry point " + entry_point + "\n");
    checked(out.start_counting());
    const bool progress = out.on_terminal();
    // Ctrl-C stops the channels that have not begun; those under way end as
    // a host ends them, and the summary covers what ran.
    catch_interrupt();

    work_queue queue;
    std::vector<worker_result> results(settings.threads);
    std::vector<std::thread> workers;
    const auto first_seed = static_cast<std::uint32_t>(std::time(nullptr));
    const clock_type::time_point start = clock_type::now();
    try {
        for (unsigned t = 0; t < settings.threads; ++t) {
            queue.running.fetch_add(1);
            workers.emplace_back(run_channels_or_stop, entry, std::cref(settings), first_seed,
                                 std::ref(queue), std::ref(results[t]));
        }
    } catch (const std::system_error &) {
        // The ones started must finish before anything they use goes away.
        queue.stop(settings.channels);
        for (std::thread &w : workers) {
            w.join();
        }
        throw failure(exit_code::program_failed,
                      "cannot start " + std::to_string(settings.threads) + " threads");
    }
    auto last_shown = clock_type::now();
    while (queue.running.load() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (interrupted()) {
            queue.stop(settings.channels);
            break;
        }
        if (progress && clock_type::now() - last_shown >= std::chrono::milliseconds(200)) {
            last_shown = clock_type::now();
            const std::chrono::duration<double> seconds = last_shown - start;
            show_progress(out, queue.done.load(std::memory_order_relaxed), settings.channels,
                          seconds.count());
        }
    }
    for (std::thread &w : workers) {
        w.join();
    }
    const std::chrono::duration<double> elapsed = clock_type::now() - start;
    out.stop();
    if (progress) {
        out.show("\r" + std::string(60, ' ') + "\r");
    }

    for (const worker_result &r : results) {
        if (!r.failure.empty()) {
            throw failure(exit_code::program_failed,
                          "a thread running channels failed: " + r.failure);
        }
    }
    worker_result total;
    for (worker_result &r : results) {
        total.signed_on += r.signed_on;
        total.refused += r.refused;
        total.unexpected += r.unexpected;
        total.latencies.insert(total.latencies.end(), r.latencies.begin(), r.latencies.end());
        r.latencies = {};
    }
    const std::uint64_t ran = queue.done.load();
    std::optional<logged_lines> logged;
    if (!settings.log_path.empty() && (before || regular_file_size(settings.log_path))) {
        logged = count_logged(settings.log_path, before, started_at);
    }
    if (interrupted()) {
        out.show("  interrupted: " + std::to_string(ran) + " of " +
                 std::to_string(settings.channels) + " channels ran\n");
    }
    out.show(summary_of(total, settings, ran, elapsed.count(), out.lines_counted(), logged));
    if (interrupted()) {
        return exit_code::interrupted;
    }
    return total.unexpected == 0 ? exit_code::ok : exit_code::refused;
}

constexpr exit_meaning codes[] = {
    {exit_code::ok, "every channel went as planned"},
    {exit_code::refused, "some channel did not go as planned: one that should have signed on was\n"
                         "refused, or one that should have been refused signed on"},
    {exit_code::usage},
    {exit_code::library_unusable},
    {exit_code::program_failed},
    {exit_code::interrupted, "interrupted (Ctrl-C): the summary covers the channels that ran"},
};

} // namespace

const command load_command = {
    "load",
    "[OPTIONS]",
    "many channels from several threads, as a busy host",
    "Runs many channels through one loaded exit library from several threads at\n"
    "once, as a busy host does: each channel starts, signs on with its partner\n"
    "and ends. The exit's lines are counted, not shown; on a terminal a progress\n"
    "line runs. Then a summary: channels signed on and refused, sign-ons per\n"
    "second, lines written, and the median and 99th percentile of the time each\n"
    "call of the exit took. Ctrl-C stops it early with the summary of what ran.\n",
    options,
    nullptr,
    codes,
    load,
};

} // namespace tarvelo::tool
