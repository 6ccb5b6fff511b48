// secure.cpp: see secure.h.
#include "auth/secure.h"

#include <cstring>

namespace tarvelo {
namespace {

// Zeroing through a pointer the compiler must read back from memory at every
// call: it cannot know the target is a plain memset of a dead object, so it
// cannot drop the call, nor the stores before it.
void *zero_bytes(void *area, std::size_t length) { return std::memset(area, 0, length); }
void *(*const volatile zeroer)(void *, std::size_t) = zero_bytes;

} // namespace

void secure_wipe(void *area, std::size_t length) { zeroer(area, length); }

bool equal_in_constant_time(const std::uint8_t *a, const std::uint8_t *b, std::size_t length) {
    // Every byte is looked at whatever the earlier ones were.
    unsigned difference = 0;
    for (std::size_t i = 0; i < length; ++i)
        difference |= static_cast<unsigned>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace tarvelo
