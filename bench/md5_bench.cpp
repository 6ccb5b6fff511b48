// md5_bench.cpp: our MD5 and response against OpenSSL's, side by side in one
// run, with cycles per byte (or per call) and the ratios ours/OpenSSL.
//
// Cycles come from the measured CPU time and a clock rate measured here on a
// chain of dependent adds (one cycle each), since under a hypervisor the
// nominal rate in /proc/cpuinfo need not be the one the core runs at. Ratios
// use the median CPU time of each benchmark; run with repetitions and random
// interleaving (scripts/bench-md5.sh does) so that both sides see the same
// machine.
#include "auth/challenge.h"
#include "auth/md5.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <ctime>
#include <time.h>

#ifdef TARVELO_BENCH_OPENSSL
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#endif

namespace {

using namespace tarvelo;

double clock_ghz = 0; // measured before the runs, averaged with a reading after

std::vector<std::uint8_t> &data() {
    static std::vector<std::uint8_t> d = [] {
        std::vector<std::uint8_t> v(std::size_t{1} << 20);
        std::uint32_t x = 2463534242u;
        for (auto &b : v) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<std::uint8_t>(x);
        }
        return v;
    }();
    return d;
}

const std::uint8_t password[] = {'P', 'a', '5', '5', 'w', '0', 'r', 'd'};

// A partner's challenge, as any partner may send one.
const std::uint8_t *challenge() {
    static const char text[] = "8C618DE00E7D61ECE2F42369AC5D7FE0";
    return reinterpret_cast<const std::uint8_t *>(text);
}

// Per-iteration cost in cycles, per byte when `bytes` is not zero.
void add_cycle_counter(benchmark::State &state, std::size_t bytes) {
    const double per = bytes != 0 ? static_cast<double>(bytes) : 1.0;
    state.counters[bytes != 0 ? "cyc/B" : "cyc/call"] =
        benchmark::Counter(per / (clock_ghz * 1e9), benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
    if (bytes != 0)
        state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

void stream_ours(benchmark::State &state, std::size_t n) {
    const std::uint8_t *in = data().data();
    std::uint8_t d[md5_digest_length];
    for (auto _ : state) {
        md5_context ctx;
        md5_init(&ctx);
        md5_update(&ctx, in, static_cast<std::uint32_t>(n));
        md5_final(&ctx, d);
        benchmark::DoNotOptimize(d);
    }
    add_cycle_counter(state, n);
}

void digest16_ours(benchmark::State &state) {
    std::uint8_t in[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::uint8_t d[md5_digest_length];
    for (auto _ : state) {
        benchmark::DoNotOptimize(in);
        md5_digest(in, 16, d);
        benchmark::DoNotOptimize(d);
    }
    add_cycle_counter(state, 0);
}

void response_ours(benchmark::State &state) {
    std::uint8_t area[security_text_length];
    for (auto _ : state) {
        std::memcpy(area, challenge(), sizeof area);
        compute_response(password, sizeof password, area);
        benchmark::DoNotOptimize(area);
    }
    add_cycle_counter(state, 0);
}

// The exit's challenge as it was made before it came from the random source:
// the hex text of the MD5 of the clock second's 4 bytes. Kept here as the
// baseline of what a challenge costs now.
void clock_second_challenge(std::uint8_t *area) {
    static constexpr char digits[] = "0123456789ABCDEF";
    const auto seed = static_cast<std::uint32_t>(std::time(nullptr));
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(seed), static_cast<std::uint8_t>(seed >> 8),
        static_cast<std::uint8_t>(seed >> 16), static_cast<std::uint8_t>(seed >> 24)};
    std::uint8_t d[md5_digest_length];
    md5_digest(bytes, sizeof bytes, d);
    for (int i = 0; i < md5_digest_length; ++i) {
        area[2 * i] = static_cast<std::uint8_t>(digits[d[i] >> 4]);
        area[2 * i + 1] = static_cast<std::uint8_t>(digits[d[i] & 15]);
    }
}

void challenge_clock_second(benchmark::State &state) {
    std::uint8_t area[security_text_length];
    for (auto _ : state) {
        clock_second_challenge(area);
        benchmark::DoNotOptimize(area);
    }
    add_cycle_counter(state, 0);
}

void challenge_random(benchmark::State &state) {
    std::uint8_t area[security_text_length];
    for (auto _ : state) {
        if (!make_challenge(area))
            state.SkipWithError("the random source gave nothing");
        benchmark::DoNotOptimize(area);
    }
    add_cycle_counter(state, 0);
}

// What every answered partner challenge now pays first: did an exit make it?
void challenge_exit_check(benchmark::State &state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(is_exit_challenge(challenge()));
    }
    add_cycle_counter(state, 0);
}

#ifdef TARVELO_BENCH_OPENSSL
// The low-level MD5_* calls are deprecated in OpenSSL 3 but are its fastest
// route: the same assembly block function as EVP without the provider
// dispatch. Both are measured; ratios are taken against the faster.
void stream_openssl_md5(benchmark::State &state, std::size_t n) {
    const std::uint8_t *in = data().data();
    std::uint8_t d[MD5_DIGEST_LENGTH];
    for (auto _ : state) {
        MD5_CTX ctx;
        MD5_Init(&ctx);
        MD5_Update(&ctx, in, n);
        MD5_Final(d, &ctx);
        benchmark::DoNotOptimize(d);
    }
    add_cycle_counter(state, n);
}

void stream_openssl_evp(benchmark::State &state, std::size_t n) {
    const std::uint8_t *in = data().data();
    std::uint8_t d[EVP_MAX_MD_SIZE];
    EVP_MD *md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, in, n);
        EVP_DigestFinal_ex(ctx, d, nullptr);
        benchmark::DoNotOptimize(d);
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    add_cycle_counter(state, n);
}

