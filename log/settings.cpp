// settings.cpp: see settings.h.
#include "log/settings.h"

#include <atomic>
#include <cstring>

#if defined(_WIN32)
#include "os/windows_api.h"
#else
#include <sched.h>
#endif

namespace tarvelo {
namespace {

// Constant-initialised: nothing runs when the library is loaded.
char log_path[log_path_max + 1];
std::atomic_flag log_path_busy = ATOMIC_FLAG_INIT;
// Whether `log_path` names a file, kept beside it under the guard. Channels
// without a log file (and every suppressed trace line on them) look only at
// this and never touch the guard's cache line.
std::atomic<bool> log_path_set{false};
std::atomic<bool> trace_switch{false};

// A spin guard rather than a mutex: it is held only for a copy of at most 33
// bytes, never across a system call, and it needs nothing from a threads
// library in the hosts we are loaded into.
class path_guard {
public:
    path_guard() {
        while (log_path_busy.test_and_set(std::memory_order_acquire)) {
            while (log_path_busy.test(std::memory_order_relaxed)) {
                pause();
            }
        }
    }
    ~path_guard() { log_path_busy.clear(std::memory_order_release); }
    path_guard(const path_guard &) = delete;
    path_guard &operator=(const path_guard &) = delete;

private:
    // The holder may have been preempted; give it the processor.
    static void pause() {
#if defined(_WIN32)
        SwitchToThread();
#else
        sched_yield();
#endif
    }
};

} // namespace

void assign_log_path(const char *path, std::size_t length) {
    if (length > log_path_max) {
        length = log_path_max;
    }
    if (length == 0 && !log_path_set.load(std::memory_order_acquire)) {
        return; // already empty: as if this assignment came just before any racing one
    }
    path_guard guard;
    if (length != 0) {
        std::memcpy(log_path, path, length);
    }
    log_path[length] = '\0';
    log_path_set.store(length != 0, std::memory_order_release);
}

void read_log_path(log_path_copy *out) {
    if (!log_path_set.load(std::memory_order_acquire)) {
        out->text[0] = '\0';
        return;
    }
    path_guard guard;
    std::memcpy(out->text, log_path, sizeof log_path);
}

// Every channel start turns trace off: stored only when it changes, so that
// channels starting on several threads do not pass the switch's cache line
// back and forth.
void set_trace_on(bool on) {
    if (trace_switch.load(std::memory_order_relaxed) != on) {
        trace_switch.store(on, std::memory_order_relaxed);
    }
}

bool trace_on() { return trace_switch.load(std::memory_order_relaxed); }

} // namespace tarvelo
