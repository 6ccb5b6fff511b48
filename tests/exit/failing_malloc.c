/*
 * failing_malloc.c: preloaded into the end-to-end tests to make what the
 * exit asks of the system fail, so that the host sees what it sees when
 * memory runs out at channel start, or when the random source has nothing
 * to give (a generator not yet seeded early in a machine's boot, a sandbox
 * that filters the call out). Only requests made from inside the exit
 * library fail, and only while the tests ask for it; everything else is
 * served by the C library as usual.
 *
 * When the getrandom call is refused, the exit falls back on /dev/urandom:
 * that too can be made to fail in each of the ways the system can fail it.
 *
 * The exit's writes to a log file, and what it does after a write cut
 * short, can be made to meet each fault of a disk or of another writer.
 *
 * It also watches the exit's 64-byte buffer go back to the system: a block
 * released with any byte not zero still holds what the channel kept in it
 * (the expected response, derived from the password), and is counted.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

/* The functions below stand in for the C library's, whose headers name
   their parameters with reserved names: ours are named for reading. */

extern void *__libc_malloc(size_t size);
extern void __libc_free(void *block);

/* Looked up and set by the tests. While nonzero, the exit's 64-byte
   allocation fails. */
int tarvelo_test_failing_malloc = 1;
/* 0: the random source works; EAGAIN: it is not ready; ENOSYS: the
   getrandom system call does not exist, as on old kernels; EPERM: a
   sandbox's filter refuses it; EINTR: a signal cuts every other call short
   (the first, the third...); -1: it answers with no bytes and no error. */
int tarvelo_test_failing_random = 0;
static int random_calls = 0;

/* What /dev/urandom does for the exit, by the values below. The
   interruptions cut every other call short (the first, the third...). */
enum {
    urandom_works,
    urandom_open_interrupted,
    urandom_open_fails,          /* no such file: a /dev without it */
    urandom_no_spare_descriptor, /* nothing above the standard streams */
    urandom_unexaminable,        /* its status cannot be had */
    urandom_impostor,            /* a character device, not the generator */
    urandom_read_interrupted,
    urandom_read_fails,
    urandom_read_ends /* an end of file before the bytes asked */
};
int tarvelo_test_failing_urandom = urandom_works;
static int urandom_calls = 0;

static int urandom_fails_as(int mode) { return tarvelo_test_failing_urandom == mode; }

static int every_other_call(void) {
    return __atomic_fetch_add(&urandom_calls, 1, __ATOMIC_SEQ_CST) % 2 == 0;
}

/* What a log file does for the exit, by the values below. "Cut" is a first
   write of a line that gets half of it in; what follows is the next write. */
enum {
    log_works,
    log_cut_then_room,
    log_interrupted_then_room,
    log_cut_then_read_back_elsewhere,    /* the path reopened is another file */
    log_cut_then_read_back_other_device, /* ... on another device */
    log_cut_then_read_back_refused,      /* the path cannot be reopened */
    log_cut_then_status_of_writer_fails,
    log_cut_then_status_of_reader_fails,
    log_cut_then_read_back_short,
    log_cut_then_file_seen_shorter,
    log_no_room,                            /* every write gets nothing in */
    log_cut_then_fails,                     /* the part is taken out */
    log_cut_then_fails_and_stays,           /* ... and cannot be */
    log_cut_then_another_appends_and_fails, /* another's line behind the part */
    log_limit_unknown,                      /* the file-size limit cannot be had */
    log_status_unknown,                     /* no status of any file to be had */
    log_cut_then_fails_read_back_a_copy     /* the path then leads to a copy, one byte longer */
};
int tarvelo_test_failing_log = log_works;
static int log_cut = 0;          /* the first write of a line was cut */
static int log_reading_back = 0; /* the rest went in: the read-back's fault is due */

static int log_fails_as(int mode) { return tarvelo_test_failing_log == mode; }

static int log_fails_after_cut(void) {
    return tarvelo_test_failing_log >= log_cut_then_read_back_elsewhere &&
           tarvelo_test_failing_log <= log_cut_then_file_seen_shorter;
}

/* Read by the tests: how many of the exit's 64-byte blocks were released,
   and how many of those still held a byte that was not zero. */
int tarvelo_test_released_blocks = 0;
int tarvelo_test_released_unwiped = 0;

/* The exit's blocks not yet released; channels may run on several threads. */
enum { tracked_blocks = 64 };
static void *exit_blocks[tracked_blocks];

