// replaced_file.h: a file written whole under a temporary name beside it,
// then renamed over it, so that a reader (node_exporter's textfile
// collector, say) sees the old file or the new one, never half of one.
#ifndef TARVELO_TOOLS_SYSTEM_REPLACED_FILE_H
#define TARVELO_TOOLS_SYSTEM_REPLACED_FILE_H

#include "tools/system/result.h"

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

namespace tarvelo::tool {

// Nothing unless `path` is missing or a regular file: a rename over a link
// (/dev/stdout), a device, a FIFO or a directory would replace that rather
// than write to it. Every trouble of this file is the system's: what was
// made could not be written where it was asked for.
result<void> check_replaceable(const std::string &path);

class replaced_file {
public:
    // Creates the temporary file in the directory of `path`, or says why it
    // cannot (a missing directory, say).
    static result<std::unique_ptr<replaced_file>> create(std::string path);
    // Without commit(), the temporary file is removed and `path` is left as
    // it was.
    ~replaced_file();
    replaced_file(const replaced_file &) = delete;
    replaced_file &operator=(const replaced_file &) = delete;

    std::FILE *file() const { return file_; }
    // Flushes the file to the disk, gives it mode 0644 less what the umask
    // takes away, and renames it over `path` if that is still missing or a
    // regular file. When any step fails, `path` is as it was.
    result<void> commit();

private:
    replaced_file(std::string path, std::string temporary, std::FILE *file)
        : path_(std::move(path)), temporary_(std::move(temporary)), file_(file) {}

    std::string path_;
    std::string temporary_;
    std::FILE *file_ = nullptr;
};

} // namespace tarvelo::tool

#endif
