// posix.h: the POSIX calls the tests use, wherever the exit is built.
//
// On Linux this is just the POSIX headers. On Windows (the 32-bit DLL's
// tests, cross-built with MinGW-w64 and run under Wine) MinGW's runtime has
// most of them; the rest are made here from the C runtime and the Windows
// API, with the meaning the tests rely on and no more:
//   setenv, unsetenv       the C runtime's environment, which its tzset and
//                          localtime read (the exit uses the same msvcrt.dll)
//   mkdtemp                a new directory named from the template
//   lstat                  stat: the tests' scratch trees hold no links
//   sysconf(_SC_PAGESIZE)  the allocation page size
//   mmap, mprotect, munmap anonymous private pages and PROT_NONE guards
//   dlsym(RTLD_DEFAULT)    a name exported by the test program itself
// localtime_r and ctime_r come from MinGW's <time.h> when the tests are
// compiled with _POSIX_THREAD_SAFE_FUNCTIONS (tests/CMakeLists.txt).
#ifndef TARVELO_TESTS_SUPPORT_POSIX_H
#define TARVELO_TESTS_SUPPORT_POSIX_H

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#if !defined(_WIN32)

#include <dirent.h>
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#else

#include <direct.h>
#include <dirent.h>
#include <io.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

inline int setenv(const char *name, const char *value, int overwrite) {
    if (overwrite == 0 && std::getenv(name) != nullptr) {
        return 0;
    }
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

// An empty value removes the variable from the C runtime's environment.
inline int unsetenv(const char *name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

inline char *mkdtemp(char *name_template) {
    const std::size_t length = std::strlen(name_template);
    if (length < 6 || std::strcmp(name_template + length - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    static std::atomic<unsigned> counter{0};
    const unsigned process = static_cast<unsigned>(GetCurrentProcessId());
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const unsigned n = process * 7919u + counter.fetch_add(1) + GetTickCount();
        std::snprintf(name_template + length - 6, 7, "%06x", n & 0xffffffu);
        if (_mkdir(name_template) == 0) {
            return name_template;
        }
        if (errno != EEXIST) {
            return nullptr;
        }
    }
    return nullptr;
}

inline int lstat(const char *path, struct stat *out) { return stat(path, out); }

#define _SC_PAGESIZE 30
inline long sysconf(int name) {
    if (name != _SC_PAGESIZE) {
        errno = EINVAL;
        return -1;
    }
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<long>(info.dwPageSize);
}

#define PROT_NONE 0
#define PROT_READ 1
#define PROT_WRITE 2
#define MAP_PRIVATE 2
#define MAP_ANONYMOUS 0x20
#define MAP_FAILED (reinterpret_cast<void *>(-1))

// Only anonymous private mappings: what the guard-page tests make.
inline void *mmap(void *, std::size_t length, int prot, int flags, int fd, off_t) {
    if (fd != -1 || (flags & MAP_ANONYMOUS) == 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    const DWORD protection = (prot & PROT_WRITE) != 0  ? PAGE_READWRITE
                             : (prot & PROT_READ) != 0 ? PAGE_READONLY
                                                       : PAGE_NOACCESS;
    void *area = VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, protection);
    return area != nullptr ? area : MAP_FAILED;
}

inline int mprotect(void *address, std::size_t length, int prot) {
    const DWORD protection = (prot & PROT_WRITE) != 0  ? PAGE_READWRITE
                             : (prot & PROT_READ) != 0 ? PAGE_READONLY
                                                       : PAGE_NOACCESS;
    DWORD previous = 0;
    return VirtualProtect(address, length, protection, &previous) ? 0 : -1;
}

// The whole mapping is released, as every munmap in the tests asks.
inline int munmap(void *address, std::size_t) {
    return VirtualFree(address, 0, MEM_RELEASE) ? 0 : -1;
}

#define RTLD_DEFAULT nullptr
inline void *dlsym(void *, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA(nullptr), name));
}

#endif

#endif