void digest16_openssl_md5(benchmark::State &state) {
    std::uint8_t in[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::uint8_t d[MD5_DIGEST_LENGTH];
    for (auto _ : state) {
        benchmark::DoNotOptimize(in);
        MD5(in, 16, d);
        benchmark::DoNotOptimize(d);
    }
    add_cycle_counter(state, 0);
}

// What MD5() would cost without OpenSSL 3's one-shot overhead: a stack
// context and no cleanse, so cheaper than ours, which wipes.
void md5_low_level(const std::uint8_t *in, std::size_t n, std::uint8_t *out) {
    MD5_CTX ctx;
    MD5_Init(&ctx);
    MD5_Update(&ctx, in, n);
    MD5_Final(out, &ctx);
}

void digest16_openssl_low(benchmark::State &state) {
    std::uint8_t in[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::uint8_t d[MD5_DIGEST_LENGTH];
    for (auto _ : state) {
        benchmark::DoNotOptimize(in);
        md5_low_level(in, 16, d);
        benchmark::DoNotOptimize(d);
    }
    add_cycle_counter(state, 0);
}

void digest16_openssl_evp(benchmark::State &state) {
    std::uint8_t in[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::uint8_t d[EVP_MAX_MD_SIZE];
    EVP_MD *md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    for (auto _ : state) {
        benchmark::DoNotOptimize(in);
        EVP_Digest(in, 16, d, nullptr, md, nullptr);
        benchmark::DoNotOptimize(d);
    }
    EVP_MD_free(md);
    add_cycle_counter(state, 0);
}

// The response computed as compute_response does it, step for step and with
// the same decoding loop, with OpenSSL's MD5 in place of ours and its cleanse
// in place of our wipe: the difference is the MD5 and nothing else.
struct tables {
    std::uint8_t value[256];
    std::uint8_t text[256][2];
    tables() {
        static const char hex[] = "0123456789ABCDEF";
        std::memset(value, 0xFF, sizeof value);
        for (int i = 0; i < 10; ++i)
            value['0' + i] = static_cast<std::uint8_t>(i);
        for (int i = 0; i < 6; ++i)
            value['A' + i] = value['a' + i] = static_cast<std::uint8_t>(10 + i);
        for (int i = 0; i < 256; ++i) {
            text[i][0] = static_cast<std::uint8_t>(hex[i >> 4]);
            text[i][1] = static_cast<std::uint8_t>(hex[i & 15]);
        }
    }
};
const tables digits;

void openssl_response(const std::uint8_t *pw, std::size_t pw_length, std::uint8_t *text,
                      void (*md5)(const std::uint8_t *, std::size_t, std::uint8_t *)) {
    struct {
        std::uint8_t challenge[32], pw_digest[16], value[16];
    } work;
    std::memcpy(work.challenge, text, 32);
    std::memset(work.value, 0, 16);
    md5(pw, pw_length, work.pw_digest);
    unsigned acc = 0;
    std::size_t count = 0;
    for (std::size_t p = 0; p < 32; p += 2) {
        const unsigned high = digits.value[work.challenge[p]];
        const unsigned low = digits.value[work.challenge[p + 1]];
        if (high < 16)
            acc += 16 * high;
        if (low < 16) {
            work.value[count++] = static_cast<std::uint8_t>(acc + low);
            acc = 0;
        }
    }
    for (int i = 0; i < 16; ++i)
        work.value[i] ^= work.pw_digest[i];
    md5(work.value, 16, work.value);
    for (int i = 0; i < 16; ++i)
        std::memcpy(text + 2 * i, digits.text[work.value[i]], 2);
    OPENSSL_cleanse(&work, sizeof work);
}

void md5_one_shot(const std::uint8_t *in, std::size_t n, std::uint8_t *out) { MD5(in, n, out); }

void response_openssl(benchmark::State &state,
                      void (*md5)(const std::uint8_t *, std::size_t, std::uint8_t *)) {
    std::uint8_t area[security_text_length];
    for (auto _ : state) {
        std::memcpy(area, challenge(), sizeof area);
        openssl_response(password, sizeof password, area, md5);
        benchmark::DoNotOptimize(area);
    }
    add_cycle_counter(state, 0);
}

// A benchmark of wrong results is no benchmark.
bool same_results() {
    bool ok = true;
    for (std::size_t n : {std::size_t{0}, std::size_t{16}, std::size_t{16384}, data().size()}) {
        std::uint8_t ours[16], theirs[16];
        md5_context ctx;
        md5_init(&ctx);
        md5_update(&ctx, data().data(), static_cast<std::uint32_t>(n));
        md5_final(&ctx, ours);
        md5_low_level(data().data(), n, theirs);
        ok = ok && std::memcmp(ours, theirs, 16) == 0;
    }
    std::uint8_t ours[32], theirs[32];
    std::memcpy(ours, challenge(), 32);
    std::memcpy(theirs, challenge(), 32);
    compute_response(password, sizeof password, ours);
    openssl_response(password, sizeof password, theirs, md5_low_level);
    return ok && std::memcmp(ours, theirs, 32) == 0;
}
#endif

// CPU time of this thread: other processes on the machine do not count.
double thread_ns() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// One cycle per dependent register add. The empty asm statements keep the
// adds apart and hide y's value (some cores merge adds of small constants
// at renaming); sixteen to a pass so that the loop's own branch is lost in
// the shadow of the chain.
double measure_clock_ghz() {
#define TARVELO_ADD                                                                                \
    x += y;                                                                                        \
    asm volatile("" : "+r"(x))
#define TARVELO_ADD4                                                                               \
    TARVELO_ADD;                                                                                   \
    TARVELO_ADD;                                                                                   \
    TARVELO_ADD;                                                                                   \
    TARVELO_ADD
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        std::uint64_t x = 1, y = 3;
        asm volatile("" : "+r"(y));
        const int passes = 8'000'000;
        const double t0 = thread_ns();
        for (int i = 0; i < passes; ++i) {
            TARVELO_ADD4;
            TARVELO_ADD4;
            TARVELO_ADD4;
            TARVELO_ADD4;
        }
        const double t1 = thread_ns();
        benchmark::DoNotOptimize(x);
        best = std::min(best, (t1 - t0) / (16.0 * passes));
    }
#undef TARVELO_ADD4
#undef TARVELO_ADD
    return 1.0 / best;
}

double cpuinfo_ghz() {
    std::ifstream f("/proc/cpuinfo");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("cpu MHz", 0) == 0)
            return std::stod(line.substr(line.find(':') + 1)) / 1000.0;
    return 0;
}

// The console output, then the table of ratios from the medians (or from the
// single runs when there are no repetitions).
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (median || (r.run_type == Run::RT_Iteration && r.repetitions <= 1))
                ns_[r.run_name.function_name] = r.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        // The clock moves with the load on the other cores: measured again
        // after the runs, and the mean of the two used for the cycles.
        const double before = clock_ghz, after = measure_clock_ghz();
        clock_ghz = (before + after) / 2;
        std::printf("\nclock %.3f GHz before the runs, %.3f after (cpuinfo says %.3f); "
                    "medians of CPU time\n",
                    before, after, cpuinfo_ghz());
        row("stream 16 KiB", "stream_16KiB/", 16384);
        row("stream 1 MiB", "stream_1MiB/", std::size_t{1} << 20);
        row("digest 16 B", "digest16/", 0);
        row("response", "response/", 0);
        const auto clock_second = ns_.find("challenge/clock_second");
        const auto random = ns_.find("challenge/random");
        const auto check = ns_.find("challenge/exit_check");
        if (clock_second != ns_.end() && random != ns_.end() && check != ns_.end())
            std::printf("challenge      clock second %8.1f ns, random %8.1f ns (%.2f times), "
                        "exit-challenge check %6.1f ns\n",
                        clock_second->second, random->second, random->second / clock_second->second,
                        check->second);
    }

