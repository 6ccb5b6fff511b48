// closest_match.h: the word a user most likely meant, for a suggestion
// after a mistyped command, option or channel name.
#ifndef TARVELO_TOOLS_CLOSEST_MATCH_H
#define TARVELO_TOOLS_CLOSEST_MATCH_H

#include <string>
#include <string_view>
#include <vector>

namespace tarvelo::tool {

// The candidate closest to a mistyped word, or empty when none is close: a
// word that begins only one candidate is taken for it ("resp"); else the
// nearest within one edit for short words, two for longer ones ("deom",
// "--pasword"), case ignored.
std::string closest_match(std::string_view word, const std::vector<std::string_view> &candidates);

} // namespace tarvelo::tool

#endif
