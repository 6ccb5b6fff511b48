// rotated_set.h: a log file and the rotated copies of it that lie beside
// it, as logrotate names them: PATH.1, PATH.2.gz and so on, or with its
// dates, PATH-20261208 and PATH-20261207.gz (PATH-2026120822 when rotated
// hourly), and the PATH-2026120822.backup that logrotate's "create" leaves
// when the exit made the new log before logrotate could.
#ifndef TARVELO_TOOLS_REPORT_ROTATED_SET_H
#define TARVELO_TOOLS_REPORT_ROTATED_SET_H

#include "tools/report/log_input.h"
#include "tools/system/result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelo::tool {

// Where a name stands in the rotated set of the file named `base`, older
// copies higher: 0 for the file itself; none when the name is not one of
// the set. Numbered copies are older the higher their number; dated ones
// older the earlier their date, and are taken as older than any numbered
// one. A .backup copy holds the lines written in the moment of a rotation
// in its hour: younger than the dated copy that rotation made, older than
// the next.
std::optional<unsigned long long> rotation_age(std::string_view name, std::string_view base);

// One copy of a log in its set. While logrotate compresses PATH.1, both
// PATH.1 and PATH.1.gz exist, the second still being written; logrotate
// removes PATH.1 once PATH.1.gz is whole. The two are one copy: `path` is
// the one to read (the uncompressed one when both exist), `twin` the
// compressed one to read instead when `path` is gone by the time it is
// opened, whole by then; empty when there is no twin.
struct rotated_copy {
    std::string path;
    std::string twin;
    unsigned long long age = 0;
};

// The copies of the set of `path` that exist now, oldest first, `path`
// itself last when it exists. None at all is an empty list: a log not yet
// written to, or just moved away by a rotation. A directory that cannot be
// read (missing, mistyped, forbidden) is unusable, and no list is given,
// since an empty one would pass for a quiet log; the trouble says "cannot
// read its directory" and why.
result<std::vector<rotated_copy>> rotated_set(const std::string &path);

// What the files of the set of `path` must be to be read, as the report
// may run with privilege over a directory that others may write. The log
// itself is the one the operator named: a link there is followed only
// when root or the directory's owner made it, and where others may write
// the directory it may have no other name either. Every copy must be a
// regular file, not a link, owned by the log's owner (the directory's
// when the log is missing) or by root, and, where others may write the
// directory, with no other name.
struct set_rules {
    open_rules log;
    open_rules copies;
};
set_rules rules_for_set(const std::string &path);

// The names in `directory` of the file with this inode: a copy of a set
// renamed by a rotation since it was first opened. None where the system
// does not tell.
std::vector<std::string> names_of_inode(const std::string &directory, std::uint64_t inode);

} // namespace tarvelo::tool

#endif