private:
    void row(const char *title, const std::string &prefix, std::size_t bytes) {
        const auto ours = ns_.find(prefix + "tarvelo");
        if (ours == ns_.end())
            return;
        std::printf("%-14s tarvelo %10.1f ns %s", title, ours->second,
                    cycles(ours->second, bytes).c_str());
        double fastest = 0;
        std::string fastest_name;
        for (const auto &[name, ns] : ns_) {
            if (name.rfind(prefix + "openssl", 0) != 0)
                continue;
            std::printf("\n%-14s %-24s %10.1f ns %s  ours/this %.3f", "",
                        name.substr(prefix.size()).c_str(), ns, cycles(ns, bytes).c_str(),
                        ours->second / ns);
            if (fastest == 0 || ns < fastest) {
                fastest = ns;
                fastest_name = name.substr(prefix.size());
            }
        }
        if (fastest != 0)
            std::printf("\n%-14s ratio ours/fastest OpenSSL (%s): %.3f", "", fastest_name.c_str(),
                        ours->second / fastest);
        std::printf("\n");
    }

    static std::string cycles(double ns, std::size_t bytes) {
        char s[64];
        if (bytes != 0)
            std::snprintf(s, sizeof s, "%6.3f cyc/B", ns * clock_ghz / static_cast<double>(bytes));
        else
            std::snprintf(s, sizeof s, "%6.0f cyc  ", ns * clock_ghz);
        return s;
    }

    std::map<std::string, double> ns_;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
