// password.h: where a channel's password ends.
//
// The password is the channel definition's 12-byte password field up to,
// not including, its first blank; with no blank, all 12 bytes. A zero byte
// is an ordinary password character. The exit, the stand-in partner and the
// tools all apply the rule here, so that they never disagree on what a
// channel's password is.
#ifndef TARVELO_AUTH_PASSWORD_H
#define TARVELO_AUTH_PASSWORD_H

#include "auth/secure.h"

#include <cstddef>
#include <cstdint>

namespace tarvelo {

inline constexpr std::size_t max_password_length = 12;

// The password's length in the `field_length` bytes at `field`: up to the
// first blank, and at most 12. Every byte up to the twelfth is looked at
// whatever it holds, and none decides a branch: the length of a password is
// part of the secret.
[[nodiscard]] constexpr std::size_t password_length(const std::uint8_t *field,
                                                    std::size_t field_length) {
    const std::size_t limit =
        field_length < max_password_length ? field_length : max_password_length;
    unsigned before_blank = 1; // 1 until the first blank is seen
    std::size_t length = 0;
    for (std::size_t i = 0; i < limit; ++i) {
        before_blank &= ~range_mask(field[i], ' ', ' ');
        length += before_blank;
    }
    return length;
}

} // namespace tarvelo

#endif
