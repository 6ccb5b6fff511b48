// trace_switch.h: the one process-wide switch that steers the writer: trace.
//
// Trace is one switch for every channel that the host runs through the
// library in one process: "TRACEON" in any channel's exit data turns it on
// for all, until some channel is initialised. Channels run on several
// threads at once; the switch is a single atomic word, never locked.
#ifndef TARVELO_LOG_TRACE_SWITCH_H
#define TARVELO_LOG_TRACE_SWITCH_H

namespace tarvelo {

void set_trace_on(bool on);
[[nodiscard]] bool trace_on();

} // namespace tarvelo

#endif
