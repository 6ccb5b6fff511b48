// timestamp.cpp: see timestamp.h.
#include "log/timestamp.h"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace tarvelo {
namespace {

// A clock second as a stamp; 0 is "never".
constexpr std::uint32_t stamp_of(std::time_t now) {
    return (static_cast<std::uint32_t>(now) << 1) | 1u;
}

// The timestamp text of one clock second, made by the first line of that
// second and copied by the others: local time (under the C library's lock)
// and its text are most of what a line costs beyond its system calls. A
// sequence lock: the version is odd while a line writes the text, and a
// reader that sees it change meanwhile makes its own text instead. No line
// ever waits for another.
class second_text {
public:
    // Copies the text of the second `stamp` into `out`; false when another
    // second is kept, or the text is being written.
    bool copy(std::uint32_t stamp, char out[timestamp_length]) const {
        const std::uint32_t version = version_.load(std::memory_order_acquire);
        if ((version & 1u) != 0 || stamp_.load(std::memory_order_relaxed) != stamp) {
            return false;
        }
        for (std::size_t i = 0; i < words; ++i) {
            const std::uint32_t word = text_[i].load(std::memory_order_relaxed);
            std::memcpy(out + 4 * i, &word, 4);
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        return version_.load(std::memory_order_relaxed) == version;
    }

    // Keeps `text` as the second `stamp`'s, unless another line is at it.
    void keep(std::uint32_t stamp, const char text[timestamp_length]) {
        std::uint32_t version = version_.load(std::memory_order_relaxed);
        if ((version & 1u) != 0 ||
            !version_.compare_exchange_strong(version, version + 1, std::memory_order_relaxed)) {
            return;
        }
        std::atomic_thread_fence(std::memory_order_release);
        stamp_.store(stamp, std::memory_order_relaxed);
        for (std::size_t i = 0; i < words; ++i) {
            std::uint32_t word = 0;
            std::memcpy(&word, text + 4 * i, 4);
            text_[i].store(word, std::memory_order_relaxed);
        }
        version_.store(version + 2, std::memory_order_release);
    }

private:
    static_assert(timestamp_length % 4 == 0);
    static constexpr std::size_t words = timestamp_length / 4;
    std::atomic<std::uint32_t> version_{0};
    std::atomic<std::uint32_t> stamp_{0};
    std::atomic<std::uint32_t> text_[words]{};
};

constinit second_text current_second_text;

#if !defined(_WIN32)
// As ctime does, follow a time zone that the host has changed since the
// last line, but within a second rather than at once: with TZ unset the C
// library looks at /etc/localtime again on every tzset, one system call more
// on every line. Stamped before the zone is read, so that the other threads
// of this second go on with the zone they have.
constinit std::atomic<std::uint32_t> zone_read_in{0};

void follow_time_zone(std::time_t now) {
    const std::uint32_t stamp = stamp_of(now);
    if (zone_read_in.load(std::memory_order_relaxed) != stamp) {
        zone_read_in.store(stamp, std::memory_order_relaxed);
        tzset();
    }
}
#else
// The Windows C runtime reads the zone again only when a program calls
// tzset itself, as a host that changes it does.
void follow_time_zone(std::time_t) {}
#endif

bool local_time(std::time_t when, std::tm *out) {
#if defined(_WIN32)
    return localtime_s(out, &when) == 0;
#else
    return localtime_r(&when, out) != nullptr;
#endif
}

void put_two_digits(char *out, int value) {
    out[0] = static_cast<char>('0' + value / 10 % 10);
    out[1] = static_cast<char>('0' + value % 10);
}

} // namespace

void format_timestamp(std::time_t when, char out[timestamp_length]) {
    std::tm t{};
    if (!local_time(when, &t)) {
        // The epoch, whole: Thursday 1 January 1970.
        t = std::tm{};
        t.tm_mday = 1;
        t.tm_year = 70;
        t.tm_wday = 4;
    }
    // Out-of-range fields can only come from a broken time library; clamp so
    // that the text keeps its 24 characters.
    int wday = t.tm_wday >= 0 && t.tm_wday < 7 ? t.tm_wday : 0;
    int mon = t.tm_mon >= 0 && t.tm_mon < 12 ? t.tm_mon : 0;
    int year = (t.tm_year + 1900) % 10000;
    if (year < 0) {
        year = -year;
    }
    std::memcpy(out, day_names.data() + 3 * wday, 3);
    out[3] = ' ';
    std::memcpy(out + 4, month_names.data() + 3 * mon, 3);
    out[7] = ' ';
    put_two_digits(out + 8, t.tm_mday);
    // Days 1 to 9 are right-aligned behind a blank on every platform, even
    // where the C runtime's own ctime writes a zero: log readers match one
    // layout.
    if (out[8] == '0') {
        out[8] = ' ';
    }
    out[10] = ' ';
    put_two_digits(out + 11, t.tm_hour);
    out[13] = ':';
    put_two_digits(out + 14, t.tm_min);
    out[16] = ':';
    put_two_digits(out + 17, t.tm_sec);
    out[19] = ' ';
    put_two_digits(out + 20, year / 100);
    put_two_digits(out + 22, year);
}

void current_timestamp(std::time_t now, char out[timestamp_length]) {
    const std::uint32_t second = stamp_of(now);
    if (!current_second_text.copy(second, out)) {
        follow_time_zone(now);
        format_timestamp(now, out);
        current_second_text.keep(second, out);
    }
}

} // namespace tarvelo
