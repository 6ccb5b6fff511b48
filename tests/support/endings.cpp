// endings.cpp: see endings.h.
#include "tests/support/endings.h"

#include "log/catalogue.h"
#include "standin/signon.h"

#include <gtest/gtest.h>

#include <iterator>

namespace tarvelo::testing {

int message_index_of(ending e) {
    // In the order of `ending`.
    constexpr int indices[] = {-1,
                               msg_password_violation,
                               msg_revoked,
                               msg_sender_not_started,
                               msg_unknown_status,
                               msg_impersonation,
                               msg_not_registered,
                               msg_not_registered,
                               msg_invalid_exit_call,
                               msg_invalid_state};
    static_assert(std::size(indices) == static_cast<std::size_t>(ending::count));
    return indices[static_cast<std::size_t>(e)];
}

void run_channel(tarvelo_entry_fn *entry, const standin::channel_config &config, ending e,
                 std::uint32_t seed) {
    standin::partner_config partner;
    partner.seed = seed;
    switch (e) {
    case ending::invalid_exit_call: {
        standin::channel ch(entry, config);
        ch.initialise();
        ch.call(99);
        ch.terminate();
        return;
    }
    case ending::invalid_state: {
        standin::channel ch(entry, config);
        ch.initialise();
        ch.params().user_area[0] = 9;
        ch.deliver(std::vector<std::uint8_t>{ZAVSTAT_AUTHORISED});
        ch.terminate();
        return;
    }
    case ending::password_violation:
        partner.password = "OTHER";
        break;
    case ending::revoked:
        partner.opening_status = ZAVSTAT_REVOKED;
        break;
    case ending::sender_not_started:
        partner.status = ZAVSTAT_SENDER_NOT_STARTED;
        break;
    case ending::unknown_status:
        partner.opening_status = 5;
        break;
    case ending::impersonation:
        partner.answer = standin::partner_answer::wrong;
        break;
    case ending::not_registered:
        partner.status = ZAVSTAT_NOT_REGISTERED;
        break;
    case ending::answer_too_short:
        partner.answer = standin::partner_answer::wrong_length;
        break;
    default:
        break;
    }
    const standin::signon_record record = standin::run_signon(entry, config, partner);
    EXPECT_EQ(record.signed_on, e == ending::signed_on) << static_cast<int>(e);
    EXPECT_EQ(record.closed, e != ending::signed_on) << static_cast<int>(e);
}

} // namespace tarvelo::testing
