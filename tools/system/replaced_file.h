// replaced_file.h: a file written whole under a temporary name beside it,
// then renamed over it, so that a reader (node_exporter's textfile
// collector, say) sees the old file or the new one, never half of one.
#ifndef TARVELO_TOOLS_SYSTEM_REPLACED_FILE_H
#define TARVELO_TOOLS_SYSTEM_REPLACED_FILE_H

#include <cstdio>
#include <string>

namespace tarvelo::tool {

// Throws a failure with exit_system unless `path` is missing or a regular
// file: a rename over a link (/dev/stdout), a device, a FIFO or a directory
// would replace that rather than write to it.
void check_replaceable(const std::string &path);

class replaced_file {
public:
    // Creates the temporary file in the directory of `path`; throws a
    // failure with exit_system when it cannot (a missing directory, say).
    explicit replaced_file(std::string path);
    // Without commit(), the temporary file is removed and `path` is left as
    // it was.
    ~replaced_file();
    replaced_file(const replaced_file &) = delete;
    replaced_file &operator=(const replaced_file &) = delete;

    std::FILE *file() const { return file_; }
    // Flushes the file to the disk, gives it mode 0644 less what the umask
    // takes away, and renames it over `path` if that is still missing or a
    // regular file. Throws a failure with exit_system when any step fails;
    // `path` is then as it was.
    void commit();

private:
    std::string path_;
    std::string temporary_;
    std::FILE *file_ = nullptr;
};

} // namespace tarvelo::tool

#endif
