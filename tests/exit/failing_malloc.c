/*
 * failing_malloc.c: preloaded into the end-to-end tests to make what the
 * exit asks of the system fail, so that the host sees what it sees when
 * memory runs out at channel start, or when the random source has nothing
 * to give (a generator not yet seeded early in a machine's boot, a sandbox
 * that filters the call out). Only requests made from inside the exit
 * library fail, and only while the tests ask for it; everything else is
 * served by the C library as usual.
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

/* Looked up and set by the tests. While nonzero, the exit's 64-byte
   allocation fails. */
int tarvelo_test_failing_malloc = 1;
/* 0: the random source works; EAGAIN: it is not ready; ENOSYS: the
   getrandom system call does not exist, as on old kernels and in
   sandboxes. */
int tarvelo_test_failing_random = 0;

static int called_from_exit(const void *address) {
    Dl_info info;
    return dladdr(address, &info) != 0 && info.dli_fname != NULL &&
           strstr(info.dli_fname, "libtarvelo") != NULL;
}

void *malloc(size_t size) {
    if (tarvelo_test_failing_malloc && size == 64 &&
        called_from_exit(__builtin_return_address(0))) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(size);
}

/* The exit asks for random bytes with the getrandom system call itself. */
long syscall(long number, ...) {
    va_list ap;
    long a[6];
    va_start(ap, number);
    for (int i = 0; i < 6; ++i) {
        a[i] = va_arg(ap, long);
    }
    va_end(ap);
    if (number == SYS_getrandom && tarvelo_test_failing_random != 0 &&
        called_from_exit(__builtin_return_address(0))) {
        errno = tarvelo_test_failing_random;
        return -1;
    }
    long (*next)(long, ...) = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
