// md5.cpp: RFC 1321 MD5, written for a short dependency chain.
//
// Each of the 64 steps is a = b + rotl(a + f(b, c, d) + m + k, s), and the
// next step needs the new a at once, so the time per block is the sum of the
// latencies from b to the new a. Everything that does not depend on b (the
// message word, the constant, the old a and any part of f that involves only
// c and d) is added first, while the previous step is still in flight.
#include "auth/md5.h"

#include "auth/secure.h"

#include <bit>
#include <cstddef>
#include <cstring>

namespace tarvelo {
namespace {

// Message words are read straight from the block each time a step needs one
// (on little-endian machines a plain load the compiler folds into the add).
// No copy of the block is made, so there is none to wipe: the input stays
// where the caller put it, and the partial block in the context is wiped by
// md5_final. Compilers may still spill words to the stack; portable code
// cannot prevent that, which is why the secrets digested here are short and
// the handshake wipes its own copies.
inline std::uint32_t word(const std::uint8_t *block, int index) {
    const std::uint8_t *p = block + 4 * index;
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t w;
        std::memcpy(&w, p, sizeof w);
        return w;
    } else {
        return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
               static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    }
}

// F selects c or d by b. Only the AND with b and the XOR with d follow b;
// c ^ d is ready early, c and d being older words. (The form that adds
// b & c and ~b & d is no shorter after b and takes more instructions.)
#define TARVELO_MD5_F(a, b, c, d, m, k, s)                                                         \
    (a) += (m) + (k);                                                                              \
    (a) += (((c) ^ (d)) & (b)) ^ (d);                                                              \
    (a) = std::rotl((a), (s)) + (b)

// G selects b or c by d. The two halves have no bits in common, so they may
// be added rather than ORed, and c & ~d goes in before b is known: one AND
// and one add after b.
#define TARVELO_MD5_G(a, b, c, d, m, k, s)                                                         \
    (a) += (m) + (k);                                                                              \
    (a) += (c) & ~(d);                                                                             \
    (a) += (b) & (d);                                                                              \
    (a) = std::rotl((a), (s)) + (b)

// H: c ^ d is ready early, one XOR after b.
#define TARVELO_MD5_H(a, b, c, d, m, k, s)                                                         \
    (a) += (m) + (k);                                                                              \
    (a) += ((c) ^ (d)) ^ (b);                                                                      \
    (a) = std::rotl((a), (s)) + (b)

// I: ~d is ready early; OR and XOR after b.
#define TARVELO_MD5_I(a, b, c, d, m, k, s)                                                         \
    (a) += (m) + (k);                                                                              \
    (a) += (c) ^ ((b) | ~(d));                                                                     \
    (a) = std::rotl((a), (s)) + (b)

// The 64 constants: the integer part of 2^32 * |sin(i)|, i = 1 to 64.
constexpr std::uint32_t sine[64] = {
    0xd76aa478u, 0xe8c7b756u, 0x242070dbu, 0xc1bdceeeu, 0xf57c0fafu, 0x4787c62au, 0xa8304613u,
    0xfd469501u, 0x698098d8u, 0x8b44f7afu, 0xffff5bb1u, 0x895cd7beu, 0x6b901122u, 0xfd987193u,
    0xa679438eu, 0x49b40821u, 0xf61e2562u, 0xc040b340u, 0x265e5a51u, 0xe9b6c7aau, 0xd62f105du,
    0x02441453u, 0xd8a1e681u, 0xe7d3fbc8u, 0x21e1cde6u, 0xc33707d6u, 0xf4d50d87u, 0x455a14edu,
    0xa9e3e905u, 0xfcefa3f8u, 0x676f02d9u, 0x8d2a4c8au, 0xfffa3942u, 0x8771f681u, 0x6d9d6122u,
    0xfde5380cu, 0xa4beea44u, 0x4bdecfa9u, 0xf6bb4b60u, 0xbebfbc70u, 0x289b7ec6u, 0xeaa127fau,
    0xd4ef3085u, 0x04881d05u, 0xd9d4d039u, 0xe6db99e5u, 0x1fa27cf8u, 0xc4ac5665u, 0xf4292244u,
    0x432aff97u, 0xab9423a7u, 0xfc93a039u, 0x655b59c3u, 0x8f0ccc92u, 0xffeff47du, 0x85845dd1u,
    0x6fa87e4fu, 0xfe2ce6e0u, 0xa3014314u, 0x4e0811a1u, 0xf7537e82u, 0xbd3af235u, 0x2ad7d2bbu,
    0xeb86d391u,
};

// gcc adds a step's constant to its message word and old a, off the chain.
// clang moves constants to the end of a sum, after f, which puts an add on
// the chain of every step (about a sixth slower). It keeps them where they
// are written when they are loads from a table it cannot see into: the
// pointer is read through a volatile once per block.
#if defined(__clang__)
const std::uint32_t *const volatile sine_table = sine;
#define TARVELO_MD5_K(i) sines[i]
#else
#define TARVELO_MD5_K(i) sine[i]
#endif

// Digests `blocks` whole 64-byte blocks. The state stays in registers from
// one block to the next, which is what long streams spend their time in.
void md5_blocks(std::uint32_t state[4], const std::uint8_t *in, std::size_t blocks) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; blocks != 0; --blocks, in += md5_block_length) {
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
#if defined(__clang__)
        const std::uint32_t *sines = sine_table;
#endif

        TARVELO_MD5_F(a, b, c, d, word(in, 0), TARVELO_MD5_K(0), 7);
        TARVELO_MD5_F(d, a, b, c, word(in, 1), TARVELO_MD5_K(1), 12);
        TARVELO_MD5_F(c, d, a, b, word(in, 2), TARVELO_MD5_K(2), 17);
        TARVELO_MD5_F(b, c, d, a, word(in, 3), TARVELO_MD5_K(3), 22);
        TARVELO_MD5_F(a, b, c, d, word(in, 4), TARVELO_MD5_K(4), 7);
        TARVELO_MD5_F(d, a, b, c, word(in, 5), TARVELO_MD5_K(5), 12);
        TARVELO_MD5_F(c, d, a, b, word(in, 6), TARVELO_MD5_K(6), 17);
        TARVELO_MD5_F(b, c, d, a, word(in, 7), TARVELO_MD5_K(7), 22);
        TARVELO_MD5_F(a, b, c, d, word(in, 8), TARVELO_MD5_K(8), 7);
        TARVELO_MD5_F(d, a, b, c, word(in, 9), TARVELO_MD5_K(9), 12);
        TARVELO_MD5_F(c, d, a, b, word(in, 10), TARVELO_MD5_K(10), 17);
        TARVELO_MD5_F(b, c, d, a, word(in, 11), TARVELO_MD5_K(11), 22);
        TARVELO_MD5_F(a, b, c, d, word(in, 12), TARVELO_MD5_K(12), 7);
        TARVELO_MD5_F(d, a, b, c, word(in, 13), TARVELO_MD5_K(13), 12);
        TARVELO_MD5_F(c, d, a, b, word(in, 14), TARVELO_MD5_K(14), 17);
        TARVELO_MD5_F(b, c, d, a, word(in, 15), TARVELO_MD5_K(15), 22);

        TARVELO_MD5_G(a, b, c, d, word(in, 1), TARVELO_MD5_K(16), 5);
        TARVELO_MD5_G(d, a, b, c, word(in, 6), TARVELO_MD5_K(17), 9);
        TARVELO_MD5_G(c, d, a, b, word(in, 11), TARVELO_MD5_K(18), 14);
        TARVELO_MD5_G(b, c, d, a, word(in, 0), TARVELO_MD5_K(19), 20);
        TARVELO_MD5_G(a, b, c, d, word(in, 5), TARVELO_MD5_K(20), 5);
        TARVELO_MD5_G(d, a, b, c, word(in, 10), TARVELO_MD5_K(21), 9);
        TARVELO_MD5_G(c, d, a, b, word(in, 15), TARVELO_MD5_K(22), 14);
        TARVELO_MD5_G(b, c, d, a, word(in, 4), TARVELO_MD5_K(23), 20);
        TARVELO_MD5_G(a, b, c, d, word(in, 9), TARVELO_MD5_K(24), 5);
        TARVELO_MD5_G(d, a, b, c, word(in, 14), TARVELO_MD5_K(25), 9);
        TARVELO_MD5_G(c, d, a, b, word(in, 3), TARVELO_MD5_K(26), 14);
        TARVELO_MD5_G(b, c, d, a, word(in, 8), TARVELO_MD5_K(27), 20);
        TARVELO_MD5_G(a, b, c, d, word(in, 13), TARVELO_MD5_K(28), 5);
        TARVELO_MD5_G(d, a, b, c, word(in, 2), TARVELO_MD5_K(29), 9);
        TARVELO_MD5_G(c, d, a, b, word(in, 7), TARVELO_MD5_K(30), 14);
        TARVELO_MD5_G(b, c, d, a, word(in, 12), TARVELO_MD5_K(31), 20);

        TARVELO_MD5_H(a, b, c, d, word(in, 5), TARVELO_MD5_K(32), 4);
        TARVELO_MD5_H(d, a, b, c, word(in, 8), TARVELO_MD5_K(33), 11);
        TARVELO_MD5_H(c, d, a, b, word(in, 11), TARVELO_MD5_K(34), 16);
        TARVELO_MD5_H(b, c, d, a, word(in, 14), TARVELO_MD5_K(35), 23);
        TARVELO_MD5_H(a, b, c, d, word(in, 1), TARVELO_MD5_K(36), 4);
        TARVELO_MD5_H(d, a, b, c, word(in, 4), TARVELO_MD5_K(37), 11);
        TARVELO_MD5_H(c, d, a, b, word(in, 7), TARVELO_MD5_K(38), 16);
        TARVELO_MD5_H(b, c, d, a, word(in, 10), TARVELO_MD5_K(39), 23);
        TARVELO_MD5_H(a, b, c, d, word(in, 13), TARVELO_MD5_K(40), 4);
        TARVELO_MD5_H(d, a, b, c, word(in, 0), TARVELO_MD5_K(41), 11);
        TARVELO_MD5_H(c, d, a, b, word(in, 3), TARVELO_MD5_K(42), 16);
        TARVELO_MD5_H(b, c, d, a, word(in, 6), TARVELO_MD5_K(43), 23);
        TARVELO_MD5_H(a, b, c, d, word(in, 9), TARVELO_MD5_K(44), 4);
        TARVELO_MD5_H(d, a, b, c, word(in, 12), TARVELO_MD5_K(45), 11);
        TARVELO_MD5_H(c, d, a, b, word(in, 15), TARVELO_MD5_K(46), 16);
        TARVELO_MD5_H(b, c, d, a, word(in, 2), TARVELO_MD5_K(47), 23);

        TARVELO_MD5_I(a, b, c, d, word(in, 0), TARVELO_MD5_K(48), 6);
        TARVELO_MD5_I(d, a, b, c, word(in, 7), TARVELO_MD5_K(49), 10);
        TARVELO_MD5_I(c, d, a, b, word(in, 14), TARVELO_MD5_K(50), 15);
        TARVELO_MD5_I(b, c, d, a, word(in, 5), TARVELO_MD5_K(51), 21);
        TARVELO_MD5_I(a, b, c, d, word(in, 12), TARVELO_MD5_K(52), 6);
        TARVELO_MD5_I(d, a, b, c, word(in, 3), TARVELO_MD5_K(53), 10);
        TARVELO_MD5_I(c, d, a, b, word(in, 10), TARVELO_MD5_K(54), 15);
        TARVELO_MD5_I(b, c, d, a, word(in, 1), TARVELO_MD5_K(55), 21);
        TARVELO_MD5_I(a, b, c, d, word(in, 8), TARVELO_MD5_K(56), 6);
        TARVELO_MD5_I(d, a, b, c, word(in, 15), TARVELO_MD5_K(57), 10);
        TARVELO_MD5_I(c, d, a, b, word(in, 6), TARVELO_MD5_K(58), 15);
        TARVELO_MD5_I(b, c, d, a, word(in, 13), TARVELO_MD5_K(59), 21);
        TARVELO_MD5_I(a, b, c, d, word(in, 4), TARVELO_MD5_K(60), 6);
        TARVELO_MD5_I(d, a, b, c, word(in, 11), TARVELO_MD5_K(61), 10);
        TARVELO_MD5_I(c, d, a, b, word(in, 2), TARVELO_MD5_K(62), 15);
        TARVELO_MD5_I(b, c, d, a, word(in, 9), TARVELO_MD5_K(63), 21);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef TARVELO_MD5_F
#undef TARVELO_MD5_G
#undef TARVELO_MD5_H
#undef TARVELO_MD5_I
#undef TARVELO_MD5_K

constexpr std::uint32_t initial_state[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// 0x80 then zeros: md5_final feeds 1 to 64 bytes of it.
constexpr std::uint8_t padding[md5_block_length] = {0x80};

void put_le32(std::uint8_t *out, std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &v, sizeof v);
    } else {
        out[0] = static_cast<std::uint8_t>(v);
        out[1] = static_cast<std::uint8_t>(v >> 8);
        out[2] = static_cast<std::uint8_t>(v >> 16);
        out[3] = static_cast<std::uint8_t>(v >> 24);
    }
}

