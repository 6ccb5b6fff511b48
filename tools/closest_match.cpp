// closest_match.cpp: see closest_match.h.
#include "tools/closest_match.h"

#include <algorithm>

namespace tarvelo::tool {
namespace {

// Edits (insert, delete, change, swap two neighbours) from one word to the
// other, ignoring case.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t change = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
                lower(a[i - 2]) == lower(b[j - 1])) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

} // namespace

std::string closest_match(std::string_view word, const std::vector<std::string_view> &candidates) {
    std::string_view prefixed;
    std::size_t prefixes = 0;
    std::string_view nearest;
    std::size_t best = word.size() <= 3 ? 1 : 2;
    for (const std::string_view candidate : candidates) {
        if (word.size() >= 2 && candidate.substr(0, word.size()) == word) {
            prefixed = candidate;
            ++prefixes;
        }
        const std::size_t distance = edit_distance(word, candidate);
        if (distance <= best && (nearest.empty() || distance < best)) {
            nearest = candidate;
            best = distance;
        }
    }
    if (prefixes == 1) {
        return std::string(prefixed);
    }
    return std::string(nearest);
}

} // namespace tarvelo::tool
