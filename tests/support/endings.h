// endings.h: every way a channel's sign-on can end, driven through the
// stand-in host (and partner, where a partner can cause it), for the tests
// that run many channels and count what the exit wrote about them.
#ifndef TARVELO_TESTS_SUPPORT_ENDINGS_H
#define TARVELO_TESTS_SUPPORT_ENDINGS_H

#include "standin/host.h"

#include <cstdint>
#include <string>

namespace tarvelo::testing {

// How a channel's sign-on ends, and the numbered message that says so
// (empty when the channel runs).
enum class ending {
    signed_on,
    password_violation,
    revoked,
    sender_not_started,
    unknown_status,
    impersonation,
    not_registered,
    answer_too_short,
    invalid_exit_call,
    invalid_state,
    count
};

// The catalogue index of the numbered message that ends the channel, or -1
// for a channel that runs.
int message_index_of(ending e);

// Runs one channel from its start to its end, which is `e`; the partner's
// challenge is made from `seed`. Fails the test if the exit lets a channel
// run that it should close, or the other way round.
void run_channel(tarvelo_entry_fn *entry, const standin::channel_config &config, ending e,
                 std::uint32_t seed);

} // namespace tarvelo::testing

#endif
