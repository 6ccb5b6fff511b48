// signon.cpp: see signon.h.
#include "standin/signon.h"

namespace tarvelo::standin {
namespace {

void note(signon_record &record, std::int32_t reason, const channel &ch) {
    record.answers.push_back({reason, ch.response(), ch.response2(), ch.state()});
    if (ch.response() == ZTXCC_CLOSE_CHANNEL) {
        record.closed = true;
    }
}

} // namespace

signon_record run_signon(tarvelo_entry_fn *entry, const channel_config &channel_settings,
                         const partner_config &partner_settings) {
    signon_record record;
    channel ch(entry, channel_settings);
    partner peer(partner_settings);

    ch.initialise();
    note(record, ZTXR_INIT, ch);
    if (!record.closed) {
        ch.invite();
        note(record, ZTXR_INIT_SEC, ch);
    }
    std::vector<std::uint8_t> message = record.closed ? std::vector<std::uint8_t>{} : peer.opening();
    while (!message.empty() && !record.closed) {
        record.messages.push_back({true, message});
        ch.deliver(message);
        note(record, ZTXR_SEC_MSG, ch);
        if (ch.response() != ZTXCC_SEND_SEC_MSG) {
            // The exit has nothing more to say: it either runs or closes.
            record.signed_on = ch.response() == ZTXCC_OK && ch.state() == ZAVCONN_VERIFY;
            break;
        }
        std::vector<std::uint8_t> sent = ch.outgoing();
        record.messages.push_back({false, sent});
        message = peer.receive(sent);
    }
    ch.terminate();
    note(record, ZTXR_TERM, ch);
    return record;
}

} // namespace tarvelo::standin
