// partner.cpp: see partner.h.
#include "standin/partner.h"

#include "auth/challenge.h"
#include "auth/hex.h"
#include "auth/md5.h"
#include "auth/random.h"

#include <algorithm>
#include <utility>

namespace tarvelo::standin {
void seeded_challenge(std::uint32_t seed, std::uint8_t *area) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(seed), static_cast<std::uint8_t>(seed >> 8),
        static_cast<std::uint8_t>(seed >> 16), static_cast<std::uint8_t>(seed >> 24)};
    std::uint8_t digest[md5_digest_length];
    md5_digest(bytes, sizeof bytes, digest);
    hex_encode(digest, md5_digest_length, area);
}

partner::partner(partner_config config) : config_(std::move(config)) {}

std::vector<std::uint8_t> partner::opening() {
    if (config_.opening_status) {
        step_ = step::done;
        return {*config_.opening_status};
    }
    challenge_.assign(security_text_length, 0);
    std::uint8_t value[md5_digest_length];
    if (config_.seed) {
        seeded_challenge(*config_.seed, challenge_.data());
    } else if (fill_random(value, sizeof value)) {
        hex_encode(value, md5_digest_length, challenge_.data());
    } else {
        // No random bytes: a sound partner sends no predictable challenge
        // either. It says nothing, and the exchange ends unfinished.
        step_ = step::done;
        return {};
    }
    step_ = step::await_response;
    return challenge_;
}

std::vector<std::uint8_t> partner::response_to(const std::vector<std::uint8_t> &challenge) const {
    std::vector<std::uint8_t> text(security_text_length, 0);
    std::copy_n(challenge.begin(), std::min(challenge.size(), text.size()), text.begin());
    const auto *password = reinterpret_cast<const std::uint8_t *>(config_.password.data());
    compute_response(password, std::min(config_.password.size(), max_password_length), text.data());
    return text;
}

std::vector<std::uint8_t> partner::receive(const std::vector<std::uint8_t> &message) {
    switch (step_) {
    case step::await_response:
        accepted_ = message.size() == security_text_length && message == response_to(challenge_);
        if (!accepted_) {
            step_ = step::done;
            return {7};
        }
        step_ = config_.status == 6 ? step::await_challenge : step::done;
        return {config_.status};
    case step::await_challenge: {
        step_ = step::done;
        answered_ = true;
        std::vector<std::uint8_t> answer = response_to(message);
        if (config_.answer == partner_answer::wrong) {
            // One character off is as wrong as a guess, and never right by luck.
            answer[0] = answer[0] == '0' ? '1' : '0';
        } else if (config_.answer == partner_answer::wrong_length) {
            answer.pop_back();
        }
        return answer;
    }
    case step::open:
    case step::done:
        break;
    }
    return {};
}

} // namespace tarvelo::standin
