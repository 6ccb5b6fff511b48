// signon.h: one channel instance driven from start to end, as a host and a
// partner service would run it, with everything that crossed recorded.
#ifndef TARVELO_STANDIN_SIGNON_H
#define TARVELO_STANDIN_SIGNON_H

#include "standin/host.h"
#include "standin/partner.h"

#include <cstdint>
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

// Initialisation, the invitation, the security messages until the exit lets
// the channel run or closes it, then termination.
signon_record run_signon(tarvelo_entry_fn *entry, const channel_config &channel_settings,
                         const partner_config &partner_settings);

} // namespace tarvelo::standin

#endif
