// exit_bench.cpp: what the exit costs a host, side by side with the floor of
// the work each call must do.
//
// Every figure is paired with a baseline measured in this same process, and
// the run ends with a table of each ratio against its goal (medians of the
// repetitions when there are any):
//   challenge/*        a challenge answered through the exported entry point
//                      against the same response, with the same check for
//                      an exit's own challenge, on OpenSSL's MD5 alone
//   line/*             one message with a log file against open, one write,
//                      close and one write to standard output
//   trace_suppressed/* a suppressed trace line with a log path against open
//                      and close
//   signon/*           a whole sign-on through the entry point (no log file,
//                      trace off) against its two lines and two responses
//   signon_threads/*   how much faster whole sign-ons go on two threads
//                      sharing one log file than on one, against the same
//                      for their system calls alone, measured in the same
//                      rounds
//   growth/*           one message appended to an empty log file, a sparse
//                      1 GiB one and a 1 GiB one full of real lines
//
// The exit writes its lines to standard output, so standard output is sent
// to /dev/null for the whole run; the report goes to the original standard
// output through its own descriptor.
#include "auth/challenge.h"
#include "exit/tarvelo.h"
#include "log/catalogue.h"
#include "log/line.h"
#include "log/timestamp.h"
#include "log/trace_switch.h"
#include "log/writer.h"
#include "standin/host.h"
#include "standin/partner.h"

#include <benchmark/benchmark.h>
#include <openssl/md5.h>

#include <ext/stdio_filebuf.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using tarvelo::standin::channel;
using tarvelo::standin::channel_config;

constexpr std::size_t text_length = tarvelo::security_text_length;
constexpr char password[] = "SECRET";
constexpr std::size_t password_size = sizeof password - 1;
constexpr char channel_name_field[] = "TO.PARTNER          "; // 20 bytes, blanks kept
constexpr off_t one_gib = off_t{1} << 30;

// ---------------------------------------------------------------------------
// What every benchmark shares: the loaded library and the log files.

struct bench_world {
    tarvelo::standin::loaded_library library;
    std::string dir;
    std::string line_log;   // line/* and trace_suppressed/*
    std::string thread_log; // signon_threads/*: one file for every thread
    std::string empty_log;  // growth/empty
    std::string sparse_log; // growth/sparse_1GiB
    std::string real_log;   // growth/real_1GiB
    std::array<std::uint8_t, text_length> partner_challenge{};
};

bench_world *world = nullptr;

bool make_world(std::string *error) {
    world = new bench_world;
    if (!world->library.load(TARVELO_LIBRARY_PATH, "TARVELO", error)) {
        return false;
    }
    // Log paths are at most 32 bytes in the exit data: keep them short.
    char dir[] = "/tmp/tvb-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        *error = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    world->dir = dir;
    world->line_log = world->dir + "/l.log";
    world->thread_log = world->dir + "/t.log";
    world->empty_log = world->dir + "/e.log";
    world->sparse_log = world->dir + "/s.log";
    world->real_log = world->dir + "/r.log";
    tarvelo::standin::seeded_challenge(1700000000u, world->partner_challenge.data());
    return true;
}

void remove_world() {
    if (world == nullptr) {
        return;
    }
    for (const std::string *path : {&world->line_log, &world->thread_log, &world->empty_log,
                                    &world->sparse_log, &world->real_log}) {
        unlink(path->c_str());
    }
    if (!world->dir.empty()) {
        rmdir(world->dir.c_str());
    }
    delete world;
    world = nullptr;
}

// The line the exit writes for message 0 on the channel, formatted as the
// writer formats it.
std::string started_line() {
    char timestamp[tarvelo::timestamp_length + 1];
    tarvelo::format_timestamp(std::time(nullptr), timestamp);
    timestamp[tarvelo::timestamp_length] = '\0';
    const char *args[] = {timestamp, channel_name_field, nullptr};
    const std::string_view format = tarvelo::catalogue[tarvelo::msg_exit_started];
    char line[tarvelo::message_line_max];
    const std::size_t length =
        tarvelo::expand_format(format.data(), format.size(), args, 3, line, sizeof line);
    return {line, length};
}

