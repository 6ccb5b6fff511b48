// trace_switch.cpp: see trace_switch.h.
#include "log/trace_switch.h"

#include <atomic>

namespace tarvelo {
namespace {

// Constant-initialised: nothing runs when the library is loaded.
constinit std::atomic<bool> trace_switch{false};

} // namespace

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
