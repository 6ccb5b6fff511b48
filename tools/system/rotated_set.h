// rotated_set.h: a log file and the rotated copies of it that lie beside
// it, as logrotate names them: PATH.1, PATH.2.gz and so on, or with its
// dates, PATH-20261208 and PATH-20261207.gz.
#ifndef TARVELO_TOOLS_SYSTEM_ROTATED_SET_H
#define TARVELO_TOOLS_SYSTEM_ROTATED_SET_H

#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace tarvelo::tool {

// Where a name stands in the rotated set of the file named `base`, older
// copies higher: 0 for the file itself; none when the name is not one of
// the set. Numbered copies are older the higher their number; dated ones
// older the earlier their date, and are taken as older than any numbered
// one.
std::optional<unsigned long long> rotation_age(std::string_view name, std::string_view base);

// The files of the set of `path` that exist now, oldest first, `path`
// itself last when it exists. None at all is an empty list: a log not yet
// written to, or just moved away by a rotation. A directory that cannot be
// read (missing, mistyped, forbidden) sets `error`: an empty list then says
// nothing about the log.
std::vector<std::string> rotated_set(const std::string &path, std::error_code &error);

} // namespace tarvelo::tool

#endif
