// docgen.h: the parts of the documents that are drawn from the exit's
// tables: the message reference's messages and the manual page's MESSAGES
// section from the catalogue, and the partner protocol guide's table of
// what the exit does with each message from the handshake table.
//
// Each part stands in its document between two marker lines, and the rest
// of the document is left as it is written. The suite compares each
// checked-in document with what these functions make of it, so that a
// changed message or rule fails until the documents are made again.
#ifndef TARVELO_TOOLS_DOCGEN_DOCGEN_H
#define TARVELO_TOOLS_DOCGEN_DOCGEN_H

#include <optional>
#include <string>
#include <string_view>

namespace tarvelo::docgen {

// A document drawn in part from the tables: its path under the source tree,
// and how its parts are made.
struct document {
    const char *path;
    // `text` with each of its generated parts made anew, or nothing when a
    // marker of one is missing.
    std::optional<std::string> (*generate)(std::string_view text);
};

// The message reference, the manual page and the partner protocol guide.
const document *documents_begin();
const document *documents_end();

// The command that makes them again in the source tree, for the messages
// that say they differ.
inline constexpr std::string_view regenerate_command = "cmake --build build --target docs";

} // namespace tarvelo::docgen

#endif
