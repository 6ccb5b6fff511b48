// challenge.cpp: the challenge the exit sends and the response it expects.
#include "auth/challenge.h"

#include "auth/md5.h"

#include <cstring>
#include <ctime>

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
    std::memset(work.value, 0, sizeof work.value);

    // The password's digest first: it is one long chain of dependent steps,
    // and the decoding, which does not need it, then runs alongside it
    // instead of ahead of it. The password is at most max_password_length
    // bytes by contract, well inside int16.
    md5_digest(password, static_cast<std::int16_t>(password_length), work.password_digest);

    // Pairs of characters by position: an even position adds its high
    // nibble, an odd one completes the byte. Skipped characters leave the
    // accumulator as it is, so an odd-position one carries the high nibble
    // on to the next pair; whatever is pending at the end is dropped. Only
    // odd positions emit, so there are at most 16 bytes.
    unsigned accumulator = 0;
    std::size_t decoded = 0;
    for (std::size_t p = 0; p < security_text_length; p += 2) {
        const unsigned high = digits.value[work.challenge[p]];
        const unsigned low = digits.value[work.challenge[p + 1]];
        if (high < 16)
            accumulator += 16 * high;
        if (low < 16) {
            work.value[decoded++] = static_cast<std::uint8_t>(accumulator + low);
            accumulator = 0;
        }
    }

    for (int i = 0; i < md5_digest_length; ++i)
        work.value[i] ^= work.password_digest[i];
    md5_digest(work.value, md5_digest_length, work.value);

    to_hex(work.value, text);
    secure_wipe(&work, sizeof work);
}

void make_challenge_from_seed(std::uint32_t seed, std::uint8_t *area) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(seed), static_cast<std::uint8_t>(seed >> 8),
        static_cast<std::uint8_t>(seed >> 16), static_cast<std::uint8_t>(seed >> 24)};
    std::uint8_t digest[md5_digest_length];
    md5_digest(bytes, sizeof bytes, digest);
    std::uint8_t text[security_text_length];
    to_hex(digest, text);
    std::memcpy(area, text, sizeof text);
}

void make_challenge(std::uint8_t *area) {
    // Whatever the clock says, its failure value included: a challenge only
    // has to differ from one second to the next, not be secret.
    make_challenge_from_seed(static_cast<std::uint32_t>(std::time(nullptr)), area);
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