#ifdef TARVELO_BENCH_OPENSSL
    if (!same_results()) {
        std::fprintf(stderr, "md5_bench: ours and OpenSSL's results differ\n");
        return 1;
    }
#endif
    clock_ghz = measure_clock_ghz();

    for (auto [label, n] :
         {std::pair{"16KiB", std::size_t{16384}}, std::pair{"1MiB", std::size_t{1} << 20}}) {
        const std::string prefix = std::string("stream_") + label + "/";
        benchmark::RegisterBenchmark((prefix + "tarvelo").c_str(), stream_ours, n);
#ifdef TARVELO_BENCH_OPENSSL
        benchmark::RegisterBenchmark((prefix + "openssl_MD5_Update").c_str(), stream_openssl_md5,
                                     n);
        benchmark::RegisterBenchmark((prefix + "openssl_EVP").c_str(), stream_openssl_evp, n);
#endif
    }
    benchmark::RegisterBenchmark("digest16/tarvelo", digest16_ours);
    benchmark::RegisterBenchmark("response/tarvelo", response_ours);
    benchmark::RegisterBenchmark("challenge/clock_second", challenge_clock_second);
    benchmark::RegisterBenchmark("challenge/random", challenge_random);
    benchmark::RegisterBenchmark("challenge/exit_check", challenge_exit_check);
#ifdef TARVELO_BENCH_OPENSSL
    benchmark::RegisterBenchmark("digest16/openssl_MD5", digest16_openssl_md5);
    benchmark::RegisterBenchmark("digest16/openssl_MD5_Init_Update_Final", digest16_openssl_low);
    benchmark::RegisterBenchmark("digest16/openssl_EVP_Digest", digest16_openssl_evp);
    benchmark::RegisterBenchmark("response/openssl_MD5_Init_Update_Final", response_openssl,
                                 md5_low_level);
    benchmark::RegisterBenchmark("response/openssl_MD5", response_openssl, md5_one_shot);
#endif

    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
