// partner.cpp: see partner.h.
#include "standin/partner.h"

#include "auth/challenge.h"

#include <algorithm>
#include <utility>

namespace tarvelo::standin {

partner::partner(partner_config config) : config_(std::move(config)) {}

std::vector<std::uint8_t> partner::opening() {
    if (config_.opening_status) {
        step_ = step::done;
        return {*config_.opening_status};
    }
    challenge_.assign(security_text_length, 0);
    make_challenge_from_seed(config_.seed, challenge_.data());
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
