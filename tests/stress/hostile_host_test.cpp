// A host that breaks its contract: the exit must still never let a channel
// run on a response to a challenge it did not send.
#include "auth/challenge.h"
#include "standin/host.h"
#include "standin/partner.h"
#include "tests/exit/support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tarvelo::testing {
namespace {

// A whole sign-on; returns the right answer the partner gave to the exit's
// challenge, which travelled in clear on the channel.
std::vector<std::uint8_t> sign_on(standin::channel &ch) {
    ch.initialise();
    std::vector<std::uint8_t> challenge(security_text_length);
    standin::seeded_challenge(1700000000, challenge.data());
    ch.deliver(challenge);
    ch.deliver(std::vector<std::uint8_t>{ZAVSTAT_AUTHORISED});
    std::vector<std::uint8_t> answer = ch.outgoing();
    EXPECT_EQ(answer.size(), security_text_length);
    answer.resize(security_text_length);
    compute_response(reinterpret_cast<const std::uint8_t *>("SECRET"), 6, answer.data());
    ch.deliver(answer);
    EXPECT_EQ(ch.response(), ZTXCC_OK);
    EXPECT_EQ(ch.state(), ZAVCONN_VERIFY);
    return answer;
}

// The state byte set to "verifying" right after initialisation: the exit
// buffer holds no challenge, so no response may pass: not one of constant
// bytes, and not a response replayed from an earlier sign-on whose freed
// buffer the allocator hands out again. The refusal is the impersonation
// message.
TEST(HostileHost, ForgedVerifyStateAcceptsNoResponse) {
    std::vector<std::vector<std::uint8_t>> forged = {std::vector<std::uint8_t>(32, 0x00),
                                                     std::vector<std::uint8_t>(32, 0xBE)};
    {
        captured_output quiet;
        standin::channel earlier(exit_entry(), standin::channel_config{});
        forged.push_back(sign_on(earlier));
        earlier.terminate();
    }
    for (const std::vector<std::uint8_t> &response : forged) {
        standin::channel ch(exit_entry(), standin::channel_config{});
        captured_output capture;
        ch.initialise();
        ch.params().user_area[0] = ZAVCONN_VERIFY;
        ch.deliver(response);
        const std::string out = capture.take().out;
        EXPECT_EQ(ch.response(), ZTXCC_CLOSE_CHANNEL) << int{response[0]};
        EXPECT_NE(out.find("TARVELO007E"), std::string::npos) << out;
        captured_output quiet;
        ch.terminate();
    }
}

} // namespace
} // namespace tarvelo::testing