void put_le64(std::uint8_t *out, std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &v, sizeof v);
    } else {
        put_le32(out, static_cast<std::uint32_t>(v));
        put_le32(out + 4, static_cast<std::uint32_t>(v >> 32));
    }
}

} // namespace

void md5_init(md5_context *ctx) {
    ctx->count[0] = 0;
    ctx->count[1] = 0;
    std::memcpy(ctx->state, initial_state, sizeof ctx->state);
}

void md5_update(md5_context *ctx, const std::uint8_t *input, std::uint32_t length) {
    if (length == 0)
        return;
    std::uint32_t pending = (ctx->count[0] >> 3) & 63u;

    // The bit count is kept modulo 2^64 in two words; length << 3 loses the
    // top three bits of length, which go to the high word.
    const std::uint32_t bits = length << 3;
    ctx->count[0] += bits;
    if (ctx->count[0] < bits)
        ++ctx->count[1];
    ctx->count[1] += length >> 29;

    std::uint32_t used = 0;
    const std::uint32_t room = md5_block_length - pending;
    if (length >= room) {
        if (pending != 0) {
            std::memcpy(ctx->buffer + pending, input, room);
            md5_blocks(ctx->state, ctx->buffer, 1);
            used = room;
            pending = 0;
        }
        const std::uint32_t whole = (length - used) / md5_block_length;
        if (whole != 0) {
            md5_blocks(ctx->state, input + used, whole);
            used += whole * md5_block_length;
        }
    }
    // Nothing is left when the input ends on a block, as the count that
    // md5_final feeds always does: no call to memcpy for nothing.
    if (used != length)
        std::memcpy(ctx->buffer + pending, input + used, length - used);
}

