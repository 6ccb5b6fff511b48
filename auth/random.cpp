// random.cpp: see random.h.
#include "auth/random.h"

#if defined(_WIN32)
#include "os/windows_api.h"
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#else
#include "os/descriptor.h"
#include "os/file_status.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace tarvelo {
namespace {

constexpr std::size_t most_at_once = 256;

#if !defined(_WIN32)
// The kernel's numbers for its generator's character device.
constexpr unsigned urandom_major = 1;
constexpr unsigned urandom_minor = 9;

// Whatever stands at /dev/urandom is read only when it is the kernel's
// generator: a file, or another device mounted over the name (/dev/zero
// gives every channel the same challenge, whose answer can be replayed),
// gives no bytes at all, as when there is no source.
bool is_kernel_generator(int fd) {
    file_status status{};
    return status_of_descriptor(fd, &status) && S_ISCHR(status.mode) &&
           status.device_major == urandom_major && status.device_minor == urandom_minor;
}

// Kernels before getrandom, and sandboxes that filter it out, still have
// the same generator behind /dev/urandom. Opened and closed per use, close
// on exec: no descriptor of ours survives the call or leaks into a child
// that the host starts. Never on 0, 1 or 2 of a host that runs with one
// closed: its standard output would go into the generator meanwhile.
// Opened without waiting, and looked at before anything is read: a FIFO
// standing there would otherwise hold the channel start until someone
// opened it for writing, and then feed it bytes of their choice; opened
// this way it is merely not the generator. The generator itself never
// waits, flag or not.
bool read_urandom(unsigned char *out, std::size_t length) {
    int fd;
    do {
        fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    fd = above_standard_streams(fd);
    if (fd < 0) {
        return false;
    }
    if (!is_kernel_generator(fd)) {
        close(fd);
        return false;
    }
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = read(fd, out + got, length - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    return got == length;
}
#endif

} // namespace

bool fill_random(void *out, std::size_t length) {
    if (length > most_at_once) {
        return false;
    }
#if defined(_WIN32)
    return BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), static_cast<ULONG>(length),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
#else
    auto *bytes = static_cast<unsigned char *>(out);
    std::size_t got = 0;
    while (got < length) {
        // Non-blocking: a host must never hang in a channel start waiting
        // for the generator to be seeded. Up to 256 bytes come whole once
        // it is; a signal may still cut a call short. Made as a system call
        // rather than through the C library's getrandom, which would tie
        // the library to C libraries of 2017 and later.
        const long n = syscall(SYS_getrandom, bytes + got, length - got, GRND_NONBLOCK);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == ENOSYS || errno == EPERM)) {
            // No such call (an old kernel), or a sandbox's filter refuses
            // it: seccomp profiles answer calls they do not know with EPERM.
            return read_urandom(bytes + got, length - got);
        } else {
            return false;
        }
    }
    return true;
#endif
}

} // namespace tarvelo
