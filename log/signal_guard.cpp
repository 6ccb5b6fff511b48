// signal_guard.cpp: see signal_guard.h.
#include "log/signal_guard.h"

#include <cerrno>
#include <ctime>

namespace tarvelo {

// The C library's sigprocmask sets the calling thread's mask, as
// pthread_sigmask does, and keeps the library loadable by hosts on older C
// libraries. The kernel sends both signals to the thread whose write raised
// them, so holding them in this thread alone is enough.
signal_held::signal_held(unsigned held) {
    const int host_errno = errno;
    sigemptyset(&held_);
    if ((held & holds_sigpipe) != 0) {
        sigaddset(&held_, SIGPIPE);
    }
    if ((held & holds_sigxfsz) != 0) {
        sigaddset(&held_, SIGXFSZ);
    }
    sigprocmask(SIG_BLOCK, &held_, &saved_);
    sigemptyset(&hosts_pending_);
    if (sigpending(&hosts_pending_) != 0) {
        sigfillset(&hosts_pending_); // unknown: take nothing that may be the host's
    }
    errno = host_errno;
}

signal_held::~signal_held() {
    const int host_errno = errno;
    sigprocmask(SIG_SETMASK, &saved_, nullptr);
    errno = host_errno;
}

void signal_held::after_write(int error) {
    if (error == EPIPE) {
        take(SIGPIPE);
    } else if (error == EFBIG) {
        take(SIGXFSZ);
    }
}

void signal_held::take(int signal) {
    if (sigismember(&held_, signal) != 1 || sigismember(&hosts_pending_, signal) == 1) {
        return;
    }
    const int host_errno = errno;
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    const timespec no_wait{};
    while (sigtimedwait(&one, nullptr, &no_wait) < 0 && errno == EINTR) {
        // a handler of the host's ran first: take ours all the same
    }
    errno = host_errno;
}

} // namespace tarvelo
