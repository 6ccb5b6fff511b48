// signon.h: one channel instance driven from start to end, as a host and a
// partner service would run it, with everything that crossed recorded.
#ifndef TARVELO_STANDIN_SIGNON_H
#define TARVELO_STANDIN_SIGNON_H

#include "standin/host.h"
#include "standin/partner.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace tarvelo::standin {

struct exchanged_message {
    bool from_partner;
    std::vector<std::uint8_t> bytes;
};

struct exit_answer {
    std::int32_t reason;
    std::int32_t response;
    std::int32_t response2;
    std::uint8_t state;
};

struct signon_record {
    bool signed_on = false; // the exit let the channel run after verifying the partner
    bool closed = false;    // the exit asked the host to close the channel
    std::vector<exchanged_message> messages;
    std::vector<exit_answer> answers;
};

// Told of each step while the sign-on runs, so that a caller can show the
// exchange between the lines the exit writes, or time the exit's calls.
// Empty hooks are skipped.
struct signon_hooks {
    // Just before the host calls the exit with `reason`.
    std::function<void(std::int32_t reason)> before_call;
    // Just after the call, with the exit's answer as recorded.
    std::function<void(const exit_answer &answer)> after_call;
    // A security message as it crosses: a partner's before it is delivered
    // to the exit, the exit's as soon as the host has taken it.
    std::function<void(const exchanged_message &message)> crossed;
};

// Initialisation, the invitation, the security messages until the exit lets
// the channel run or closes it, then termination.
signon_record run_signon(tarvelo_entry_fn *entry, const channel_config &channel_settings,
                         const partner_config &partner_settings);
signon_record run_signon(tarvelo_entry_fn *entry, const channel_config &channel_settings,
                         const partner_config &partner_settings, const signon_hooks &hooks);

} // namespace tarvelo::standin

#endif
