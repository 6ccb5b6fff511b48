// pipe_signal.h: a write to a pipe or socket that raises no SIGPIPE in the
// host. POSIX systems only.
#ifndef TARVELO_LOG_PIPE_SIGNAL_H
#define TARVELO_LOG_PIPE_SIGNAL_H

#include <csignal>

namespace tarvelo {

// Keeps SIGPIPE from the host while this thread writes to a pipe or a
// socket whose reader may have gone: a write there would otherwise end the
// host's process on the spot, on a line it never asked for. The signal is
// blocked in this thread only, from construction to destruction. A SIGPIPE
// that the host already had pending is its own and stays pending; one that
// our write raised is taken before the mask is put back, so the host never
// sees it.
class pipe_signal_held {
public:
    pipe_signal_held();
    ~pipe_signal_held();
    pipe_signal_held(const pipe_signal_held &) = delete;
    pipe_signal_held &operator=(const pipe_signal_held &) = delete;

    // After a write that failed with `error`: EPIPE means that write raised
    // a SIGPIPE at this thread, which is taken here unless the host's own
    // was already pending (the two are one pending signal then, and it is
    // the host's).
    void after_write(int error);

private:
    sigset_t pipe_{};
    sigset_t saved_{};
    bool host_had_one_ = false;
};

} // namespace tarvelo

#endif
