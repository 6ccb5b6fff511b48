// log_input.h: a log file opened for "tarvelo report", plain or
// gzip-compressed (told by its first bytes, never by its name), read as the
// lines the exit wrote.
#ifndef TARVELO_TOOLS_REPORT_LOG_INPUT_H
#define TARVELO_TOOLS_REPORT_LOG_INPUT_H

#include "tools/system/result.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tarvelo::tool {

// Which file a name leads to: the same file given by two names (a link, a
// path through another directory) is the same identity.
struct file_identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const file_identity &) const = default;
};

// Whether these first bytes of a file begin a gzip member.
bool gzip_magic(std::string_view head);

// What a file must be for the report to read it. Every file is a regular
// file: a FIFO would block the reader (it is opened without waiting, and
// refused), a device such as /dev/zero never ends.
struct open_rules {
    // False for a name found in a directory rather than given: a link
    // there is not followed, since another user may have planted it.
    bool follow_links = true;
    // The only owner, beside root, whose files are read; none: any.
    std::optional<std::uint32_t> owner;
    // A file with more than one name is refused: in a directory that
    // others may write, anyone may link there a file they cannot read.
    bool single_link = false;
};

class log_input {
public:
    // "-" is standard input, which may be a pipe. The trouble names the
    // file, escaped: unusable when it cannot be opened, refused when it is
    // there and readable but not what `rules` allow (not a file the report
    // should read), the system's when its decompression cannot be set up.
    static result<std::unique_ptr<log_input>> open(const std::string &name,
                                                   const open_rules &rules = {});
    ~log_input();
    log_input(const log_input &) = delete;
    log_input &operator=(const log_input &) = delete;

    // As the user named it; "standard input" for "-".
    const std::string &name() const { return shown_; }
    // Null when the system gives files no identity (Windows, a pipe).
    const std::optional<file_identity> &identity() const { return identity_; }
    // Its owner; none for standard input or where the system has none.
    std::optional<std::uint32_t> owner() const { return owner_; }
    bool compressed() const { return inflater_ != nullptr; }
    // Up to `size` bytes of the log, decompressed; fewer only at its end.
    // A read error or damaged compressed data makes the file unusable.
    result<std::size_t> read(char *buffer, std::size_t size);
    // Set after the last read when a compressed file ended in the middle
    // of its data (still being compressed, or cut short): what it held up
    // to there has been read.
    bool truncated() const { return truncated_; }

private:
    struct inflater;

    explicit log_input(std::string shown);
    result<void> start(const std::string &name, const open_rules &rules);
    result<std::size_t> read_raw(char *buffer, std::size_t size);
    result<std::size_t> inflate_some(char *buffer, std::size_t size);

    std::string shown_;
    std::FILE *file_ = nullptr;
    std::optional<file_identity> identity_;
    std::optional<std::uint32_t> owner_;
    std::string head_; // raw bytes read to tell the format, not yet handed on
    std::size_t head_at_ = 0;
    std::unique_ptr<inflater> inflater_;
    bool truncated_ = false;
};

} // namespace tarvelo::tool

#endif
