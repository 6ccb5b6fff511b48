// line_splitter.h: the lines of a file fed in pieces of any size, as the
// report reads them: each whole line handed on as soon as its newline comes,
// a line cut by the end of a piece kept until the rest of it comes.
#ifndef TARVELO_TOOLS_REPORT_LINE_SPLITTER_H
#define TARVELO_TOOLS_REPORT_LINE_SPLITTER_H

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace tarvelo::tool {

class line_splitter {
public:
    // No line of the exit is longer than this; a longer one is not kept
    // whole, and is handed on empty, as no line of the exit.
    static constexpr std::size_t line_max = 2048;

    // Hands `take` each line that ends in `data`, without its newline, the
    // start of the first one kept from the pieces before. Inline: every
    // line of a log passes here.
    template <typename Take> void feed(const char *data, std::size_t size, const Take &take) {
        const char *p = data;
        const char *const end = data + size;
        if (!pending_.empty() || too_long_) {
            const auto *newline = static_cast<const char *>(std::memchr(p, '\n', size));
            const char *stop = newline != nullptr ? newline : end;
            const auto piece = static_cast<std::size_t>(stop - p);
            if (pending_.size() + piece > line_max) {
                too_long_ = true;
            } else {
                pending_.append(p, piece);
            }
            if (newline == nullptr) {
                return;
            }
            take(too_long_ ? std::string_view() : std::string_view(pending_));
            clear();
            p = newline + 1;
        }
        while (p < end) {
            const auto *newline =
                static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            if (newline == nullptr) {
                const auto piece = static_cast<std::size_t>(end - p);
                if (piece > line_max) {
                    too_long_ = true;
                } else {
                    pending_.assign(p, piece);
                }
                return;
            }
            take(std::string_view(p, static_cast<std::size_t>(newline - p)));
            p = newline + 1;
        }
    }

    // What the file holds after its last newline, at its end: none when
    // nothing, empty when it is longer than a line can be.
    std::optional<std::string_view> rest() const {
        if (too_long_) {
            return std::string_view();
        }
        if (pending_.empty()) {
            return std::nullopt;
        }
        return std::string_view(pending_);
    }

    // Nothing kept: for the next file.
    void clear() {
        pending_.clear();
        too_long_ = false;
    }

private:
    std::string pending_; // a line cut by the end of a piece
    bool too_long_ = false;
};

} // namespace tarvelo::tool

#endif