// The log file that the writer linked into this program is given, as an
// exit call gives it the one its exit data names.
tarvelo::log_destination bench_log{};

// Points the writer at `path` (empty: no log file), trace off.
void use_log_path(const std::string &path) {
    const std::size_t length = std::min(path.size(), tarvelo::log_path_max);
    path.copy(bench_log.path, length);
    bench_log.path[length] = '\0';
    tarvelo::set_trace_on(false);
}

// ---------------------------------------------------------------------------
// 0. A challenge answered.

// The response as it must be computed, on OpenSSL's MD5 alone: the same
// three MD5 blocks as the exit's. The challenge's 16 bytes are checked for
// the mark of an exit's own challenge (MD5 of a fixed 16-byte text and the
// first 12, whose first 4 bytes must not be the last 4), then MD5 of the
// password, XOR the 16 bytes, MD5 again, upper-case hex. The challenge here
// is plain hex text, so a table decode is enough.
struct hex_table {
    std::array<std::int8_t, 256> value{};
    constexpr hex_table() {
        for (auto &v : value) {
            v = -1;
        }
        for (int i = 0; i < 10; ++i) {
            value[static_cast<std::size_t>('0' + i)] = static_cast<std::int8_t>(i);
        }
        for (int i = 0; i < 6; ++i) {
            value[static_cast<std::size_t>('A' + i)] = static_cast<std::int8_t>(10 + i);
            value[static_cast<std::size_t>('a' + i)] = static_cast<std::int8_t>(10 + i);
        }
    }
};
constexpr hex_table hex{};

constexpr unsigned char mark_prefix[16] = {'T', 'A', 'R', 'V', 'E', 'L', 'O', ' ',
                                           'c', 'h', 'a', 'l', 'l', 'e', 'n', 'g'};

// False, with the text left as it is, for a challenge that carries the mark.
bool openssl_response(const std::uint8_t *pass, std::size_t pass_length, std::uint8_t *text) {
    unsigned char value[MD5_DIGEST_LENGTH];
    for (std::size_t i = 0; i < MD5_DIGEST_LENGTH; ++i) {
        const int high = hex.value[text[2 * i]];
        const int low = hex.value[text[2 * i + 1]];
        value[i] = static_cast<unsigned char>((high << 4) | low);
    }
    unsigned char marked[sizeof mark_prefix + 12];
    std::memcpy(marked, mark_prefix, sizeof mark_prefix);
    std::memcpy(marked + sizeof mark_prefix, value, 12);
    unsigned char mark[MD5_DIGEST_LENGTH];
    MD5(marked, sizeof marked, mark);
    if (std::memcmp(mark, value + 12, 4) == 0) {
        return false;
    }
    unsigned char password_digest[MD5_DIGEST_LENGTH];
    MD5(pass, pass_length, password_digest);
    for (std::size_t i = 0; i < MD5_DIGEST_LENGTH; ++i) {
        value[i] ^= password_digest[i];
    }
    MD5(value, sizeof value, value);
    static constexpr char digits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < MD5_DIGEST_LENGTH; ++i) {
        text[2 * i] = static_cast<std::uint8_t>(digits[value[i] >> 4]);
        text[2 * i + 1] = static_cast<std::uint8_t>(digits[value[i] & 15]);
    }
    return true;
}

channel_config quiet_channel() {
    channel_config config;
    config.name = "TO.PARTNER";
    config.password = password;
    config.exit_data = ""; // no log file, trace off
    return config;
}

void challenge_exit_entry(benchmark::State &state) {
    channel ch(world->library.entry(), quiet_channel());
    ch.initialise();
    const auto &challenge = world->partner_challenge;
    for (auto _ : state) {
        std::memcpy(ch.exchange(), challenge.data(), text_length);
        ch.data_length() = static_cast<std::int32_t>(text_length);
        ch.params().user_area[0] = ZAVCONN_STARTUP;
        ch.call(ZTXR_SEC_MSG);
        benchmark::DoNotOptimize(ch.exchange());
        benchmark::ClobberMemory();
    }
    // The figure counts only if the exit really answered, and answered right.
    std::array<std::uint8_t, text_length> expected = challenge;
    openssl_response(reinterpret_cast<const std::uint8_t *>(password), password_size,
                     expected.data());
    if (ch.response() != ZTXCC_SEND_SEC_MSG ||
        std::memcmp(ch.exchange(), expected.data(), text_length) != 0) {
        state.SkipWithError("the exit did not answer the challenge with the right response");
    }
    ch.terminate();
}
BENCHMARK(challenge_exit_entry)->Name("challenge/exit_entry");

