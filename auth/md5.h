// md5.h: the MD5 message digest of RFC 1321, exactly as the standard has it.
//
// The only cryptographic primitive of the exit. Contexts belong to their
// caller and are never allocated; nothing is shared, so any number of
// digests may run at once.
#ifndef TARVELO_AUTH_MD5_H
#define TARVELO_AUTH_MD5_H

#include <cstddef>
#include <cstdint>

namespace tarvelo {

inline constexpr int md5_digest_length = 16;
inline constexpr int md5_block_length = 64;

// The running state of one digest: chaining values, the bit count modulo
// 2^64 (low word first) and the input not yet digested.
struct md5_context {
    std::uint32_t state[4];
    std::uint32_t count[2];
    std::uint8_t buffer[md5_block_length];
};

// Sets the count to zero and the state to RFC 1321's initial values.
void md5_init(md5_context *ctx);

// Adds `length` bytes at `input`. A length of zero changes nothing and does
// not read `input`, which may then be null.
void md5_update(md5_context *ctx, const std::uint8_t *input, std::uint32_t length);

// Pads, writes the 16-byte digest to `digest` and overwrites the whole
// context with zeros: it must be set up again with md5_init before reuse.
void md5_final(md5_context *ctx, std::uint8_t digest[md5_digest_length]);

// One-shot digest of `length` bytes. A length of zero does not read
// `input`, which may then be null. `digest` may be the same memory as
// `input`: the input is wholly consumed before the digest is written.
void md5_digest(const std::uint8_t *input, std::size_t length,
                std::uint8_t digest[md5_digest_length]);

// The longest input that fits one block beside its padding and bit count.
inline constexpr std::size_t md5_one_block_max = 55;

// The digest of the first `length` of the `readable` bytes at `input`, for
// a secret whose length is secret too, such as a password: always one
// block, built with masks. All `readable` bytes are read whatever `length`
// is, and neither `length` nor any byte decides a branch or an address.
// Needs length <= readable <= md5_one_block_max; `readable` is public. The
// result equals md5_digest of the `length` bytes.
void md5_digest_secret(const std::uint8_t *input, std::size_t readable, std::size_t length,
                       std::uint8_t digest[md5_digest_length]);

} // namespace tarvelo

#endif
