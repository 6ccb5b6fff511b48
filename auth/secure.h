// secure.h: handling secrets so that they leave nothing behind and steer
// nothing.
//
// The password, its digest and the responses it yields must neither outlive
// their use in memory nor decide a branch or an address: the time a call
// takes and the cache lines it touches are visible to whoever shares the
// host's processor. What is computed on them is computed with masks.
#ifndef TARVELO_AUTH_SECURE_H
#define TARVELO_AUTH_SECURE_H

#include <cstddef>
#include <cstdint>

namespace tarvelo {

// All ones when lo <= x <= hi, else zero, for byte values x, lo and hi: each
// subtraction borrows, setting the high bits, exactly when x lies on its
// wrong side of the range.
constexpr unsigned range_mask(unsigned x, unsigned lo, unsigned hi) {
    return (((x - lo) | (hi - x)) >> 8 & 1u) - 1u;
}

// All ones when a < b, else zero, for a and b below 2^31: a - b borrows
// into the top bit exactly when a is the smaller.
constexpr std::uint32_t less_mask(std::uint32_t a, std::uint32_t b) { return 0u - ((a - b) >> 31); }

// All ones when a == b, else zero: a ^ b or its negation has the top bit set
// unless a ^ b is zero.
constexpr std::uint32_t equal_mask(std::uint32_t a, std::uint32_t b) {
    const std::uint32_t x = a ^ b;
    return ((x | (0u - x)) >> 31) - 1u;
}

// Overwrites `length` bytes with zeros in a way the compiler cannot drop.
void secure_wipe(void *area, std::size_t length);

// True when the `length` bytes at `a` and `b` are equal; the time taken does
// not depend on where they differ.
[[nodiscard]] bool equal_in_constant_time(const std::uint8_t *a, const std::uint8_t *b,
                                          std::size_t length);

} // namespace tarvelo

#endif
