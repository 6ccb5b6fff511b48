// channel_order.cpp: see channel_order.h.
#include "tools/report/channel_order.h"

#include <algorithm>
#include <string_view>

namespace tarvelo::tool {
namespace {

// The host's place and the first 16 bytes of a name as numbers that order
// as the bytes do.
struct name_key {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::uint32_t index = 0;
    std::uint16_t host = 0;
};

name_key key_of(std::string_view name, std::uint32_t index, std::uint16_t host) {
    name_key key;
    key.index = index;
    key.host = host;
    for (std::size_t i = 0; i < 16 && i < name.size(); ++i) {
        const auto byte = static_cast<std::uint64_t>(static_cast<unsigned char>(name[i]));
        (i < 8 ? key.high : key.low) |= byte << (8 * (7 - i % 8));
    }
    return key;
}

std::uint64_t problems(const log_summary &s, std::size_t i) {
    return s.refusal_total(i) + s.channel(i).open;
}

} // namespace

// The keys are sorted, not the names: a million names compared through the
// summary would each be a cache miss, a key is at hand.
channel_order by_name(const log_summary &s) {
    std::vector<name_key> keys(s.channel_count());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        keys[i] = key_of(s.name(i), static_cast<std::uint32_t>(i), s.channel(i).host);
    }
    std::sort(keys.begin(), keys.end(), [&s](const name_key &a, const name_key &b) {
        if (a.host != b.host) {
            return a.host < b.host;
        }
        if (a.high != b.high) {
            return a.high < b.high;
        }
        if (a.low != b.low) {
            return a.low < b.low;
        }
        return s.name(a.index) < s.name(b.index);
    });
    channel_order sorted(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        sorted[i] = keys[i].index;
    }
    return sorted;
}

// Each channel's rank is worked out once.
channel_order worst_first(const log_summary &s) {
    const channel_order names = by_name(s);
    // 16 bytes: a million of them are held at once.
    struct ranked {
        std::uint64_t problems;
        std::uint32_t position; // in name order
        std::uint16_t host;
        bool flagged;
    };
    std::vector<ranked> ranks(names.size());
    for (std::size_t p = 0; p < names.size(); ++p) {
        ranks[p] = {problems(s, names[p]), static_cast<std::uint32_t>(p), s.channel(names[p]).host,
                    s.flagged(names[p])};
    }
    std::sort(ranks.begin(), ranks.end(), [](const ranked &a, const ranked &b) {
        if (a.host != b.host) {
            return a.host < b.host;
        }
        if (a.flagged != b.flagged) {
            return a.flagged;
        }
        if (a.problems != b.problems) {
            return a.problems > b.problems;
        }
        return a.position < b.position;
    });
    channel_order sorted(ranks.size());
    for (std::size_t i = 0; i < ranks.size(); ++i) {
        sorted[i] = names[ranks[i].position];
    }
    return sorted;
}

channel_order flagged_rows(const log_summary &s, const channel_order &rows) {
    channel_order flagged;
    for (const std::uint32_t i : rows) {
        if (s.flagged(i)) {
            flagged.push_back(i);
        }
    }
    return flagged;
}

} // namespace tarvelo::tool