namespace {

// md5_final without the wipe and with the digest left as words, for
// md5_digest to wipe the context together with its own work area.
void finish(md5_context *ctx, std::uint32_t digest[4]) {
    // Written with one store: md5_update copies it with one load, and a load
    // that spans two earlier stores has to wait for them to reach the cache.
    std::uint8_t bit_count[8];
    put_le64(bit_count, static_cast<std::uint64_t>(ctx->count[1]) << 32 | ctx->count[0]);

    // Pad to 56 bytes modulo 64 (a whole extra block when fewer than 8
    // bytes are left in this one), then the count completes the block.
    const std::uint32_t pending = (ctx->count[0] >> 3) & 63u;
    md5_update(ctx, padding, pending < 56 ? 56 - pending : 120 - pending);
    md5_update(ctx, bit_count, sizeof bit_count);

    for (int i = 0; i < 4; ++i)
        digest[i] = ctx->state[i];
}

} // namespace

void md5_final(md5_context *ctx, std::uint8_t digest[md5_digest_length]) {
    std::uint32_t words[4];
    finish(ctx, words);
    for (int i = 0; i < 4; ++i)
        put_le32(digest + 4 * i, words[i]);
    secure_wipe(ctx, sizeof *ctx);
}

void md5_digest(const std::uint8_t *input, std::size_t length,
                std::uint8_t digest[md5_digest_length]) {
    struct {
        md5_context ctx;
        // The result goes here first: the output may be the input.
        std::uint32_t digest[4];
    } work;
    md5_init(&work.ctx);
    // md5_update counts in 32 bits: a longer input goes in pieces.
    constexpr std::size_t piece = std::size_t{1} << 31;
    for (; length > piece; length -= piece, input += piece)
        md5_update(&work.ctx, input, static_cast<std::uint32_t>(piece));
    if (length > 0)
        md5_update(&work.ctx, input, static_cast<std::uint32_t>(length));
    finish(&work.ctx, work.digest);
    for (int i = 0; i < 4; ++i)
        put_le32(digest + 4 * i, work.digest[i]);
    // The digest of a password is as good as the password to the handshake.
    secure_wipe(&work, sizeof work);
}

