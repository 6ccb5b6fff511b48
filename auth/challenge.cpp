// challenge.cpp: the challenge the exit sends and the response it expects.
#include "auth/challenge.h"

#include "auth/hex.h"
#include "auth/md5.h"
#include "auth/random.h"
#include "auth/secure.h"

#include <cstring>

namespace tarvelo {
namespace {

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
        const unsigned high = hex_value(text[p]);
        const unsigned low = hex_value(text[p + 1]);
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
    md5_digest(input, sizeof input, digest);
    std::memcpy(out, digest, mark_length);
}

// The response for the first `length` of the `readable` password bytes at
// `password` (length <= readable <= 12). Only `readable` and the challenge text, which
// travels in the clear, may steer the work: the password and its length
// reach nothing but the masked digest, and what follows from it only
// arithmetic.
void respond(const std::uint8_t *password, std::size_t readable, std::size_t length,
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
    // instead of ahead of it.
    md5_digest_secret(password, readable, length, work.password_digest);

    decode_challenge(work.challenge, work.value);

    for (int i = 0; i < md5_digest_length; ++i)
        work.value[i] ^= work.password_digest[i];
    md5_digest(work.value, md5_digest_length, work.value);

    hex_encode(work.value, md5_digest_length, text);
    secure_wipe(&work, sizeof work);
}

} // namespace

void compute_response(const std::uint8_t *password, std::size_t password_length,
                      std::uint8_t *text) {
    // At most 12 by contract: a longer one is cut, never read past.
    const std::size_t length =
        password_length < max_password_length ? password_length : max_password_length;
    respond(password, length, length, text);
}

void compute_response_from_field(const std::uint8_t field[max_password_length],
                                 std::uint8_t *text) {
    respond(field, max_password_length, password_length(field, max_password_length), text);
}

bool make_challenge(std::uint8_t *area) {
    std::uint8_t value[md5_digest_length];
    if (!fill_random(value, random_part)) {
        return false;
    }
    mark(value, value + random_part);
    hex_encode(value, md5_digest_length, area);
    return true;
}

bool is_exit_challenge(const std::uint8_t *text) {
    std::uint8_t value[md5_digest_length];
    decode_challenge(text, value);
    std::uint8_t expected[mark_length];
    mark(value, expected);
    return std::memcmp(expected, value + random_part, mark_length) == 0;
}

} // namespace tarvelo
