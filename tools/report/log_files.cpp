// log_files.cpp: see log_files.h.
#include "tools/report/log_files.h"

#include "tools/report/log_time.h"
#include "tools/report/rotated_set.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

namespace tarvelo::tool {

// A file to read, as the survey found it.
struct log_files::found_log {
    named_log named;
    file_identity identity;
    bool has_identity = false;
    std::optional<log_time> first;
    std::unique_ptr<log_input> input; // held open since the survey, `head` read
    std::string head;
};

namespace {

using opened = result<std::unique_ptr<log_input>>;

// Enough to hold the first lines of a file, to put a rotated set in order.
constexpr std::size_t head_size = 4096;
// Big reads: a log is read once, start to end, at the speed of the disk.
constexpr std::size_t read_size = std::size_t{1} << 20;

constexpr char standard_input[] = "-";

// Descriptors held open from the survey of the files to their reading,
// for the youngest plain files: a rotation may rename or compress them in
// between. Every other file is opened again when its turn comes, so that
// neither descriptors nor memory grow with the number of files.
constexpr std::size_t held_most = 16;

bool is_gone(const std::string &path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() ==
           std::filesystem::file_type::not_found;
}

bool is_refused(const opened &input) { return !input && input.error().why == cause::refused; }

// Opens a file named for the report. A copy of a rotated set renamed or
// removed since its directory was read gives null (its lines are in the
// next copy, or gone from the set), or its compressed twin, whole now
// that logrotate has removed the copy.
opened open_named(named_log &n) {
    opened input = log_input::open(n.path, n.rules);
    if (input || is_refused(input) || !n.from_set || !is_gone(n.path)) {
        return input;
    }
    if (n.twin.empty() || is_gone(n.twin)) {
        return std::unique_ptr<log_input>();
    }
    n.path = std::move(n.twin);
    n.twin.clear();
    return log_input::open(n.path, n.rules);
}

result<void> read_head(log_files::found_log &log) {
    log.head.resize(head_size);
    std::size_t got = 0;
    while (got < head_size) {
        const result<std::size_t> more = log.input->read(log.head.data() + got, head_size - got);
        if (!more) {
            return more.error();
        }
        if (*more == 0) {
            break;
        }
        got += *more;
    }
    log.head.resize(got);
    log.first = first_time_in(log.head);
    return {};
}

// The file found in the survey, opened again for its turn: by its name, or
// where a rotation has renamed it since, or as its compressed twin. Null
// when it is gone.
opened open_again(log_files::found_log &log) {
    const std::string surveyed = log.named.path;
    opened input = open_named(log.named);
    const auto same = [&log](const std::unique_ptr<log_input> &in) {
        return in != nullptr && (!log.has_identity || in->identity() == log.identity);
    };
    // The twin, taken since the copy is gone, is the copy compressed whole.
    if (!input || *input == nullptr || log.named.path != surveyed || same(*input)) {
        return input;
    }
    const std::filesystem::path path(log.named.path);
    for (const std::string &name :
         names_of_inode(path.parent_path().string(), log.identity.inode)) {
        opened renamed = log_input::open(name, log.named.rules);
        if (renamed ? same(*renamed) : is_refused(renamed)) {
            return renamed;
        }
    }
    // The name leads to another file, and the one surveyed is nowhere in
    // its directory: its lines were compressed into a twin, if it had one.
    if (!log.named.twin.empty() && !is_gone(log.named.twin)) {
        return log_input::open(log.named.twin, log.named.rules);
    }
    return std::unique_ptr<log_input>();
}

result<void> summarise(log_input &input, const std::string &head, const std::string &name,
                       log_summary &summary, std::vector<char> &buffer) {
    summary.begin_input(name == standard_input ? "standard input" : name);
    summary.feed(head.data(), head.size());
    for (;;) {
        const result<std::size_t> got = input.read(buffer.data(), buffer.size());
        if (!got) {
            return got.error();
        }
        if (*got == 0) {
            break;
        }
        summary.feed(buffer.data(), *got);
    }
    summary.end_input();
    return {};
}

} // namespace

result<std::vector<named_log>> rotated_logs(const std::string &path, std::size_t host) {
    result<std::vector<rotated_copy>> set = rotated_set(path);
    if (!set) {
        return set.error();
    }
    const set_rules rules = rules_for_set(path);
    std::vector<named_log> logs;
    for (rotated_copy &copy : *set) {
        const bool log = copy.age == 0;
        logs.push_back({host, std::move(copy.path), std::move(copy.twin), true,
                        log ? rules.log : rules.copies});
    }
    return logs;
}

log_files::log_files() = default;
log_files::log_files(log_files &&) noexcept = default;
log_files &log_files::operator=(log_files &&) noexcept = default;
log_files::~log_files() = default;

// The youngest first, so that those are the ones held open.
result<log_files> log_files::survey(std::vector<named_log> named) {
    log_files files;
    std::set<std::pair<std::uint64_t, std::uint64_t>> identities;
    std::size_t held = 0;
    for (auto n = named.rbegin(); n != named.rend(); ++n) {
        found_log log;
        log.named = std::move(*n);
        opened input = open_named(log.named);
        if (is_refused(input) && log.named.from_set) {
            files.refused_.push_back(input.error().message);
            continue;
        }
        if (!input) {
            return input.error();
        }
        log.input = std::move(*input);
        if (log.input == nullptr) {
            continue;
        }
        if (const std::optional<file_identity> &id = log.input->identity()) {
            if (!identities.emplace(id->device, id->inode).second) {
                continue;
            }
            log.identity = *id;
            log.has_identity = true;
        }
        if (result<void> read = read_head(log); !read) {
            return read.error();
        }
        // Standard input cannot be opened again.
        if (log.named.path == standard_input ||
            (held < held_most && !log.input->compressed() && log.has_identity)) {
            ++held;
        } else {
            log.input.reset();
            std::string().swap(log.head);
        }
        files.logs_.push_back(std::move(log));
    }
    std::reverse(files.logs_.begin(), files.logs_.end());
    std::stable_sort(files.logs_.begin(), files.logs_.end(),
                     [](const found_log &x, const found_log &y) {
                         if (x.named.host != y.named.host) {
                             return x.named.host < y.named.host;
                         }
                         if (!x.first || !y.first) {
                             return x.first.has_value() && !y.first.has_value();
                         }
                         return *x.first < *y.first;
                     });
    return files;
}

bool log_files::includes(const file_identity &file) const {
    return std::any_of(logs_.begin(), logs_.end(), [&file](const found_log &log) {
        return log.has_identity && log.identity == file;
    });
}

result<void> log_files::read_into(log_summary &summary, const std::vector<std::string> &hosts) {
    std::vector<char> buffer(read_size);
    for (const std::string &host : hosts) {
        summary.begin_host(host);
    }
    for (found_log &log : logs_) {
        if (log.input == nullptr) {
            opened input = open_again(log);
            if (is_refused(input)) {
                refused_.push_back(input.error().message);
                continue;
            }
            if (!input) {
                return input.error();
            }
            log.input = std::move(*input);
            if (log.input == nullptr) {
                continue; // gone from the set since the survey
            }
            log.head.clear();
        }
        summary.begin_host(hosts[log.named.host]);
        if (result<void> read = summarise(*log.input, log.head, log.named.path, summary, buffer);
            !read) {
            return read;
        }
        if (log.input->truncated()) {
            truncated_.push_back(log.input->name());
        }
        log.input.reset(); // closed as soon as it is read
        std::string().swap(log.head);
    }
    return {};
}

} // namespace tarvelo::tool
