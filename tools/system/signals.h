// signals.h: how the program meets a closed pipe and Ctrl-C.
#ifndef TARVELO_TOOLS_SYSTEM_SIGNALS_H
#define TARVELO_TOOLS_SYSTEM_SIGNALS_H

namespace tarvelo::tool {

// A closed standard output or pipe is then an error of the write, which the
// program reports as exit code 4, not a signal that ends it on the spot
// (and would leave the demo's log file behind).
void ignore_broken_pipe();

// Ctrl-C (SIGINT) is noted instead of ending the program, once: a second
// one ends it as usual. interrupted() tells whether it came.
void catch_interrupt();
bool interrupted();

} // namespace tarvelo::tool

#endif
