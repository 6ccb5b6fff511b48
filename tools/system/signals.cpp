// signals.cpp: see signals.h.
#include "tools/system/signals.h"

#include <atomic>
#include <csignal>

namespace tarvelo::tool {

namespace {
std::atomic<bool> interrupt_seen{false};

extern "C" void note_interrupt(int) {
    interrupt_seen.store(true);
    // A second Ctrl-C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}
} // namespace

void ignore_broken_pipe() {
#if !defined(_WIN32)
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

void catch_interrupt() { std::signal(SIGINT, note_interrupt); }

bool interrupted() { return interrupt_seen.load(); }

} // namespace tarvelo::tool
