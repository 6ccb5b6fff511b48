// log_files.h: the files a report reads, from the names given for them to
// their lines in a summary. Every file is opened once first, to put each
// host's files in order by the time of their first line and to keep a file
// named twice once; then each is read in turn, opened again where a
// rotation has renamed or compressed it in between.
#ifndef TARVELO_TOOLS_REPORT_LOG_FILES_H
#define TARVELO_TOOLS_REPORT_LOG_FILES_H

#include "tools/report/log_input.h"
#include "tools/report/summary.h"
#include "tools/system/result.h"

#include <cstddef>
#include <string>
#include <vector>

namespace tarvelo::tool {

// A file named for the report or found in a rotated set, and the host it
// belongs to.
struct named_log {
    std::size_t host = 0;  // its place among the hosts named
    std::string path;      // "-" is standard input
    std::string twin;      // the compressed copy of the same lines, if any
    bool from_set = false; // one of a rotated set, found a moment ago
    open_rules rules;
};

// The copies of the rotated set of `path` that exist now, as files of
// `host`, each with the rules its directory asks for (see rotated_set).
result<std::vector<named_log>> rotated_logs(const std::string &path, std::size_t host);

class log_files {
public:
    // Every file opened once, its first lines read, and closed again unless
    // it is one of the youngest plain files, which stay open for their turn.
    // The same file by another name (a link, the log given beside its
    // rotated set) is kept once: its lines would count twice. A file of a
    // set that is no log, or that its directory's rules refuse, is left
    // out and named in refused(). The trouble is that of the first file
    // named that cannot be opened or read, or that the rules refuse.
    static result<log_files> survey(std::vector<named_log> named);

    // Whether `file` is one of the files to read.
    bool includes(const file_identity &file) const;

    // Feeds every file to `summary`, each host's together in the order of
    // `hosts` (the hosts named, in order), and each host's oldest first, so
    // that bursts and starts without a close are seen in the order they
    // happened; a file with no timestamp at all goes last. Each is closed
    // as soon as it is read. The trouble is that of a file that cannot be
    // opened again or read.
    result<void> read_into(log_summary &summary, const std::vector<std::string> &hosts);

    // Why each file of a rotated set left out was refused, the file named.
    const std::vector<std::string> &refused() const { return refused_; }
    // The compressed files that ended in the middle of their data, as
    // log_input names them: only the lines before were read.
    const std::vector<std::string> &truncated() const { return truncated_; }

    log_files(log_files &&) noexcept;
    log_files &operator=(log_files &&) noexcept;
    ~log_files();

    // What the survey keeps of a file until its turn.
    struct found_log;

private:
    log_files();

    std::vector<found_log> logs_;
    std::vector<std::string> refused_;
    std::vector<std::string> truncated_;
};

} // namespace tarvelo::tool

#endif