void md5_digest_secret(const std::uint8_t *input, std::size_t readable, std::size_t length,
                       std::uint8_t digest[md5_digest_length]) {
    struct {
        std::uint8_t block[md5_block_length];
        std::uint32_t state[4];
    } work;
    // The bytes, the 0x80 that ends them and the zeros after it, each of the
    // first readable + 1 chosen by masks from its position and the length:
    // the same loads and stores whatever the length, where md5_update would
    // copy and pad by it. The 0x80 lies at most one past the readable bytes,
    // so everything after that is zero for every length.
    std::memset(work.block, 0, sizeof work.block);
    const auto end = static_cast<std::uint32_t>(length);
    const auto masked = static_cast<std::uint32_t>(readable);
    for (std::uint32_t i = 0; i < masked; ++i) {
        work.block[i] = static_cast<std::uint8_t>((input[i] & less_mask(i, end)) |
                                                  (0x80u & equal_mask(i, end)));
    }
    work.block[masked] = static_cast<std::uint8_t>(0x80u & equal_mask(masked, end));
    constexpr std::size_t count_offset = md5_block_length - 8;
    put_le64(work.block + count_offset, static_cast<std::uint64_t>(end) << 3);
    std::memcpy(work.state, initial_state, sizeof work.state);
    md5_blocks(work.state, work.block, 1);
    for (int i = 0; i < 4; ++i)
        put_le32(digest + 4 * i, work.state[i]);
    // The digest of a password is as good as the password to the handshake.
    secure_wipe(&work, sizeof work);
}

} // namespace tarvelo
