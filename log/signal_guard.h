// signal_guard.h: a write that raises no signal in the host: SIGPIPE from a
// pipe or socket whose reader has gone, SIGXFSZ from a file that has reached
// the process's file-size limit. POSIX systems only.
#ifndef TARVELO_LOG_SIGNAL_GUARD_H
#define TARVELO_LOG_SIGNAL_GUARD_H

#include <csignal>

namespace tarvelo {

// The signals a write may raise, to be held around it.
enum write_signals : unsigned {
    holds_sigpipe = 1u, // the write fails with EPIPE when it raised SIGPIPE
    holds_sigxfsz = 2u, // the write fails with EFBIG when it raised SIGXFSZ
};

// Keeps the signals of `held` from the host while this thread writes:
// either would otherwise end the host's process on the spot, on a line it
// never asked for. They are blocked in this thread only, from construction
// to destruction, and the thread's mask is then put back as it was. A
// signal that the host already had pending is its own and stays pending;
// one that our write raised is taken before the mask is put back, so the
// host never sees it. errno is left as it was.
class signal_held {
public:
    explicit signal_held(unsigned held);
    ~signal_held();
    signal_held(const signal_held &) = delete;
    signal_held &operator=(const signal_held &) = delete;

    // After a write that failed with `error`: EPIPE or EFBIG means that
    // write raised its signal at this thread, which is taken here unless the
    // host's own was already pending (the two are one pending signal then,
    // and it is the host's).
    void after_write(int error);

private:
    void take(int signal);

    sigset_t held_{};
    sigset_t saved_{};
    sigset_t hosts_pending_{};
};

} // namespace tarvelo

#endif
