// challenge.cpp: the challenge the exit sends and the response it expects.
#include "auth/challenge.h"

#include "auth/md5.h"
#include "auth/random.h"

#include <cstring>

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

// A challenge is 12 random bytes and 4 that mark it as an exit's.
constexpr std::size_t random_part = 12;
constexpr std::size_t mark_length = md5_digest_length - random_part;

// Put before the random bytes in the digest that gives the mark, so that a
// partner's own scheme (a digest of 12 bytes of its own, say) does not make
// marks by accident.
constexpr std::uint8_t mark_prefix[16] = {'T', 'A', 'R', 'V', 'E', 'L', 'O', ' ',
                                          'c', 'h', 'a', 'l', 'l', 'e', 'n', 'g'};

// The 4 marking bytes for a challenge's 12 random ones: the start of
// MD5(prefix || random bytes), one block. The mark is no secret, and needs
// none: the exit refuses whatever carries one, and the challenge an
// impersonator wants answered always does. Being the same in every
// process, it lets every exit know every other exit's challenges, not only
// its own: another host's exit that holds the same password refuses to
// answer this one's challenge too.
void mark(const std::uint8_t random[random_part], std::uint8_t out[mark_length]) {
    std::uint8_t input[sizeof mark_prefix + random_part];
    std::memcpy(input, mark_prefix, sizeof mark_prefix);
    std::memcpy(input + sizeof mark_prefix, random, random_part);
    std::uint8_t digest[md5_digest_length];
    md5_digest(input, static_cast<std::int16_t>(sizeof input), digest);
    std::memcpy(out, digest, mark_length);
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
    std::uint8_t value[md5_digest_length];
    if (!fill_random(value, random_part)) {
        return false;
    }
    mark(value, value + random_part);
    to_hex(value, area);
    return true;
}

bool is_exit_challenge(const std::uint8_t *text) {
    std::uint8_t value[md5_digest_length];
    decode_challenge(text, value);
    std::uint8_t expected[mark_length];
    mark(value, expected);
    return std::memcmp(expected, value + random_part, mark_length) == 0;
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
