/*
 * failing_malloc.c: preloaded into the end-to-end tests to make what the
 * exit asks of the system fail, so that the host sees what it sees when
 * memory runs out at channel start, or when the random source has nothing
 * to give (a generator not yet seeded early in a machine's boot, a sandbox
 * that filters the call out). Only requests made from inside the exit
 * library fail, and only while the tests ask for it; everything else is
 * served by the C library as usual.
 *
 * It also watches the exit's 64-byte buffer go back to the system: a block
 * released with any byte not zero still holds what the channel kept in it
 * (the expected response, derived from the password), and is counted.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>

extern void *__libc_malloc(size_t size);
extern void __libc_free(void *block);

/* Looked up and set by the tests. While nonzero, the exit's 64-byte
   allocation fails. */
int tarvelo_test_failing_malloc = 1;
/* 0: the random source works; EAGAIN: it is not ready; ENOSYS: the
   getrandom system call does not exist, as on old kernels; EPERM: a
   sandbox's filter refuses it; EINTR: a signal cuts every other call short
   (the first, the third...). */
int tarvelo_test_failing_random = 0;
static int random_calls = 0;

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

/* The exit asks for random bytes with the getrandom system call itself. */
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
    if (number == SYS_getrandom && tarvelo_test_failing_random != 0 &&
        called_from_exit(__builtin_return_address(0)) &&
        (tarvelo_test_failing_random != EINTR ||
         __atomic_fetch_add(&random_calls, 1, __ATOMIC_SEQ_CST) % 2 == 0)) {
        errno = tarvelo_test_failing_random;
        return -1;
    }
    long (*next)(long, ...) = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
