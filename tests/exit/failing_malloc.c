/*
 * failing_malloc.c: preloaded into the end-to-end tests to make the exit's
 * one allocation fail, so that the host sees what it sees when memory runs
 * out at channel start. Only 64-byte requests made from inside the exit
 * library fail; everything else is served by the C library as usual.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <string.h>

extern void *__libc_malloc(size_t size);

/* Looked up by the tests to know that the allocation will fail. */
int tarvelo_test_failing_malloc = 1;

static int called_from_exit(const void *address) {
    Dl_info info;
    return dladdr(address, &info) != 0 && info.dli_fname != NULL &&
           strstr(info.dli_fname, "libtarvelo") != NULL;
}

void *malloc(size_t size) {
    if (size == 64 && called_from_exit(__builtin_return_address(0))) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(size);
}
