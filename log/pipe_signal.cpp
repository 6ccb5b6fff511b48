// pipe_signal.cpp: see pipe_signal.h.
#include "log/pipe_signal.h"

#include <cerrno>
#include <ctime>

namespace tarvelo {

// The C library's sigprocmask sets the calling thread's mask, as
// pthread_sigmask does, and keeps the library loadable by hosts on older C
// libraries.
pipe_signal_held::pipe_signal_held() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe_, &saved_);
    sigset_t pending;
    sigemptyset(&pending);
    host_had_one_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

pipe_signal_held::~pipe_signal_held() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

void pipe_signal_held::after_write(int error) {
    if (error == EPIPE && !host_had_one_) {
        const timespec no_wait{};
        while (sigtimedwait(&pipe_, nullptr, &no_wait) < 0 && errno == EINTR) {
            // a handler of the host's ran first: take ours all the same
        }
    }
}

} // namespace tarvelo
