// challenge.cpp: the challenge the exit sends and the response it expects.
#include "auth/challenge.h"

#include "auth/md5.h"
#include "auth/random.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace tarvelo {
namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";

// The position in hex_digits of each byte once upper-cased, or 0xFF for a
// byte that is no hex digit: upper-casing only changes letters, and of the
// letters only a-f become digits, so they map like A-F.
struct digit_table {
    std::uint8_t value[256];
    constexpr digit_table() : value() {
        for (auto &v : value)
            v = 0xFF;
        for (int i = 0; i < 16; ++i) {
            const char c = hex_digits[i];
            value[static_cast<unsigned char>(c)] = static_cast<std::uint8_t>(i);
            if (c >= 'A')
                value[static_cast<unsigned char>(c - 'A' + 'a')] = static_cast<std::uint8_t>(i);
        }
    }
};
constexpr digit_table digits;

// The two characters of each byte value, so that a digest becomes text with
// one load and one store a byte.
struct hex_table {
    std::uint8_t text[256][2];
    constexpr hex_table() : text() {
        for (int i = 0; i < 256; ++i) {
            text[i][0] = static_cast<std::uint8_t>(hex_digits[i >> 4]);
            text[i][1] = static_cast<std::uint8_t>(hex_digits[i & 15]);
        }
    }
};
constexpr hex_table hex;

void to_hex(const std::uint8_t bytes[md5_digest_length], std::uint8_t *text) {
    for (int i = 0; i < md5_digest_length; ++i)
        std::memcpy(text + 2 * i, hex.text[bytes[i]], 2);
}

// The 16 bytes a challenge text carries. Pairs of characters by position: an
// even position adds its high nibble, an odd one completes the byte.
// Skipped characters leave the accumulator as it is, so an odd-position one
// carries the high nibble on to the next pair; whatever is pending at the
// end is dropped. Only odd positions emit, so there are at most 16 bytes;
// those not decoded are zero. The response and the check for a reflected
// challenge both decode here, so no spelling can tell them apart.
void decode_challenge(const std::uint8_t text[security_text_length],
                      std::uint8_t value[md5_digest_length]) {
    std::memset(value, 0, md5_digest_length);
    unsigned accumulator = 0;
    std::size_t decoded = 0;
    for (std::size_t p = 0; p < security_text_length; p += 2) {
        const unsigned high = digits.value[text[p]];
        const unsigned low = digits.value[text[p + 1]];
        if (high < 16)
            accumulator += 16 * high;
        if (low < 16) {
            value[decoded++] = static_cast<std::uint8_t>(accumulator + low);
            accumulator = 0;
        }
    }
}

// A challenge is 12 random bytes and 4 that mark it as this process's own.
constexpr std::size_t random_part = 12;
constexpr std::size_t mark_length = md5_digest_length - random_part;
constexpr std::size_t key_length = 16;

// The key behind the marks: made from the random source at the process's
// first challenge (never when the library is loaded) and never replaced, so
// every challenge of the process, from any channel and thread, stays
// recognisable. Only the thread that moves the state from absent to making
// writes the key, and it publishes it with the release of ready.
enum : int { key_absent, key_making, key_ready };
std::atomic<int> key_state{key_absent};
std::uint8_t challenge_key[key_length];

// How long a challenge waits for another thread to finish making the key:
// microseconds normally, a time slice if that thread was preempted. A thread
// that never finishes (a host that forked while it was at it) costs this
// process's channels their sign-on, never a hang.
constexpr int key_patience = 10000;

// The key, made first when `make` is set and there is none yet; null when
// there is none, or none can be had.
const std::uint8_t *own_key(bool make) {
    int state = key_state.load(std::memory_order_acquire);
    for (int waited = 0; state != key_ready; ++waited) {
        if (!make || waited > key_patience) {
            return nullptr;
        }
        if (state == key_absent) {
            if (key_state.compare_exchange_strong(state, key_making, std::memory_order_acquire)) {
                const bool made = fill_random(challenge_key, sizeof challenge_key);
                key_state.store(made ? key_ready : key_absent, std::memory_order_release);
                return made ? challenge_key : nullptr;
            }
            continue; // `state` now holds what another thread did
        }
        std::this_thread::yield();
        state = key_state.load(std::memory_order_acquire);
    }
    return challenge_key;
}

// The 4 marking bytes for a challenge's 12 random ones: the start of
// MD5(key || random bytes). One block; the input has a fixed length, so
// nothing can be appended to forge a mark.
void mark(const std::uint8_t key[key_length], const std::uint8_t random[random_part],
          std::uint8_t out[mark_length]) {
    struct {
        std::uint8_t input[key_length + random_part];
        std::uint8_t digest[md5_digest_length];
    } work;
    std::memcpy(work.input, key, key_length);
    std::memcpy(work.input + key_length, random, random_part);
    md5_digest(work.input, static_cast<std::int16_t>(sizeof work.input), work.digest);
    std::memcpy(out, work.digest, mark_length);
    secure_wipe(&work, sizeof work);
}

// Zeroing through a pointer the compiler must read back from memory at every
// call: it cannot know the target is a plain memset of a dead object, so it
// cannot drop the call, nor the stores before it.
void *zero_bytes(void *area, std::size_t length) { return std::memset(area, 0, length); }
void *(*const volatile zeroer)(void *, std::size_t) = zero_bytes;

} // namespace

void compute_response(const std::uint8_t *password, std::size_t password_length,
                      std::uint8_t *text) {
    // Every copy of the secret lives here so that one wipe removes them all.
    struct {
        std::uint8_t challenge[security_text_length];
        std::uint8_t password_digest[md5_digest_length];
        std::uint8_t value[md5_digest_length]; // decoded, XORed, then digested
    } work;
    std::memcpy(work.challenge, text, security_text_length);

    // The password's digest first: it is one long chain of dependent steps,
    // and the decoding, which does not need it, then runs alongside it
    // instead of ahead of it. The password is at most max_password_length
    // bytes by contract, well inside int16.
    md5_digest(password, static_cast<std::int16_t>(password_length), work.password_digest);

    decode_challenge(work.challenge, work.value);

    for (int i = 0; i < md5_digest_length; ++i)
        work.value[i] ^= work.password_digest[i];
    md5_digest(work.value, md5_digest_length, work.value);

    to_hex(work.value, text);
    secure_wipe(&work, sizeof work);
}

bool make_challenge(std::uint8_t *area) {
    const std::uint8_t *key = own_key(true);
    std::uint8_t value[md5_digest_length];
    if (key == nullptr || !fill_random(value, random_part)) {
        return false;
    }
    mark(key, value, value + random_part);
    to_hex(value, area);
    return true;
}

bool is_own_challenge(const std::uint8_t *text) {
    const std::uint8_t *key = own_key(false);
    if (key == nullptr) {
        return false; // no challenge has been made here, so none can come back
    }
    std::uint8_t value[md5_digest_length];
    decode_challenge(text, value);
    std::uint8_t expected[mark_length];
    mark(key, value, expected);
    return equal_in_constant_time(expected, value + random_part, mark_length);
}

void secure_wipe(void *area, std::size_t length) { zeroer(area, length); }

bool equal_in_constant_time(const std::uint8_t *a, const std::uint8_t *b, std::size_t length) {
    // Every byte is looked at whatever the earlier ones were.
    unsigned difference = 0;
    for (std::size_t i = 0; i < length; ++i)
        difference |= static_cast<unsigned>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace tarvelo
