/* MAP_FIXED_NOREPLACE for 32-bit programs under Debian 12's qemu-i386 (7.2),
 * preloaded into Wine's 32-bit processes by scripts/ci-windows.sh.
 *
 * At start-up Wine reserves most of a 32-bit address space in halves, then
 * quarters, and so on, asking with MAP_FIXED_NOREPLACE for each piece
 * exactly where it wants it: the kernel maps it there or fails. That qemu
 * does not know the flag and takes the address as a mere hint: where the
 * piece is taken, it searches the guest's address space page by page for
 * room elsewhere and maps the piece there. Wine's first pieces, misplaced
 * so, fill the upper address space, and every later piece is then searched
 * for in vain: some 28,000 searches, about two minutes of processor time in
 * every Wine process before it runs (seen with qemu's strace and perf, 97%
 * of the time in qemu's mmap_find_vma and page_get_flags), so that the test
 * suite could not run in the time CI has.
 *
 * Here a piece that did not land where it was asked for is unmapped and
 * refused with EEXIST, as the kernel refuses it. Every other mapping is
 * passed on untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <sys/mman.h>
#include <sys/types.h>

typedef void *mmap_function(void *, size_t, int, int, int, off_t);
typedef void *mmap64_function(void *, size_t, int, int, int, off64_t);

static void *as_the_kernel_would(void *wanted, void *mapped, size_t length, int flags) {
    if (!(flags & MAP_FIXED_NOREPLACE) || mapped == MAP_FAILED || mapped == wanted) {
        return mapped;
    }
    munmap(mapped, length);
    errno = EEXIST;
    return MAP_FAILED;
}

void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    static mmap_function *next;
    if (next == NULL) {
        next = (mmap_function *)dlsym(RTLD_NEXT, "mmap");
    }
    return as_the_kernel_would(address, next(address, length, protection, flags, fd, offset),
                               length, flags);
}

void *mmap64(void *address, size_t length, int protection, int flags, int fd, off64_t offset) {
    static mmap64_function *next;
    if (next == NULL) {
        next = (mmap64_function *)dlsym(RTLD_NEXT, "mmap64");
    }
    return as_the_kernel_would(address, next(address, length, protection, flags, fd, offset),
                               length, flags);
}
