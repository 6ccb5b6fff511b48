// signon.cpp: see signon.h.
#include "standin/signon.h"

namespace tarvelo::standin {
namespace {

class driver {
public:
    driver(signon_record &record, channel &ch, const signon_hooks &hooks)
        : record_(record), ch_(ch), hooks_(hooks) {}

    void call(std::int32_t reason) {
        if (hooks_.before_call) {
            hooks_.before_call(reason);
        }
        ch_.call(reason);
        note(reason);
    }

    void deliver(const std::vector<std::uint8_t> &message) {
        cross(true, message);
        if (hooks_.before_call) {
            hooks_.before_call(ZTXR_SEC_MSG);
        }
        ch_.deliver(message);
        note(ZTXR_SEC_MSG);
    }

    void cross(bool from_partner, const std::vector<std::uint8_t> &message) {
        record_.messages.push_back({from_partner, message});
        if (hooks_.crossed) {
            hooks_.crossed(record_.messages.back());
        }
    }

private:
    void note(std::int32_t reason) {
        record_.answers.push_back({reason, ch_.response(), ch_.response2(), ch_.state()});
        if (ch_.response() == ZTXCC_CLOSE_CHANNEL) {
            record_.closed = true;
        }
        if (hooks_.after_call) {
            hooks_.after_call(record_.answers.back());
        }
    }

    signon_record &record_;
    channel &ch_;
    const signon_hooks &hooks_;
};

} // namespace

signon_record run_signon(tarvelo_entry_fn *entry, const channel_config &channel_settings,
                         const partner_config &partner_settings) {
    return run_signon(entry, channel_settings, partner_settings, signon_hooks{});
}

signon_record run_signon(tarvelo_entry_fn *entry, const channel_config &channel_settings,
                         const partner_config &partner_settings, const signon_hooks &hooks) {
    signon_record record;
    channel ch(entry, channel_settings);
    partner peer(partner_settings);
    driver host(record, ch, hooks);

    host.call(ZTXR_INIT);
    if (!record.closed) {
        host.call(ZTXR_INIT_SEC);
    }
    std::vector<std::uint8_t> message =
        record.closed ? std::vector<std::uint8_t>{} : peer.opening();
    while (!message.empty() && !record.closed) {
        host.deliver(message);
        if (ch.response() != ZTXCC_SEND_SEC_MSG) {
            // The exit has nothing more to say: it either runs or closes.
            record.signed_on = ch.response() == ZTXCC_OK && ch.state() == ZAVCONN_VERIFY;
            break;
        }
        std::vector<std::uint8_t> sent = ch.outgoing();
        host.cross(false, sent);
        message = peer.receive(sent);
    }
    host.call(ZTXR_TERM);
    return record;
}

} // namespace tarvelo::standin
