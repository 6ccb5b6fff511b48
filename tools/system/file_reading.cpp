// file_reading.cpp: see file_reading.h.
#include "tools/system/file_reading.h"

#include <algorithm>
#include <cstdio>

#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#endif

namespace tarvelo::tool {

std::optional<std::uint64_t> regular_file_size(const std::string &path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || (status.st_mode & S_IFMT) != S_IFREG) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.st_size);
}

std::optional<regular_file_state> regular_file_state_of(const std::string &path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || (status.st_mode & S_IFMT) != S_IFREG) {
        return std::nullopt;
    }
    return regular_file_state{
        static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
        static_cast<std::uint64_t>(status.st_size), static_cast<std::int64_t>(status.st_mtime)};
}

namespace {

// A regular file opened for reading at `offset`, or null. Checked again
// on the open file: the name may have been replaced in between.
std::FILE *open_regular_at(const std::string &path, std::uint64_t offset) {
    if (!regular_file_size(path)) {
        return nullptr;
    }
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return nullptr;
    }
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || (status.st_mode & S_IFMT) != S_IFREG ||
        std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

} // namespace

std::uint64_t count_lines_from(const std::string &path, std::uint64_t offset) {
    std::FILE *file = open_regular_at(path, offset);
    if (file == nullptr) {
        return 0;
    }
    std::uint64_t lines = 0;
    char buffer[1 << 16];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        lines += static_cast<std::uint64_t>(std::count(buffer, buffer + got, '\n'));
    }
    std::fclose(file);
    return lines;
}

std::string read_tail(const std::string &path, std::uint64_t length) {
    const std::optional<std::uint64_t> size = regular_file_size(path);
    std::FILE *file = size ? open_regular_at(path, *size - std::min(*size, length)) : nullptr;
    std::string text;
    if (file == nullptr) {
        return text;
    }
    char buffer[1 << 16];
    for (std::size_t got;
         text.size() < length && (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer,
                    static_cast<std::size_t>(std::min<std::uint64_t>(got, length - text.size())));
    }
    std::fclose(file);
    return text;
}

std::string read_head(const std::string &path, std::size_t length) {
    std::FILE *file = open_regular_at(path, 0);
    std::string text(length, '\0');
    if (file == nullptr) {
        return {};
    }
    text.resize(std::fread(text.data(), 1, length, file));
    std::fclose(file);
    return text;
}

} // namespace tarvelo::tool
