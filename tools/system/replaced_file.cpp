// replaced_file.cpp: see replaced_file.h.
#include "tools/system/replaced_file.h"

#include "tools/system/shown_text.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tarvelo::tool {
namespace {

// The temporary name hides the file and does not end as the file does, so
// that a collector that reads every "*.prom" of the directory skips it.
std::string temporary_pattern(const std::string &path) {
    const std::filesystem::path whole(path);
    return (whole.parent_path() / ("." + whole.filename().string() + ".XXXXXX")).string();
}

std::string system_error_text() { return std::strerror(errno); }

// Why `path` may not be replaced; empty when it may.
std::string not_replaceable(const std::string &path) {
#if defined(_WIN32)
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || (status.st_mode & S_IFMT) == S_IFREG) {
        return {};
    }
    return "it is not a regular file";
#else
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        return {};
    }
    switch (status.st_mode & S_IFMT) {
    case S_IFREG:
        return {};
    case S_IFLNK:
        return "it is a symbolic link";
    case S_IFDIR:
        return "it is a directory";
    case S_IFIFO:
        return "it is a FIFO";
    case S_IFCHR:
    case S_IFBLK:
        return "it is a device";
    default:
        return "it is not a regular file";
    }
#endif
}

#if defined(_WIN32)
int make_temporary(std::string &name) {
    // The X's become a unique suffix; the file is made only if it is new.
    if (_mktemp_s(name.data(), name.size() + 1) != 0) {
        return -1;
    }
    return _open(name.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
}
#else
int make_temporary(std::string &name) { return mkstemp(name.data()); }
#endif

} // namespace

result<void> check_replaceable(const std::string &path) {
    const std::string why = not_replaceable(path);
    if (!why.empty()) {
        return trouble{cause::system, "cannot write " + shown_text(path) + ": " + why +
                                          ", and only a regular file is replaced"};
    }
    return {};
}

result<std::unique_ptr<replaced_file>> replaced_file::create(std::string path) {
    std::string temporary = temporary_pattern(path);
    errno = 0;
    const int descriptor = make_temporary(temporary);
    if (descriptor < 0) {
        return trouble{cause::system, "cannot write " + shown_text(path) +
                                          ": cannot create a file beside it (" +
                                          system_error_text() + ")"};
    }
    std::FILE *file = fdopen(descriptor, "wb");
    if (file == nullptr) {
        const std::string why = system_error_text();
#if defined(_WIN32)
        _close(descriptor);
#else
        close(descriptor);
#endif
        std::remove(temporary.c_str());
        return trouble{cause::system, "cannot write " + shown_text(path) + ": " + why};
    }
    return std::unique_ptr<replaced_file>(
        new replaced_file(std::move(path), std::move(temporary), file));
}

replaced_file::~replaced_file() {
    if (file_ != nullptr) {
        std::fclose(file_);
        std::remove(temporary_.c_str());
    }
}

result<void> replaced_file::commit() {
    // Every failure leaves `path` as it was, and no temporary file beside it.
    const auto unwritten = [this](const std::string &why) {
        std::remove(temporary_.c_str());
        return trouble{cause::system,
                       "cannot write " + shown_text(path_) + ": " + why + "; it is left as it was"};
    };
    const auto fail = [this, &unwritten](const std::string &why) {
        std::fclose(file_);
        file_ = nullptr;
        return unwritten(why);
    };
    errno = 0;
    if (std::fflush(file_) != 0 || std::ferror(file_) != 0) {
        return fail(errno != 0 ? system_error_text() : "a write failed");
    }
#if !defined(_WIN32)
    // The file made by mkstemp is the owner's alone; a report is for its
    // readers too, as a file made by the shell would be.
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fileno(file_), static_cast<mode_t>(0644 & ~mask)) != 0 ||
        fsync(fileno(file_)) != 0) {
        return fail(system_error_text());
    }
#else
    if (_commit(_fileno(file_)) != 0) {
        return fail(system_error_text());
    }
#endif
    if (std::fclose(file_) != 0) {
        file_ = nullptr;
        return unwritten(system_error_text());
    }
    file_ = nullptr;
    // The name may have been replaced while the report was made.
    const std::string kind = not_replaceable(path_);
    if (!kind.empty()) {
        return unwritten(kind + ", and only a regular file is replaced");
    }
#if defined(_WIN32)
    const bool renamed =
        MoveFileExA(temporary_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    const bool renamed = std::rename(temporary_.c_str(), path_.c_str()) == 0;
#endif
    if (!renamed) {
        return unwritten(system_error_text());
    }
    return {};
}

} // namespace tarvelo::tool
