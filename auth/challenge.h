// challenge.h: the two computations of the sign-on handshake.
//
// The response to a challenge is the hex text of
//     MD5( MD5(password) XOR the 16 bytes that the challenge text carries ).
// A partner must compute exactly this, with exactly the decoding rules of
// compute_response, for a channel to sign on. Hex text is 32 characters of
// "0123456789ABCDEF", byte i as characters 2i (high nibble) and 2i+1, never
// terminated. Nothing here writes messages or keeps state between calls.
#ifndef TARVELO_AUTH_CHALLENGE_H
#define TARVELO_AUTH_CHALLENGE_H

#include "auth/password.h"

#include <cstddef>
#include <cstdint>

namespace tarvelo {

inline constexpr std::size_t security_text_length = 32;

// Overwrites the 32-character challenge at `text` with the response for the
// password (`password_length` bytes, 0 to 12, digested unchanged). Lower-case
// hex letters are accepted. Decoding pairs characters by position: a non-hex
// character is skipped; at an odd position it emits no byte and its pair's
// high nibble is carried into the next pair. Bytes that are not decoded are
// zero. Exactly 32 bytes are read and written; the byte after them is left
// alone. Exactly `password_length` bytes of the password are read: the
// length is taken as the caller's to know.
void compute_response(const std::uint8_t *password, std::size_t password_length,
                      std::uint8_t *text);

// The same for the password that a channel definition's 12-byte password
// field holds (up to its first blank, see password.h), as the exit answers:
// all 12 bytes are read, and neither the password, its length, its digest
// nor the response decides a branch or an address on the way.
void compute_response_from_field(const std::uint8_t field[max_password_length], std::uint8_t *text);

// Writes a fresh challenge: 12 bytes from the system's random source and 4
// bytes that mark it as made by an exit (the start of an MD5 digest of the
// 12), as 32 upper-case hex characters. No one can predict it, and two
// challenges repeat only by chance (2^-96 for a pair). Returns false, with
// nothing written, when the random source gives nothing: a predictable
// challenge is never sent. Exactly 32 bytes are written.
[[nodiscard]] bool make_challenge(std::uint8_t *area);

// True when the 32-character challenge at `text`, decoded exactly as
// compute_response decodes it, carries the mark of make_challenge: a
// challenge that this exit, or another exit anywhere, sent to its partner,
// now put to an exit to be answered by someone who wants the response that
// proves them. Upper or lower case and skipped characters make no
// difference, because the decoded bytes are what is checked. A challenge
// made any other way carries the mark by chance, with probability 2^-32.
// Reads 32 bytes.
[[nodiscard]] bool is_exit_challenge(const std::uint8_t *text);

} // namespace tarvelo

#endif