static void track(void *block) {
    for (int i = 0; i < tracked_blocks; ++i) {
        void *expected = NULL;
        if (__atomic_compare_exchange_n(&exit_blocks[i], &expected, block, 0, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
            return;
        }
    }
}

static int untrack(void *block) {
    for (int i = 0; i < tracked_blocks; ++i) {
        void *expected = block;
        if (__atomic_compare_exchange_n(&exit_blocks[i], &expected, NULL, 0, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
            return 1;
        }
    }
    return 0;
}

static int called_from_exit(const void *address) {
    Dl_info info;
    return dladdr(address, &info) != 0 && info.dli_fname != NULL &&
           strstr(info.dli_fname, "libtarvelo") != NULL;
}

void *malloc(size_t size) {
    if (size != 64 || !called_from_exit(__builtin_return_address(0))) {
        return __libc_malloc(size);
    }
    if (tarvelo_test_failing_malloc) {
        errno = ENOMEM;
        return NULL;
    }
    void *block = __libc_malloc(size);
    if (block != NULL) {
        track(block);
    }
    return block;
}

void free(void *block) {
    if (block != NULL && untrack(block)) {
        const unsigned char *bytes = block;
        int unwiped = 0;
        for (int i = 0; i < 64; ++i) {
            unwiped |= bytes[i] != 0;
        }
        __atomic_add_fetch(&tarvelo_test_released_blocks, 1, __ATOMIC_SEQ_CST);
        __atomic_add_fetch(&tarvelo_test_released_unwiped, unwiped, __ATOMIC_SEQ_CST);
    }
    __libc_free(block);
}

/* NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name) */
int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, unsigned);
        va_end(ap);
    }
    if (tarvelo_test_failing_urandom != urandom_works && strcmp(path, "/dev/urandom") == 0 &&
        called_from_exit(__builtin_return_address(0))) {
        if (urandom_fails_as(urandom_open_interrupted) && every_other_call()) {
            errno = EINTR;
            return -1;
        }
        if (urandom_fails_as(urandom_open_fails)) {
            errno = ENOENT;
            return -1;
        }
    }
    int (*next)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open");
    if ((flags & O_ACCMODE) == O_RDONLY && log_reading_back &&
        (tarvelo_test_failing_log <= log_cut_then_read_back_refused ||
         log_fails_as(log_cut_then_fails_read_back_a_copy)) &&
        called_from_exit(__builtin_return_address(0))) {
        log_reading_back = 0;
        if (log_fails_as(log_cut_then_read_back_refused)) {
            errno = EACCES;
            return -1;
        }
        if (log_fails_as(log_cut_then_read_back_elsewhere)) {
            return next(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
        if (log_fails_as(log_cut_then_read_back_other_device)) {
            return next("/dev/null", O_RDONLY | O_CLOEXEC);
        }
        if (log_fails_as(log_cut_then_fails_read_back_a_copy)) {
            /* Another file that ends as the log does, the part included. */
            char copy[4096];
            const int named = snprintf(copy, sizeof copy, "%s.copy", path);
            if (named < 0 || (size_t)named >= sizeof copy) {
                errno = ENAMETOOLONG;
                return -1;
            }
            const int from = next(path, O_RDONLY | O_CLOEXEC);
            const int to = next(copy, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            char bytes[4096];
            ssize_t n = 0;
            if (from >= 0 && to >= 0 && write(to, "X", 1) == 1) {
                while ((n = read(from, bytes, sizeof bytes)) > 0 &&
                       write(to, bytes, (size_t)n) == n) {
                }
            }
            close(from);
            close(to);
            return next(copy, O_RDONLY | O_CLOEXEC);
        }
    }
    return next(path, flags, mode);
}

/* NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name) */
ssize_t read(int fd, void *buffer, size_t count) {
    if (tarvelo_test_failing_urandom != urandom_works &&
        called_from_exit(__builtin_return_address(0))) {
        if (urandom_fails_as(urandom_read_interrupted) && every_other_call()) {
            errno = EINTR;
            return -1;
        }
        if (urandom_fails_as(urandom_read_fails)) {
            errno = EIO;
            return -1;
        }
        if (urandom_fails_as(urandom_read_ends)) {
            return 0;
        }
    }
    ssize_t (*next)(int, void *, size_t) =
        (ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    return next(fd, buffer, count);
}

/* NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name) */
ssize_t pwrite(int fd, const void *buffer, size_t count, off_t offset) {
    ssize_t (*next)(int, const void *, size_t, off_t) =
        (ssize_t(*)(int, const void *, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
    if (tarvelo_test_failing_log == log_works || log_fails_as(log_limit_unknown) ||
        log_fails_as(log_status_unknown) || !called_from_exit(__builtin_return_address(0))) {
        return next(fd, buffer, count, offset);
    }
    if (log_fails_as(log_no_room)) {
        return 0;
    }
    if (!log_cut) {
        log_cut = 1;
        log_reading_back = 0;
        if (log_fails_as(log_interrupted_then_room)) {
            errno = EINTR;
            return -1;
        }
        return next(fd, buffer, count / 2, offset);
    }
    log_cut = 0;
    if (log_fails_as(log_cut_then_another_appends_and_fails)) {
        ssize_t (*write_next)(int, const void *, size_t) =
            (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
        write_next(fd, "another's\n", 10);
    }
    if (log_fails_as(log_cut_then_fails_read_back_a_copy)) {
        log_reading_back = 1;
        errno = EIO;
        return -1;
    }
    if (log_fails_as(log_cut_then_fails) || log_fails_as(log_cut_then_fails_and_stays) ||
        log_fails_as(log_cut_then_another_appends_and_fails)) {
        errno = EIO;
        return -1;
    }
    /* The room came back: the rest goes in, and the read-back may meet its
       fault. */
    log_reading_back = log_fails_after_cut();
    return next(fd, buffer, count, offset);
}

/* NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name) */
ssize_t pread(int fd, void *buffer, size_t count, off_t offset) {
    ssize_t (*next)(int, void *, size_t, off_t) =
        (ssize_t(*)(int, void *, size_t, off_t))dlsym(RTLD_NEXT, "pread");
    if (log_fails_as(log_cut_then_read_back_short) && log_reading_back &&
        called_from_exit(__builtin_return_address(0))) {
        log_reading_back = 0;
        return next(fd, buffer, count / 2, offset);
    }
    return next(fd, buffer, count, offset);
}

off_t lseek(int fd, off_t offset, int whence) {
    off_t (*next)(int, off_t, int) = (off_t(*)(int, off_t, int))dlsym(RTLD_NEXT, "lseek");
    if (log_fails_as(log_cut_then_file_seen_shorter) && log_reading_back &&
        called_from_exit(__builtin_return_address(0))) {
        log_reading_back = 0;
        return 1;
    }
    return next(fd, offset, whence);
}

int ftruncate(int fd, off_t length) {
    int (*next)(int, off_t) = (int (*)(int, off_t))dlsym(RTLD_NEXT, "ftruncate");
    if (log_fails_as(log_cut_then_fails_and_stays) &&
        called_from_exit(__builtin_return_address(0))) {
        errno = EIO;
        return -1;
    }
    return next(fd, length);
}

/* NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name) */
int getrlimit(__rlimit_resource_t resource, struct rlimit *limit) {
    int (*next)(__rlimit_resource_t, struct rlimit *) =
        (int (*)(__rlimit_resource_t, struct rlimit *))dlsym(RTLD_NEXT, "getrlimit");
    if (log_fails_as(log_limit_unknown) && called_from_exit(__builtin_return_address(0))) {
        errno = EINVAL;
        return -1;
    }
    return next(resource, limit);
}

/* The record the exit's file-status call fills in. */
#if defined(SYS_fstat64)
#define exit_fstat_call SYS_fstat64
typedef struct stat64 exit_stat;
#else
#define exit_fstat_call SYS_fstat
typedef struct stat exit_stat;
#endif

#if defined(SYS_fcntl64)
#define exit_fcntl_call SYS_fcntl64
#else
#define exit_fcntl_call SYS_fcntl
#endif

/* The exit asks for random bytes, descriptors and file status with system
   calls of its own. */
/* NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name) */
long syscall(long number, ...) {
    va_list ap;
    va_start(ap, number);
    /* One statement each: the arguments are taken in their order. */
    long a[6];
    a[0] = va_arg(ap, long);
    a[1] = va_arg(ap, long);
    a[2] = va_arg(ap, long);
    a[3] = va_arg(ap, long);
    a[4] = va_arg(ap, long);
    a[5] = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_getrandom && tarvelo_test_failing_random == -1 &&
        called_from_exit(__builtin_return_address(0))) {
        return 0;
    }
    if (number == SYS_getrandom && tarvelo_test_failing_random != 0 &&
        called_from_exit(__builtin_return_address(0)) &&
        (tarvelo_test_failing_random != EINTR ||
         __atomic_fetch_add(&random_calls, 1, __ATOMIC_SEQ_CST) % 2 == 0)) {
        errno = tarvelo_test_failing_random;
        return -1;
    }
    const int urandom_failing = tarvelo_test_failing_urandom != urandom_works &&
                                called_from_exit(__builtin_return_address(0));
    if (urandom_failing && number == exit_fcntl_call && a[1] == F_DUPFD_CLOEXEC &&
        urandom_fails_as(urandom_no_spare_descriptor)) {
        errno = EMFILE;
        return -1;
    }
    if (number == exit_fstat_call && log_fails_as(log_status_unknown) &&
        called_from_exit(__builtin_return_address(0))) {
        errno = EIO;
        return -1;
    }
    if (urandom_failing && number == exit_fstat_call && urandom_fails_as(urandom_unexaminable)) {
        errno = EIO;
        return -1;
    }
    if (number == exit_fstat_call && log_reading_back &&
        called_from_exit(__builtin_return_address(0))) {
        long (*fcntl_next)(long, ...) = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
        const int reading = (fcntl_next(exit_fcntl_call, a[0], F_GETFL, 0) & O_ACCMODE) == O_RDONLY;
        if ((log_fails_as(log_cut_then_status_of_writer_fails) && !reading) ||
            (log_fails_as(log_cut_then_status_of_reader_fails) && reading)) {
            log_reading_back = 0;
            errno = EIO;
            return -1;
        }
    }
    long (*next)(long, ...) = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    const long result = next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    if (urandom_failing && number == exit_fstat_call && result == 0 &&
        urandom_fails_as(urandom_impostor)) {
        /* The terminal's numbers, where the generator's were. */
        ((exit_stat *)a[1])->st_rdev = makedev(5, 0);
    }
    return result;
}
