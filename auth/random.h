// random.h: bytes from the operating system's cryptographic random source.
//
// The exit's challenges must be unpredictable to anyone posing as the
// partner, so they come from the system's generator and never from a clock
// or a counter. There is no fallback to anything weaker: a caller that gets
// no bytes must refuse to go on.
#ifndef TARVELO_AUTH_RANDOM_H
#define TARVELO_AUTH_RANDOM_H

#include <cstddef>

namespace tarvelo {

// Fills `length` bytes at `out` (at most 256) and returns true, or returns
// false with the bytes in an unspecified state. On Linux the bytes come from
// the getrandom system call, or from /dev/urandom where the call does not
// exist or a sandbox refuses it, and only when what stands there is the
// kernel's generator (character device 1:9); false when neither gives them. Never
// blocks: a generator that is not ready yet (early in a machine's boot) is a
// failure. Changes errno; the entry point gives the host its own back.
[[nodiscard]] bool fill_random(void *out, std::size_t length);

} // namespace tarvelo

#endif
