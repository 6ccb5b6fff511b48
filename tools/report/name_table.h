// name_table.h: a summary's channels found by name, on every line of a log:
// the names kept in an arena, a hash table of them, and the channels of the
// latest lines found without hashing the whole name. Channels of one name
// on two hosts are two channels: the host's place is part of every key.
#ifndef TARVELO_TOOLS_REPORT_NAME_TABLE_H
#define TARVELO_TOOLS_REPORT_NAME_TABLE_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace tarvelo::tool {

// A channel name as written is at most 80 characters: words of 8 bytes,
// multiplied and mixed, after the host's place.
inline std::size_t name_hash(std::string_view name, std::uint16_t host) {
    std::uint64_t h = name.size() ^ (std::uint64_t{host} << 32);
    for (std::size_t at = 0; at < name.size(); at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, name.data() + at, std::min<std::size_t>(8, name.size() - at));
        h = (h ^ word) * 0x9E3779B97F4A7C15u;
        h ^= h >> 29;
    }
    h *= 0xFF51AFD7ED558CCDu;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

// The first and last eight bytes of a name and its length, mixed: enough
// to tell apart the few channels of the latest lines, at the cost of two
// loads.
inline std::uint64_t fingerprint(std::string_view name, std::uint16_t host) {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    const std::size_t n = std::min<std::size_t>(8, name.size());
    if (n != 0) {
        std::memcpy(&first, name.data(), n);
        std::memcpy(&last, name.data() + name.size() - n, n);
    }
    return first ^ (last * 0xFF51AFD7ED558CCDu) ^ name.size() ^ (std::uint64_t{host} << 40);
}

// The names, in blocks that never move once written; a name never spans
// two blocks. A name's place is 32 bits wide: 2^32 bytes in blocks of
// 2^20, however wide std::size_t is.
class name_arena {
public:
    // Where `name` is kept from now on; none when the arena is full.
    std::optional<std::uint32_t> add(std::string_view name);
    std::string_view at(std::uint32_t place, std::size_t length) const {
        return {blocks_[place / block_size].get() + place % block_size, length};
    }

private:
    static constexpr std::size_t block_size = std::size_t{1} << 20;
    static constexpr std::size_t most_blocks = std::size_t{1} << (32 - 20);

    std::vector<std::unique_ptr<char[]>> blocks_;
    std::size_t used_ = 0; // in the last block
};

// The channels by the hash of their name, open addressing: each slot 0
// (free) or the low 32 bits of the hash above the channel's place plus
// one, never more than half full. The bits kept in the slot let a slot of
// another name be passed over without reading that channel's record, and
// the table grow without hashing any name again.
class slot_table {
public:
    static constexpr std::size_t none = SIZE_MAX;

    // The channel with hash `tag` that `same(place)` takes for the one
    // looked for; else the one `add()` makes (its place), or none when
    // add() makes none or the table can hold no more.
    template <typename Same, typename Add>
    std::size_t find_or_add(std::uint32_t tag, const Same &same, const Add &add) {
        if (2 * (entries_ + 1) > slots_.size() && !grow()) {
            return none;
        }
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t slot = tag & mask;; slot = (slot + 1) & mask) {
            const std::uint64_t taken = slots_[slot];
            if (taken == 0) {
                const std::size_t place = add();
                if (place != none) {
                    slots_[slot] = (std::uint64_t{tag} << 32) | (place + 1);
                    ++entries_;
                }
                return place;
            }
            const auto place = static_cast<std::size_t>(taken & UINT32_MAX) - 1;
            if (static_cast<std::uint32_t>(taken >> 32) == tag && same(place)) {
                return place;
            }
        }
    }

    // No name is looked up any more: the memory goes back.
    void release() { slots_ = {}; }

private:
    // False when the table is as large as its 32-bit keys let it be.
    bool grow();

    std::vector<std::uint64_t> slots_;
    std::size_t entries_ = 0;
};

// The channels of the latest lines, by the fingerprint of their name: a
// host interleaves the lines of a few channels at a time, and these are
// found without hashing the whole name.
class recent_channels {
public:
    struct entry {
        std::uint64_t fingerprint = 0;
        std::uint32_t place = 0; // 1 + the channel's place; 0: empty
    };
    // Where the channel of this fingerprint is kept, if it is.
    entry &slot(std::uint64_t print) {
        return entries_[static_cast<std::size_t>((print * 0x9E3779B97F4A7C15u) >> 58)];
    }
    void clear() { entries_ = {}; }

private:
    std::array<entry, 64> entries_{};
};

} // namespace tarvelo::tool

#endif
