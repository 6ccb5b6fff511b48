// log_input.cpp: see log_input.h.
#include "tools/report/log_input.h"

#include "tools/system/shown_text.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif
#if TARVELO_HAVE_ZLIB
#include <zlib.h>
#endif

namespace tarvelo::tool {
namespace {

constexpr char standard_input[] = "-";
// Compressed bytes taken from the file at a time.
constexpr std::size_t compressed_piece = std::size_t{1} << 16;

trouble read_failure(const std::string &shown, const char *what) {
    return {cause::unusable,
            std::string("cannot ") + what + " " + shown + ": " + std::strerror(errno)};
}

#if !defined(_WIN32)
// What kind of file a mode is, for a refusal.
const char *kind_of(unsigned mode) {
    switch (mode & S_IFMT) {
    case S_IFDIR:
        return "a directory";
    case S_IFCHR:
        return "a device";
#if defined(S_IFIFO)
    case S_IFIFO:
        return "a FIFO";
#endif
#if defined(S_IFSOCK)
    case S_IFSOCK:
        return "a socket";
#endif
#if defined(S_IFBLK)
    case S_IFBLK:
        return "a device";
#endif
    default:
        return "not a regular file";
    }
}
#endif

// Opens a log as `rules` allow, never waiting: a FIFO opened to read
// without O_NONBLOCK waits for a writer for ever. What is judged is the
// file opened, never the name looked at before: the name may be replaced
// in between.
result<std::FILE *> open_log(const std::string &name, const std::string &shown,
                             const open_rules &rules, std::optional<std::uint32_t> &owner) {
#if defined(_WIN32)
    (void)rules;
    (void)owner;
    errno = 0;
    std::FILE *file = std::fopen(name.c_str(), "rb");
    if (file == nullptr) {
        return read_failure(shown, "open");
    }
    return file;
#else
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (rules.follow_links ? 0 : O_NOFOLLOW);
    errno = 0;
    const int descriptor = open(name.c_str(), flags);
    if (descriptor < 0) {
        if (errno == ELOOP && !rules.follow_links) {
            return trouble{cause::refused, shown + " is a symbolic link"};
        }
        return read_failure(shown, "open");
    }
    struct stat status {};
    std::string refusal;
    if (fstat(descriptor, &status) != 0) {
        refusal = "cannot be examined";
    } else if ((status.st_mode & S_IFMT) != S_IFREG) {
        refusal = std::string("is ") + kind_of(status.st_mode);
    } else if (rules.owner && status.st_uid != *rules.owner && status.st_uid != 0) {
        refusal =
            "belongs to user " + std::to_string(status.st_uid) + ", not to the owner of the log";
    } else if (rules.single_link && status.st_nlink > 1) {
        refusal = "has another name (a hard link) in a directory that others may write";
    }
    if (!refusal.empty()) {
        close(descriptor);
        return trouble{cause::refused, shown + " " + refusal};
    }
    owner = static_cast<std::uint32_t>(status.st_uid);
    std::FILE *file = fdopen(descriptor, "rb");
    if (file == nullptr) {
        const int error = errno;
        close(descriptor);
        errno = error;
        return read_failure(shown, "open");
    }
    return file;
#endif
}

// Which file is open: the device and the inode, or on Windows the volume
// and the file's index, which Windows gives no stat() of.
std::optional<file_identity> identity_of(std::FILE *file) {
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || (status.st_mode & S_IFMT) != S_IFREG) {
        return std::nullopt;
    }
#if defined(_WIN32)
    BY_HANDLE_FILE_INFORMATION info{};
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE || GetFileInformationByHandle(handle, &info) == 0) {
        return std::nullopt;
    }
    return file_identity{info.dwVolumeSerialNumber,
                         (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
#else
    return file_identity{static_cast<std::uint64_t>(status.st_dev),
                         static_cast<std::uint64_t>(status.st_ino)};
#endif
}

} // namespace

bool gzip_magic(std::string_view head) {
    return head.size() >= 2 && static_cast<unsigned char>(head[0]) == 0x1f &&
           static_cast<unsigned char>(head[1]) == 0x8b;
}

#if TARVELO_HAVE_ZLIB
struct log_input::inflater {
    z_stream stream{};
    std::vector<char> in = std::vector<char>(compressed_piece);
    bool ended = false;     // the raw file has no more bytes
    bool in_member = false; // a member has begun and not yet ended
    ~inflater() { inflateEnd(&stream); }
};
#else
struct log_input::inflater {};
#endif

log_input::log_input(std::string shown) : shown_(std::move(shown)) {}

result<std::unique_ptr<log_input>> log_input::open(const std::string &name,
                                                   const open_rules &rules) {
    std::unique_ptr<log_input> input(
        new log_input(name == standard_input ? "standard input" : shown_text(name)));
    if (result<void> started = input->start(name, rules); !started) {
        return started.error();
    }
    return input;
}

result<void> log_input::start(const std::string &name, const open_rules &rules) {
    if (name == standard_input) {
#if defined(_WIN32)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        file_ = stdin;
    } else {
        result<std::FILE *> opened = open_log(name, shown_, rules, owner_);
        if (!opened) {
            return opened.error();
        }
        file_ = *opened;
    }
    // The reads are large; a second buffer in the C library would only
    // copy every byte once more.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    identity_ = identity_of(file_);
    // The first two bytes tell the format; a pipe may give one at a time.
    char magic[2] = {};
    std::size_t got = 0;
    for (std::size_t more = 1; got < sizeof magic && more != 0; got += more) {
        result<std::size_t> read = read_raw(magic + got, sizeof magic - got);
        if (!read) {
            return read.error();
        }
        more = *read;
    }
    head_.assign(magic, got);
    if (!gzip_magic(head_)) {
        return {};
    }
#if TARVELO_HAVE_ZLIB
    inflater_ = std::make_unique<inflater>();
    // A gzip header and trailer around each member; no other format.
    if (inflateInit2(&inflater_->stream, 16 + MAX_WBITS) != Z_OK) {
        return trouble{cause::system, "cannot set up the decompression of " + shown_};
    }
    return {};
#else
    return trouble{cause::unusable,
                   shown_ + " is compressed: compressed logs are not supported in this build"};
#endif
}

log_input::~log_input() {
    if (file_ != nullptr && file_ != stdin) {
        std::fclose(file_);
    }
}

result<std::size_t> log_input::read_raw(char *buffer, std::size_t size) {
    std::size_t got = 0;
    if (head_at_ < head_.size()) {
        got = std::min(size, head_.size() - head_at_);
        std::memcpy(buffer, head_.data() + head_at_, got);
        head_at_ += got;
        if (got == size) {
            return got;
        }
    }
    errno = 0;
    const std::size_t more = std::fread(buffer + got, 1, size - got, file_);
    if (more < size - got && std::ferror(file_) != 0) {
        return read_failure(shown_, "read");
    }
    return got + more;
}

result<std::size_t> log_input::read(char *buffer, std::size_t size) {
    if (inflater_ == nullptr) {
        std::size_t got = 0;
        // A pipe hands over what it holds: a short read is the end only
        // when nothing comes.
        while (got < size) {
            const result<std::size_t> more = read_raw(buffer + got, size - got);
            if (!more) {
                return more;
            }
            if (*more == 0) {
                break;
            }
            got += *more;
        }
        return got;
    }
    return inflate_some(buffer, size);
}

#if TARVELO_HAVE_ZLIB
result<std::size_t> log_input::inflate_some(char *buffer, std::size_t size) {
    const auto damaged = [this](const char *why) {
        return trouble{cause::unusable, "cannot read " + shown_ +
                                            ": its compressed data is damaged" +
                                            (why != nullptr ? std::string(" (") + why + ")" : "")};
    };
    inflater &z = *inflater_;
    z_stream &s = z.stream;
    s.next_out = reinterpret_cast<Bytef *>(buffer);
    s.avail_out = static_cast<uInt>(size);
    while (s.avail_out != 0) {
        if (s.avail_in == 0 && !z.ended) {
            const result<std::size_t> got = read_raw(z.in.data(), z.in.size());
            if (!got) {
                return got;
            }
            z.ended = *got == 0;
            s.next_in = reinterpret_cast<Bytef *>(z.in.data());
            s.avail_in = static_cast<uInt>(*got);
        }
        if (s.avail_in == 0 && z.ended) {
            // The end of the file: whole if no member was left open.
            truncated_ = z.in_member;
            break;
        }
        z.in_member = true;
        const int inflated = inflate(&s, Z_NO_FLUSH);
        if (inflated == Z_STREAM_END) {
            // gzip allows members one after another (a log compressed
            // piece by piece, or files put together with cat): each is read.
            z.in_member = false;
            if (inflateReset(&s) != Z_OK) {
                return damaged(nullptr);
            }
            continue;
        }
        if (inflated == Z_BUF_ERROR && s.avail_in == 0) {
            continue; // needs more input
        }
        if (inflated != Z_OK) {
            return damaged(s.msg);
        }
    }
    return size - s.avail_out;
}
#else
result<std::size_t> log_input::inflate_some(char * /*buffer*/, std::size_t /*size*/) {
    return std::size_t{0};
}
#endif

} // namespace tarvelo::tool
