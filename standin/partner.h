// partner.h: a stand-in for the partner sign-on service.
//
// It knows the channel's password (its own copy, which may differ from the
// channel's), opens the exchange with a challenge, checks the exit's
// response with its own computation, reports a status, and answers the
// exit's challenge: correctly, wrongly, or with a wrong length.
#ifndef TARVELO_STANDIN_PARTNER_H
#define TARVELO_STANDIN_PARTNER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvelo::standin {

enum class partner_answer {
    right,       // the response for the exit's challenge and the password
    wrong,       // the response of a partner that does not know the password
    wrong_length // a right response cut to 31 bytes
};

struct partner_config {
    std::string password = "SECRET";
    // The status reported when the exit's response is right; a wrong one is
    // always reported as ZAVSTAT_PASSWORD_VIOLATION.
    std::uint8_t status = 6;
    partner_answer answer = partner_answer::right;
    // When set, the partner opens with this 1-byte status instead of a
    // challenge.
    std::optional<std::uint8_t> opening_status;
    // When set, its challenge is seeded_challenge(seed), the same on every
    // run; otherwise 16 fresh random bytes, as a sound partner makes them.
    std::optional<std::uint32_t> seed;
};

// A partner challenge that tests and examples can repeat: the hex text of
// the MD5 of the seed's 4 bytes, least significant first. Exactly 32 bytes
// are written. The exit makes its own challenges unpredictable; a partner
// should too.
void seeded_challenge(std::uint32_t seed, std::uint8_t *area);

class partner {
public:
    explicit partner(partner_config config);

    // The message that opens the exchange; empty when it has none to send.
    std::vector<std::uint8_t> opening();
    // The partner's next message after receiving `message`; empty when it has
    // nothing more to say.
    std::vector<std::uint8_t> receive(const std::vector<std::uint8_t> &message);

    // What the partner made of the exit's response, once it has seen one.
    bool accepted_response() const { return accepted_; }
    bool answered_challenge() const { return answered_; }

private:
    enum class step { open, await_response, await_challenge, done };

    std::vector<std::uint8_t> response_to(const std::vector<std::uint8_t> &challenge) const;

    partner_config config_;
    step step_ = step::open;
    std::vector<std::uint8_t> challenge_;
    bool accepted_ = false;
    bool answered_ = false;
};

} // namespace tarvelo::standin

#endif
