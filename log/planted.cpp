// planted.cpp: see planted.h.
//
// Walking a path one component at a time costs two or three system calls a
// component, where a whole logged line takes four; so the first line of
// each clock second walks its path, and the other lines of that second to
// the same path open it by name as the walk found it may be opened, at no
// cost beyond the open (not even a look at the effective user, which is a
// system call of its own). Only a walk that found the path settled is kept
// (see walked_path): every directory entered and every link followed was
// one that only root or the process's user could replace.
//
// What a kept verdict lets through, for the rest of its second and no
// longer: a change that root or the host's own user makes to the path
// (replacing a directory on it with a link of theirs that leads through
// another user's link, say) is taken without a look; so, for a host that
// changes its effective user while it runs, is what the walk found under
// the user it had then (that user's links followed, that user's files
// taken); and so, should the host itself remove or move away a directory
// of its own on the path from a sticky directory open to all (/tmp), is
// what another user puts in its place. That is acceptable: each needs the
// host's own hand on the path's directories while it logs to them, and
// lasts until the next second; checking for it would cost every line a
// system call. Nothing else another user does is taken: they cannot change
// a settled path's directories; where they may write the directory that
// holds the file (/tmp), the file is opened without following a link, and
// its owner and names are looked at on every line, on the descriptor that
// is written; and a link at the path's end there leaves the path not
// settled (the host may move its link away and another put theirs in its
// place). A path that is not settled (relative, with "..", or through a
// directory that others may write) is walked on every line, and one
// refused is walked again on the next.
#include "log/planted.h"

#include "log/path_walk.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tarvelo {
namespace {

// The exit data's log path is at most 32 bytes, kept whole in a verdict
// after the second it was found in: a verdict is never taken for another
// path, however alike, nor in another second.
constexpr std::size_t path_bytes = 32;
constexpr std::size_t key_words = 1 + path_bytes / 4;
constexpr std::size_t verdict_slots = 16;

// What a verdict holds besides its key; 0 is none.
enum verdict_bits : std::uint32_t {
    verdict_found = 1u,
    directory_sticky_open = 2u, // see walked_path
    directory_open_to_others = 4u,
};

// The second, then the path's bytes, the rest of them zero; and the slot
// the path's hash picks.
struct verdict_key {
    std::uint32_t words[key_words];
    std::size_t slot;
};

// What a walk found: verdict_bits, and the effective user it walked as.
struct verdict {
    std::uint32_t bits;
    std::uint32_t user;
};

// False for a path too long to be kept. `key` comes zeroed.
bool key_of(const char *path, std::time_t now, verdict_key *key) {
    const std::size_t length = strnlen(path, path_bytes + 1);
    if (length > path_bytes) {
        return false;
    }
    key->words[0] = static_cast<std::uint32_t>(now);
    std::memcpy(&key->words[1], path, length);
    std::uint32_t hash = 2166136261u; // FNV-1a
    for (std::size_t i = 0; i < length; ++i) {
        hash = (hash ^ static_cast<unsigned char>(path[i])) * 16777619u;
    }
    key->slot = hash % verdict_slots;
    return true;
}

// One path's verdict, shared by every thread: written by one at a time,
// read by any, and a reader never takes one half written (the sequence is
// odd while it is written, and changed when it is done). Each word is an
// atomic of its own, so no access is a data race.
class verdict_slot {
public:
    // No bits when none is kept for the key.
    verdict find(const verdict_key &key) const {
        const std::uint32_t before = sequence_.load(std::memory_order_acquire);
        bool same = (before & 1u) == 0;
        for (std::size_t i = 0; i < key_words; ++i) {
            same = same && words_[i].load(std::memory_order_relaxed) == key.words[i];
        }
        const verdict found{bits_.load(std::memory_order_relaxed),
                            user_.load(std::memory_order_relaxed)};
        std::atomic_thread_fence(std::memory_order_acquire);
        return same && sequence_.load(std::memory_order_relaxed) == before ? found : verdict{};
    }

    // Kept unless another thread is keeping one here at this moment: that
    // one's is as good.
    void keep(const verdict_key &key, verdict found) {
        std::uint32_t sequence = sequence_.load(std::memory_order_relaxed);
        if ((sequence & 1u) != 0 ||
            !sequence_.compare_exchange_strong(sequence, sequence + 1, std::memory_order_relaxed)) {
            return;
        }
        std::atomic_thread_fence(std::memory_order_release);
        for (std::size_t i = 0; i < key_words; ++i) {
            words_[i].store(key.words[i], std::memory_order_relaxed);
        }
        bits_.store(found.bits, std::memory_order_relaxed);
        user_.store(found.user, std::memory_order_relaxed);
        sequence_.store(sequence + 2, std::memory_order_release);
    }

private:
    std::atomic<std::uint32_t> sequence_{};
    std::atomic<std::uint32_t> words_[key_words]{};
    std::atomic<std::uint32_t> bits_{};
    std::atomic<std::uint32_t> user_{};
};

constinit verdict_slot verdicts[verdict_slots];

// The path opened by name, as a walk in this second found it may be: where
// only root and the process's user may write the file's directory, exactly
// as the walk opened it; elsewhere without following a link in the last
// place (a link there is walked again: ELOOP), and the file looked at as
// the walk looked at it.
int open_as_found(const char *path, int flags, mode_t mode, verdict found) {
    if ((found.bits & directory_open_to_others) == 0) {
        return open(path, flags, mode);
    }
    walked_path where{};
    where.settled = true;
    where.directory_open_to_all_and_sticky = (found.bits & directory_sticky_open) != 0;
    where.directory_writable_by_others = true;
    return kept_if_writable(open(path, flags | O_NOFOLLOW, mode), found.user, where);
}

} // namespace

int open_unplanted(const char *path, int flags, mode_t mode, std::time_t now) {
    verdict_key key{};
    const bool keyed = path[0] == '/' && key_of(path, now, &key);
    const verdict kept = keyed ? verdicts[key.slot].find(key) : verdict{};
    if (kept.bits != 0) {
        const int fd = open_as_found(path, flags, mode, kept);
        if (fd >= 0 || errno != ELOOP) {
            return fd;
        }
    }
    const auto user = static_cast<unsigned>(geteuid());
    walked_path found{};
    const int fd = open_walking(path, flags, mode, user, &found);
    if (fd >= 0 && found.settled && keyed) {
        const std::uint32_t bits =
            verdict_found | (found.directory_open_to_all_and_sticky ? directory_sticky_open : 0u) |
            (found.directory_writable_by_others ? directory_open_to_others : 0u);
        verdicts[key.slot].keep(key, verdict{bits, user});
    }
    return fd;
}

} // namespace tarvelo