void challenge_openssl_md5(benchmark::State &state) {
    std::array<std::uint8_t, 64> exchange{};
    const auto &challenge = world->partner_challenge;
    for (auto _ : state) {
        std::memcpy(exchange.data(), challenge.data(), text_length);
        openssl_response(reinterpret_cast<const std::uint8_t *>(password), password_size,
                         exchange.data());
        benchmark::DoNotOptimize(exchange.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(challenge_openssl_md5)->Name("challenge/openssl_md5");

// The exit's own arithmetic without the call around it: how much of the gap
// to OpenSSL is the MD5 and how much the rest of the call.
void challenge_compute_response(benchmark::State &state) {
    std::array<std::uint8_t, 64> exchange{};
    const auto &challenge = world->partner_challenge;
    for (auto _ : state) {
        std::memcpy(exchange.data(), challenge.data(), text_length);
        tarvelo::compute_response(reinterpret_cast<const std::uint8_t *>(password), password_size,
                                  exchange.data());
        benchmark::DoNotOptimize(exchange.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(challenge_compute_response)->Name("challenge/compute_response");

// A call that does nothing but the prologue (the host's invitation): what
// every one of a sign-on's six calls pays before it acts. No goal of its own.
void call_invitation(benchmark::State &state) {
    channel ch(world->library.entry(), quiet_channel());
    ch.initialise();
    for (auto _ : state) {
        ch.invite();
    }
    ch.terminate();
}
BENCHMARK(call_invitation)->Name("call/invitation_prologue_only");

// ---------------------------------------------------------------------------
// 1. One message with a log file, and 2. a suppressed trace line.

int open_append(const char *path) {
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

void line_write_message(benchmark::State &state) {
    use_log_path(world->line_log);
    for (auto _ : state) {
        tarvelo::write_message(bench_log, tarvelo::msg_exit_started, channel_name_field, nullptr);
    }
    use_log_path("");
}
BENCHMARK(line_write_message)->Name("line/write_message");

void line_floor(benchmark::State &state) {
    const std::string line = started_line();
    const char *path = world->line_log.c_str();
    for (auto _ : state) {
        const int fd = open_append(path);
        if (fd < 0) {
            state.SkipWithError("cannot open the log file");
            break;
        }
        benchmark::DoNotOptimize(write(fd, line.data(), line.size()));
        close(fd);
        benchmark::DoNotOptimize(write(STDOUT_FILENO, line.data(), line.size()));
    }
}
BENCHMARK(line_floor)->Name("line/floor_open_write_close");

void trace_suppressed_write_message(benchmark::State &state) {
    use_log_path(world->line_log);
    for (auto _ : state) {
        tarvelo::write_message(bench_log, tarvelo::trace_startup, channel_name_field, nullptr);
    }
    use_log_path("");
}
BENCHMARK(trace_suppressed_write_message)->Name("trace_suppressed/write_message");

void trace_suppressed_floor(benchmark::State &state) {
    const char *path = world->line_log.c_str();
    for (auto _ : state) {
        const int fd = open_append(path);
        if (fd < 0) {
            state.SkipWithError("cannot open the log file");
            break;
        }
        close(fd);
    }
}
BENCHMARK(trace_suppressed_floor)->Name("trace_suppressed/floor_open_close");

// A suppressed trace line with no log path at all: reported, with no goal of
// its own, because every exit call goes through several of them.
void trace_suppressed_no_path(benchmark::State &state) {
    use_log_path("");
    for (auto _ : state) {
        tarvelo::write_message(bench_log, tarvelo::trace_startup, channel_name_field, nullptr);
    }
}
BENCHMARK(trace_suppressed_no_path)->Name("trace_suppressed/write_message_no_path");

// ---------------------------------------------------------------------------
// 3. A full sign-on, and 4. sign-ons on several threads.

// The partner's side of one sign-on, outside the exit: its answer to the
// exit's challenge. The challenge changes only once a second, so the answer
// is worked out again only then; that is partner work, not the exit's.
class partner_answers {
public:
    const std::uint8_t *answer_for(const std::uint8_t *challenge) {
        if (!known_ || std::memcmp(challenge, challenge_.data(), text_length) != 0) {
            std::memcpy(challenge_.data(), challenge, text_length);
            std::memcpy(answer_.data(), challenge, text_length);
            tarvelo::compute_response(reinterpret_cast<const std::uint8_t *>(password),
                                      password_size, answer_.data());
            known_ = true;
        }
        return answer_.data();
    }

private:
    bool known_ = false;
    std::array<std::uint8_t, text_length> challenge_{};
    std::array<std::uint8_t, text_length> answer_{};
};

// Initialisation, the invitation, the partner's challenge, its verdict, its
// answer to the exit's challenge and termination, as a host calls them.
// True when the exit let the channel run.
bool one_signon(channel &ch, partner_answers &partner) {
    static constexpr std::uint8_t authorised = ZAVSTAT_AUTHORISED;
    ch.initialise();
    ch.invite();
    ch.deliver(world->partner_challenge.data(), text_length);
    bool ok = ch.response() == ZTXCC_SEND_SEC_MSG;
    ch.deliver(&authorised, 1);
    ok = ok && ch.response() == ZTXCC_SEND_SEC_MSG && ch.exit_buffer() != nullptr;
    if (ok) {
        ch.deliver(partner.answer_for(ch.exit_buffer()), text_length);
        ok = ch.response() == ZTXCC_OK && ch.state() == ZAVCONN_VERIFY;
    }
    ch.terminate();
    return ok;
}

void signon_exit_entry(benchmark::State &state) {
    channel ch(world->library.entry(), quiet_channel());
    partner_answers partner;
    bool all_signed_on = true;
    for (auto _ : state) {
        all_signed_on &= one_signon(ch, partner);
    }
    if (!all_signed_on) {
        state.SkipWithError("a sign-on did not complete");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(signon_exit_entry)->Name("signon/exit_entry");

// The least a sign-on must cost: its two lines (the clock read, the local
// time made into text, one write to standard output), the two responses it
// computes, and the random bytes of its own challenge (one getrandom system
// call: a challenge that no impersonator can predict comes from nowhere
// cheaper).
void plain_line(const char *tail, std::size_t tail_length) {
    char line[tarvelo::message_line_max];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::size_t length = std::strftime(line, sizeof line, "%a %b %e %H:%M:%S %Y", &local);
    std::memcpy(line + length, tail, tail_length);
    length += tail_length;
    benchmark::DoNotOptimize(write(STDOUT_FILENO, line, length));
}

void signon_two_lines_two_responses(benchmark::State &state) {
    const std::string started = " TARVELO001I - KOR Security Exit Started Channel => " +
                                std::string(channel_name_field) + "\n";
    const std::string closed = " TARVELO008I - KOR Security Exit Channel => " +
                               std::string(channel_name_field) + " closed.\n";
    std::array<std::uint8_t, text_length> ours{};
    tarvelo::standin::seeded_challenge(1800000000u, ours.data());
    std::array<std::uint8_t, text_length> first{};
    std::array<std::uint8_t, text_length> second{};
    const auto *pass = reinterpret_cast<const std::uint8_t *>(password);
    for (auto _ : state) {
        plain_line(started.data(), started.size());
        first = world->partner_challenge;
        tarvelo::compute_response(pass, password_size, first.data());
        benchmark::DoNotOptimize(syscall(SYS_getrandom, ours.data(), 12, GRND_NONBLOCK));
        second = ours;
        tarvelo::compute_response(pass, password_size, second.data());
        benchmark::DoNotOptimize(first.data());
        benchmark::DoNotOptimize(second.data());
        plain_line(closed.data(), closed.size());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(signon_two_lines_two_responses)->Name("signon/two_lines_two_responses");

// Sign-ons on two threads against one, measured against the same on the
// system calls alone. Two threads of one process opening and closing files
// go faster than one only as far as the system lets them (the kernel locks
// the process's descriptor table for every open and close), and how far
// that is depends on the machine and on what else runs on it. So the exit's
// own scaling is measured against the scaling of its system calls, in the
// same rounds: each round runs the same number of sign-ons on one thread and
// on two (each thread its own channel, all logging to one file), and the
// same number of times the system calls alone on one thread and on two, the
// four in an order that turns from round to round. Load that comes and goes
// on the machine then falls on all four alike.

// The system calls of one such sign-on and nothing else: the log file
// opened and closed 15 times (every message, suppressed trace lines
// included), two of those times with the line written, two lines to
// standard output, and the random bytes of the exit's challenge.
bool signon_system_calls(const std::string &line, const char *path) {
    constexpr int opens = 15;
    std::uint8_t random[12];
    benchmark::DoNotOptimize(syscall(SYS_getrandom, random, sizeof random, GRND_NONBLOCK));
    for (int i = 0; i < opens; ++i) {
        const int fd = open_append(path);
        if (fd < 0) {
            return false;
        }
        if (i == 0 || i == opens - 1) {
            benchmark::DoNotOptimize(write(STDOUT_FILENO, line.data(), line.size()));
            benchmark::DoNotOptimize(write(fd, line.data(), line.size()));
        }
        close(fd);
    }
    return true;
}

// Seconds for `work(thread, count)` run on `threads` threads (1 or 2) at
// once, this one included.
template <typename Work> double seconds_on(int threads, int count, Work &work) {
    const auto start = std::chrono::steady_clock::now();
    if (threads == 1) {
        work(0, count);
    } else {
        std::thread other([&] { work(1, count); });
        work(0, count);
        other.join();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Rounds in each repetition: each takes about a tenth of a second.
constexpr int scaling_rounds = 5;

double median_of(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

void signon_threads_scaling(benchmark::State &state) {
    channel_config config = quiet_channel();
    config.exit_data = world->thread_log; // every thread's channel logs to the same file
    std::array<std::unique_ptr<channel>, 2> channels;
    std::array<partner_answers, 2> partners;
    std::array<bool, 2> all_signed_on = {true, true};
    for (auto &ch : channels) {
        ch = std::make_unique<channel>(world->library.entry(), config);
    }
    auto exit_work = [&](int thread, int count) {
        const auto t = static_cast<std::size_t>(thread);
        for (int i = 0; i < count; ++i) {
            all_signed_on[t] = one_signon(*channels[t], partners[t]) && all_signed_on[t];
        }
    };
    const std::string line = started_line();
    std::array<bool, 2> all_opened = {true, true};
    auto system_call_work = [&](int thread, int count) {
        const auto t = static_cast<std::size_t>(thread);
        for (int i = 0; i < count; ++i) {
            all_opened[t] = signon_system_calls(line, world->thread_log.c_str()) && all_opened[t];
        }
    };

    // About 20 ms of sign-ons on one thread per part: long beside starting a
    // thread, short beside the machine's changes of load.
    const double one = seconds_on(1, 50, exit_work) / 50;
    const int count = std::max(50, static_cast<int>(0.02 / std::max(one, 1e-7)));

    std::vector<double> exit_scaling;
    std::vector<double> system_call_scaling;
    std::vector<double> round_ratio;
    std::vector<double> one_thread_rate;
    for (auto _ : state) {
        const auto round = static_cast<int>(exit_scaling.size());
        double exit_seconds[2] = {};
        double system_call_seconds[2] = {};
        for (int part = 0; part < 4; ++part) {
            const int which = (part + round) % 4;
            const int threads = 1 + which / 2;
            if (which % 2 == 0) {
                exit_seconds[threads - 1] = seconds_on(threads, count, exit_work);
            } else {
                system_call_seconds[threads - 1] = seconds_on(threads, count, system_call_work);
            }
        }
        state.SetIterationTime(exit_seconds[0] + exit_seconds[1] + system_call_seconds[0] +
                               system_call_seconds[1]);
        // Two threads do twice the work: the scaling is 2 x time on one /
        // time on two.
        exit_scaling.push_back(2 * exit_seconds[0] / exit_seconds[1]);
        system_call_scaling.push_back(2 * system_call_seconds[0] / system_call_seconds[1]);
        round_ratio.push_back(exit_scaling.back() / system_call_scaling.back());
        one_thread_rate.push_back(count / exit_seconds[0]);
    }
    for (auto &ch : channels) {
        ch.reset();
    }
    if (!all_signed_on[0] || !all_signed_on[1]) {
        state.SkipWithError("a sign-on did not complete");
    } else if (!all_opened[0] || !all_opened[1]) {
        state.SkipWithError("cannot open the log file");
    }
    state.counters["exit_scaling"] = median_of(exit_scaling);
    state.counters["syscall_scaling"] = median_of(system_call_scaling);
    state.counters["round_ratio"] = median_of(round_ratio);
    state.counters["signons_per_s"] = median_of(one_thread_rate);
}
BENCHMARK(signon_threads_scaling)
    ->Name("signon_threads/scaling_vs_syscalls")
    ->UseManualTime()
    ->Iterations(scaling_rounds);

// ---------------------------------------------------------------------------
// 5. Growth: appending must cost the same whatever the file already holds.

bool enough_disk(off_t needed) {
    struct statvfs fs {};
    if (statvfs(world->dir.c_str(), &fs) != 0) {
        return false;
    }
    return static_cast<off_t>(fs.f_bavail) * static_cast<off_t>(fs.f_frsize) > needed;
}

// Sets the log file to `size` bytes: an empty file, or a 1 GiB one cut back
// to 1 GiB so that every run starts from the same size.
bool size_log(const std::string &path, off_t size) {
    const int fd = open_append(path.c_str());
    if (fd < 0) {
        return false;
    }
    const bool ok = ftruncate(fd, size) == 0;
    close(fd);
    return ok;
}

// Fills the file with 1 GiB of real message lines, once, and makes sure the
// data is on disk so that its write-back does not land in the measurement.
bool make_real_log(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && st.st_size >= one_gib && st.st_blocks * 512 >= one_gib) {
        return true;
    }
    if (!enough_disk(3 * one_gib)) {
        return false;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    const std::string line = started_line();
    std::string chunk;
    while (chunk.size() + line.size() <= (std::size_t{1} << 20)) {
        chunk += line;
    }
    chunk.resize(std::size_t{1} << 20, '\n');
    bool ok = true;
    for (off_t written = 0; ok && written < one_gib;) {
        const ssize_t n = write(fd, chunk.data(), chunk.size());
        ok = n > 0;
        written += n;
    }
    ok = ok && fsync(fd) == 0;
    close(fd);
    return ok;
}

void growth(benchmark::State &state, const std::string &path, off_t size) {
    if (!size_log(path, size)) {
        state.SkipWithError("cannot size the log file");
        return;
    }
    use_log_path(path);
    for (auto _ : state) {
        tarvelo::write_message(bench_log, tarvelo::msg_exit_started, channel_name_field, nullptr);
    }
    use_log_path("");
}

void growth_empty(benchmark::State &state) { growth(state, world->empty_log, 0); }
BENCHMARK(growth_empty)->Name("growth/empty");

// A sparse file: 1 GiB long but holding no data blocks, made in an instant.
void growth_sparse(benchmark::State &state) { growth(state, world->sparse_log, one_gib); }
BENCHMARK(growth_sparse)->Name("growth/sparse_1GiB");

// 1 GiB of real lines on disk.
void growth_real(benchmark::State &state) {
    static const bool made = make_real_log(world->real_log);
    if (!made) {
        state.SkipWithError("cannot make a 1 GiB log file (disk space?)");
        return;
    }
    growth(state, world->real_log, one_gib);
}
BENCHMARK(growth_real)->Name("growth/real_1GiB");

// ---------------------------------------------------------------------------
// The report: the console table as usual, then each ratio against its goal.

struct figure {
    double real_ns = 0;
    double cpu_ns = 0;
    double items_per_second = 0;
    std::map<std::string, double> counters;
    double real_cv = -1; // spread of the repetitions' real times, when known
    bool median = false;
};

class goal_reporter : public benchmark::ConsoleReporter {
public:
    using benchmark::ConsoleReporter::ConsoleReporter;

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) {
                errors_.push_back(run.run_name.str() + ": " + run.error_message);
                continue;
            }
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "cv") {
                // Percentages travel in the accumulated time, as a fraction.
                figures_[run.run_name.str()].real_cv = run.real_accumulated_time;
                continue;
            }
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) {
                continue;
            }
            figure &f = figures_[run.run_name.str()];
            if (f.median && !median) {
                continue; // a single repetition never replaces the median
            }
            f.median = median;
            f.real_ns = to_ns(run.GetAdjustedRealTime(), run.time_unit);
            f.cpu_ns = to_ns(run.GetAdjustedCPUTime(), run.time_unit);
            const auto items = run.counters.find("items_per_second");
            f.items_per_second = items != run.counters.end() ? items->second.value : 0.0;
            for (const auto &[name, counter] : run.counters) {
                f.counters[name] = counter.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void print_goals(std::ostream &out) const {
        out << "\nGoals (" << (all_medians() ? "medians of the repetitions" : "single runs")
            << "; ratios of real time, CPU time in brackets)\n";
        time_ratio(out, "0 challenge answered / OpenSSL, same 3 MD5 blocks", "challenge/exit_entry",
                   "challenge/openssl_md5", 1.2);
        time_ratio(out, "  (compute_response alone / OpenSSL MD5 response)",
                   "challenge/compute_response", "challenge/openssl_md5", 0, false);
        time_ratio(out, "1 message with log file / open+write+close+write", "line/write_message",
                   "line/floor_open_write_close", 1.10);
        time_ratio(out, "2 suppressed trace line / open+close", "trace_suppressed/write_message",
                   "trace_suppressed/floor_open_close", 1.05);
        time_ratio(out, "3 sign-on / two lines + two responses", "signon/exit_entry",
                   "signon/two_lines_two_responses", 1.5);
        threads(out);
        time_ratio(out, "5 growth: sparse 1 GiB / empty", "growth/sparse_1GiB", "growth/empty", 0);
        time_ratio(out, "5 growth: real 1 GiB / empty", "growth/real_1GiB", "growth/empty", 0);
        if (const figure *f = find("trace_suppressed/write_message_no_path")) {
            out << "  suppressed trace line, no log path: " << format_ns(f->real_ns) << "\n";
        }
        if (const figure *f = find("call/invitation_prologue_only")) {
            out << "  a call that does nothing (invitation): " << format_ns(f->real_ns) << "\n";
        }
        for (const std::string &error : errors_) {
            out << "  ERROR " << error << "\n";
        }
    }

private:
    static double to_ns(double value, benchmark::TimeUnit unit) {
        switch (unit) {
        case benchmark::kSecond:
            return value * 1e9;
        case benchmark::kMillisecond:
            return value * 1e6;
        case benchmark::kMicrosecond:
            return value * 1e3;
        case benchmark::kNanosecond:
            break;
        }
        return value;
    }

    static std::string format_ns(double ns) {
        std::ostringstream s;
        s << std::fixed;
        if (ns >= 1000) {
            s << std::setprecision(2) << ns / 1000 << " us";
        } else {
            s << std::setprecision(1) << ns << " ns";
        }
        return s.str();
    }

    static std::string format_ratio(double r) {
        std::ostringstream s;
        s << std::fixed << std::setprecision(3) << r;
        return s.str();
    }

    const figure *find(const std::string &name) const {
        const auto it = figures_.find(name);
        return it != figures_.end() ? &it->second : nullptr;
    }

    bool all_medians() const {
        return std::all_of(figures_.begin(), figures_.end(),
                           [](const auto &entry) { return entry.second.median; });
    }

    // `goal` 0 means "equal within noise": the ratio is shown without a verdict;
    // `verdict` false shows a ratio that only explains another.
    void time_ratio(std::ostream &out, const char *label, const char *ours, const char *base,
                    double goal, bool verdict = true) const {
        const figure *a = find(ours);
        const figure *b = find(base);
        out << "  " << std::left << std::setw(52) << label;
        if (a == nullptr || b == nullptr || b->real_ns <= 0 || b->cpu_ns <= 0) {
            out << "not measured\n";
            return;
        }
        const double ratio = a->real_ns / b->real_ns;
        out << format_ns(a->real_ns) << " / " << format_ns(b->real_ns) << " = "
            << format_ratio(ratio) << " (" << format_ratio(a->cpu_ns / b->cpu_ns) << ")";
        if (!verdict) {
            // shown for what it explains, not measured against a goal
        } else if (goal > 0) {
            out << "  goal <= " << goal << (ratio <= goal ? "  met" : "  NOT met");
        } else if (a->real_cv >= 0 && b->real_cv >= 0) {
            // Within noise: no further from 1 than twice the larger spread of
            // the two figures' repetitions.
            const double noise = 2 * std::max(a->real_cv, b->real_cv);
            out << "  goal 1 +- " << format_ratio(noise) << " (2 x cv)"
                << (std::abs(ratio - 1) <= noise ? "  met" : "  NOT met");
        } else {
            out << "  goal: 1 within noise";
        }
        out << "\n";
    }

    // The exit's two-thread scaling against its system calls' own. Judged
    // on the median of the rounds' own ratios: the two scalings of a round
    // are measured within a tenth of a second of each other, so load that
    // comes and goes on the machine cancels out of their ratio, though it
    // moves each scaling from one repetition to the next. The two scalings'
    // own medians, and their ratio, are shown below it.
    void threads(std::ostream &out) const {
        out << "  " << std::left << std::setw(52)
            << "4 2-thread scaling: sign-ons / their system calls";
        // Named with its fixed rounds and manual time appended.
        const figure *f =
            find("signon_threads/scaling_vs_syscalls/iterations:" + std::to_string(scaling_rounds) +
                 "/manual_time");
        const auto counter = [f](const char *name) {
            const auto it = f->counters.find(name);
            return it != f->counters.end() ? it->second : 0.0;
        };
        if (f == nullptr || counter("syscall_scaling") <= 0) {
            out << "not measured\n";
            return;
        }
        const double ratio = counter("round_ratio");
        out << format_ratio(ratio) << " round by round  goal >= 0.95"
            << (ratio >= 0.95 ? "  met" : "  NOT met") << "\n";
        out << "  " << std::left << std::setw(52) << "  (medians of the two scalings)"
            << format_ratio(counter("exit_scaling")) << " / "
            << format_ratio(counter("syscall_scaling")) << " = "
            << format_ratio(counter("exit_scaling") / counter("syscall_scaling")) << "\n";
        out << "  " << std::left << std::setw(52) << "  (sign-ons per second on one thread)"
            << std::fixed << std::setprecision(0) << counter("signons_per_s") << "\n";
    }

    std::map<std::string, figure> figures_;
    std::vector<std::string> errors_;
};

} // namespace

int main(int argc, char **argv) {
    // The exit's lines go to /dev/null; the report to the original output.
    std::fflush(stdout);
    const int report_fd = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (report_fd < 0 || null_fd < 0 || dup2(null_fd, STDOUT_FILENO) < 0) {
        std::perror("cannot send standard output to /dev/null");
        return 1;
    }
    close(null_fd);
    __gnu_cxx::stdio_filebuf<char> report_buffer(report_fd, std::ios::out);
    std::ostream report(&report_buffer);

    // A host is a multi-threaded process, and the C library takes its locks
    // (standard output's among them) only once a second thread has existed:
    // start one first, so that every benchmark runs as in a host whatever
    // order the benchmarks run in.
    std::thread([] {}).join();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    std::string error;
    if (!make_world(&error)) {
        std::cerr << "exit_bench: " << error << "\n";
        remove_world();
        return 1;
    }
    goal_reporter reporter(isatty(report_fd) ? benchmark::ConsoleReporter::OO_ColorTabular
                                             : benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&report);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_goals(report);
    report.flush();
    benchmark::Shutdown();
    remove_world();
    return 0;
}
