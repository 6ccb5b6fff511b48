// library_path.cpp: see library_path.h.
#include "tools/system/library_path.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tarvelo::tool {
namespace {

// Where this program's file lies, to find an installed library beside it.
std::string executable_directory() {
#if defined(_WIN32)
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path, length);
    const std::size_t slash = text.find_last_of("\\/");
#else
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return {};
    }
    std::string text(path, static_cast<std::size_t>(length));
    const std::size_t slash = text.rfind('/');
#endif
    return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

} // namespace

std::string default_library_path() {
    const std::string directory = executable_directory();
    const std::string path =
        (directory.empty() ? std::string(".") : directory) + "/" + TARVELO_EXIT_FROM_PROGRAM;
#if !defined(_WIN32)
    // Shown to the user: "/usr/lib/...", not "/usr/bin/../lib/...".
    if (char *canonical = realpath(path.c_str(), nullptr)) {
        std::string shown = canonical;
        std::free(canonical);
        return shown;
    }
#endif
    return path;
}

} // namespace tarvelo::tool
