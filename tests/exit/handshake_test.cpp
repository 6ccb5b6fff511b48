// The sign-on handshake through the real entry point: the exchange a host
// and a partner service run, every refusal with its message, the password
// rules, and the bounds of the buffers the exit is given.
#include "auth/challenge.h"
#include "exit/handshake.h"
#include "standin/signon.h"
#include "tests/support/expected_lines.h"
#include "tests/support/posix.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <thread>

namespace tarvelo::testing {
namespace {

using standin::channel;
using standin::channel_config;
using standin::partner_answer;
using standin::partner_config;

constexpr const char *name_field = "TO.PARTNER          ";
const std::string challenge_text = "821AE7328085308F021C05704518 1DE";

std::vector<std::uint8_t> bytes(const std::string &text) { return {text.begin(), text.end()}; }

// A channel started by the host, its output captured call by call.
class Handshake : public ::testing::Test {
protected:
    explicit Handshake(channel_config config = {}) : ch_(exit_entry(), config) {
        captured_output quiet;
        ch_.initialise();
    }
    ~Handshake() override {
        captured_output quiet;
        ch_.terminate();
    }
    captured_output::streams deliver(const std::vector<std::uint8_t> &message) {
        captured_output capture;
        ch_.deliver(message);
        return capture.take();
    }
    // Answers a partner's challenge and is accepted: state 3, then status 6.
    void reach_verify() {
        deliver(bytes(challenge_text));
        ASSERT_EQ(ch_.state(), ZAVCONN_SIGNON);
        deliver({ZAVSTAT_AUTHORISED});
        ASSERT_EQ(ch_.state(), ZAVCONN_VERIFY);
    }
    std::string expected_response() const {
        return std::string(reinterpret_cast<const char *>(ch_exit_buffer() + 32), 32);
    }
    const std::uint8_t *ch_exit_buffer() const { return const_cast<channel &>(ch_).exit_buffer(); }

    channel ch_;
};

TEST_F(Handshake, StartupAnswersTheChallengeInPlaceAndWaitsForTheVerdict) {
    std::memcpy(ch_.exchange(), challenge_text.data(), 32);
    ch_.data_length() = 32;
    ch_.params().exit_response2 = 0x40; // the host's value is left alone
    captured_output capture;
    ch_.call(ZTXR_SEC_MSG);
    auto out = capture.take();
    EXPECT_EQ(ch_.response(), ZTXCC_SEND_SEC_MSG);
    EXPECT_EQ(ch_.response2(), 0x40) << "sent from the exchange buffer";
    EXPECT_EQ(ch_.state(), ZAVCONN_SIGNON);
    EXPECT_EQ(ch_.data_length(), 32);
    const std::string sent(reinterpret_cast<const char *>(ch_.exchange()), 32);
    EXPECT_EQ(sent, response_to("SECRET", challenge_text));
    EXPECT_EQ(ch_.exchange()[32], 0) << "nothing after the response";
    EXPECT_TRUE(identifiers_in(out.out).empty());
}

TEST_F(Handshake, StartupAnswersOnlyTheFirst32BytesOfALongerMessage) {
    std::vector<std::uint8_t> message = bytes(challenge_text + "TAIL");
    deliver(message);
    EXPECT_EQ(ch_.response(), ZTXCC_SEND_SEC_MSG);
    EXPECT_EQ(ch_.data_length(), 36) << "sent back at the length it came with";
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(ch_.exchange()) + 32, 4), "TAIL");
}

TEST_F(Handshake, SignonWithAuthorisedSendsOwnChallengeFromTheExitBuffer) {
    deliver(bytes(challenge_text));
    auto out = deliver({ZAVSTAT_AUTHORISED});
    EXPECT_EQ(ch_.response(), ZTXCC_SEND_SEC_MSG);
    EXPECT_EQ(ch_.response2(), ZTXR2_USE_EXIT_BUFFER);
    EXPECT_EQ(ch_.state(), ZAVCONN_VERIFY);
    EXPECT_EQ(ch_.data_length(), 32);
    EXPECT_EQ(ch_.exit_length(), 32);
    const std::string challenge(reinterpret_cast<const char *>(ch_.exit_buffer()), 32);
    EXPECT_EQ(challenge.find_first_not_of("0123456789ABCDEF"), std::string::npos) << challenge;
    EXPECT_EQ(expected_response(), response_to("SECRET", challenge));
    EXPECT_EQ(ch_.outgoing(), bytes(challenge));
    EXPECT_TRUE(identifiers_in(out.out).empty());
}

TEST_F(Handshake, VerifyAcceptsTheRightResponseAgainAndAgain) {
    reach_verify();
    const std::vector<std::uint8_t> right = bytes(expected_response());
    for (int round = 0; round < 2; ++round) {
        auto out = deliver(right);
        EXPECT_EQ(ch_.response(), ZTXCC_OK) << round;
        EXPECT_EQ(ch_.state(), ZAVCONN_VERIFY) << round;
        EXPECT_TRUE(identifiers_in(out.out).empty()) << round;
    }
}

TEST_F(Handshake, VerifyRefusesAResponseThatDiffersOnlyInLetterCase) {
    reach_verify();
    std::string answer = expected_response();
    const std::size_t letter = answer.find_first_of("ABCDEF");
    ASSERT_NE(letter, std::string::npos);
    answer[letter] = static_cast<char>(answer[letter] - 'A' + 'a');
    auto out = deliver(bytes(answer));
    EXPECT_EQ(ch_.response(), ZTXCC_CLOSE_CHANNEL);
    EXPECT_EQ(identifiers_in(out.out), identifiers_of({msg_impersonation}));
    EXPECT_EQ(ch_.state(), ZAVCONN_VERIFY);
}

TEST_F(Handshake, VerifyRefusesAResponseOfTheWrongLength) {
    reach_verify();
    for (std::size_t length : {31u, 33u, 1u}) {
        std::string answer = expected_response() + "X";
        auto out = deliver(bytes(answer.substr(0, length)));
        EXPECT_EQ(ch_.response(), ZTXCC_CLOSE_CHANNEL) << length;
        EXPECT_EQ(identifiers_in(out.out), identifiers_of({msg_not_registered})) << length;
    }
}

// Every row of the refusal table: the state the message arrives in, the
// message, and the one numbered message that closes the channel.
struct refusal {
    const char *what;
    std::uint8_t state;
    std::vector<std::uint8_t> message;
    std::string identifier;
    // The exchange buffer's first byte as an earlier call left it, under a
    // message that may bring none.
    std::uint8_t leftover = 0;
    // The host passes the message but no pointer to its length.
    bool without_data_length = false;
    // The host sets the state byte itself instead of the exchange leading
    // there: in VERIFY, no challenge of the exit's is outstanding.
    bool forged = false;
    // The host passes the message's length but no exchange buffer.
    bool without_exchange = false;
};

void PrintTo(const refusal &r, std::ostream *os) { *os << r.what; }

class Refusals : public Handshake, public ::testing::WithParamInterface<refusal> {};

TEST_P(Refusals, CloseTheChannelWithOneNumberedMessageAndKeepTheState) {
    const refusal &r = GetParam();
    if (!r.forged && (r.state == ZAVCONN_SIGNON || r.state == ZAVCONN_VERIFY)) {
        deliver(bytes(challenge_text));
    }
    if (!r.forged && r.state == ZAVCONN_VERIFY) {
        deliver({ZAVSTAT_AUTHORISED});
    }
    if (r.forged ||
        (r.state != ZAVCONN_STARTUP && r.state != ZAVCONN_SIGNON && r.state != ZAVCONN_VERIFY)) {
        ch_.params().user_area[0] = r.state;
    }
    ASSERT_EQ(ch_.state(), r.state);
    if (r.leftover != 0) {
        ch_.exchange()[0] = r.leftover;
    }
    captured_output::streams out;
    if (r.without_data_length || r.without_exchange) {
        std::memcpy(ch_.exchange(), r.message.data(), r.message.size());
        ch_.data_length() = static_cast<std::int32_t>(r.message.size());
        ch_.params().exit_reason = ZTXR_SEC_MSG;
        captured_output capture;
        exit_entry()(&ch_.params(), &ch_.definition(),
                     r.without_data_length ? nullptr : &ch_.data_length(), &ch_.exchange_length(),
                     r.without_exchange ? nullptr : ch_.exchange(), &ch_.exit_length(),
                     &ch_.exit_buffer());
        out = capture.take();
    } else {
        out = deliver(r.message);
    }
    EXPECT_EQ(ch_.response(), ZTXCC_CLOSE_CHANNEL);
    EXPECT_EQ(identifiers_in(out.out), std::vector<std::string>{r.identifier});
    EXPECT_EQ(ch_.state(), r.state);

    // The handshake table names the same refusal for the state and the kind
    // of message, as the state reads it.
    const std::size_t length = r.without_data_length ? 0 : r.message.size();
    const std::size_t held = r.without_exchange ? 0 : length;
    const std::uint8_t first = r.message.empty() ? r.leftover : r.message[0];
    const transition &row =
        transition_for(r.state, kind_of(state_rule_of(r.state).how, length, held, first));
    EXPECT_EQ(identifier_of(static_cast<message_index>(row.refusal)), r.identifier);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRow, Refusals,
    ::testing::Values(
        refusal{"startup_revoked", 1, {8}, identifier_of(msg_revoked)},
        refusal{"startup_authorised", 1, {6}, identifier_of(msg_unknown_status)},
        refusal{"startup_violation", 1, {7}, identifier_of(msg_unknown_status)},
        refusal{"startup_not_registered", 1, {10}, identifier_of(msg_unknown_status)},
        refusal{"startup_zero", 1, {0}, identifier_of(msg_unknown_status)},
        refusal{"signon_violation", 3, {7}, identifier_of(msg_password_violation)},
        refusal{"signon_sender_not_started", 3, {9}, identifier_of(msg_sender_not_started)},
        refusal{"signon_not_registered", 3, {10}, identifier_of(msg_not_registered)},
        refusal{"signon_revoked", 3, {8}, identifier_of(msg_unknown_status)},
        refusal{"signon_other", 3, {255}, identifier_of(msg_unknown_status)},
        refusal{"signon_long_unknown", 3, {1, 6}, identifier_of(msg_unknown_status)},
        refusal{"signon_empty_over_authorised", 3, {}, identifier_of(msg_unknown_status), 6},
        refusal{"signon_without_length", 3, {6}, identifier_of(msg_unknown_status), 0, true},
        refusal{"signon_without_exchange",
                3,
                {6},
                identifier_of(msg_unknown_status),
                0,
                false,
                false,
                true},
        refusal{"startup_without_exchange", 1, std::vector<std::uint8_t>(32, 'A'),
                identifier_of(msg_unknown_status), 0, false, false, true},
        refusal{"verify_wrong", 2, std::vector<std::uint8_t>(32, '0'),
                identifier_of(msg_impersonation)},
        refusal{"verify_short", 2, std::vector<std::uint8_t>(31, '0'),
                identifier_of(msg_not_registered)},
        // The zeroed exit buffer's "expected response" is no response.
        refusal{"verify_forged_zeros", 2, std::vector<std::uint8_t>(32, 0),
                identifier_of(msg_impersonation), 0, false, true},
        refusal{"state_zero", 0, {6}, identifier_of(msg_invalid_state)},
        refusal{"state_four", 4, {6}, identifier_of(msg_invalid_state)},
        refusal{"state_ff", 255, std::vector<std::uint8_t>(32, 'A'),
                identifier_of(msg_invalid_state)}),
    [](const ::testing::TestParamInfo<refusal> &row) { return std::string(row.param.what); });

// The road of one channel, step by step: the table's row for each security
// message, and what the exit answers when the stand-in host calls it.
TEST(HandshakeTable, FollowsTheRoadOfOneChannel) {
    struct step {
        const char *what;
        std::int32_t reason;
        std::uint8_t state_before;
        input_kind kind;
        action act; // the table's action for the message
        std::uint8_t state_after;
        std::int32_t response;
        std::int32_t response2;
        std::vector<message_index> numbered;
    };
    const step road[] = {
        {"initialisation",
         ZTXR_INIT,
         0,
         input_kind::nothing,
         action::close_channel,
         ZAVCONN_STARTUP,
         ZTXCC_OK,
         0,
         {msg_exit_started}},
        {"invitation",
         ZTXR_INIT_SEC,
         ZAVCONN_STARTUP,
         input_kind::nothing,
         action::close_channel,
         ZAVCONN_STARTUP,
         ZTXCC_OK,
         0,
         {}},
        {"the partner's challenge",
         ZTXR_SEC_MSG,
         ZAVCONN_STARTUP,
         input_kind::text,
         action::answer_challenge,
         ZAVCONN_SIGNON,
         ZTXCC_SEND_SEC_MSG,
         0,
         {}},
        {"status 6",
         ZTXR_SEC_MSG,
         ZAVCONN_SIGNON,
         input_kind::status_authorised,
         action::send_own_challenge,
         ZAVCONN_VERIFY,
         ZTXCC_SEND_SEC_MSG,
         ZTXR2_USE_EXIT_BUFFER,
         {}},
        {"the partner's response",
         ZTXR_SEC_MSG,
         ZAVCONN_VERIFY,
         input_kind::text,
         action::let_channel_run,
         ZAVCONN_VERIFY,
         ZTXCC_OK,
         0,
         {}},
        {"termination",
         ZTXR_TERM,
         ZAVCONN_VERIFY,
         input_kind::nothing,
         action::close_channel,
         ZAVCONN_VERIFY,
         ZTXCC_OK,
         0,
         {msg_channel_closed}},
    };
    channel ch(exit_entry(), channel_config{});
    for (const step &s : road) {
        SCOPED_TRACE(s.what);
        ASSERT_EQ(ch.state(), s.state_before);
        std::vector<std::uint8_t> message;
        if (s.reason == ZTXR_SEC_MSG) {
            const transition &row = transition_for(s.state_before, s.kind);
            EXPECT_EQ(row.act, s.act);
            EXPECT_EQ(row.next, s.state_after);
            EXPECT_EQ(row.test == check::none, s.kind == input_kind::status_authorised);
            if (s.state_before == ZAVCONN_STARTUP) {
                message = bytes(challenge_text);
            } else if (s.state_before == ZAVCONN_SIGNON) {
                message = {ZAVSTAT_AUTHORISED};
            } else {
                message = bytes(response_to(
                    "SECRET", std::string(reinterpret_cast<const char *>(ch.exit_buffer()), 32)));
            }
            EXPECT_EQ(kind_of(state_rule_of(s.state_before).how, message.size(), message.size(),
                              message[0]),
                      s.kind);
        }
        ch.params().exit_response2 = 0;
        captured_output capture;
        if (message.empty()) {
            ch.call(s.reason);
        } else {
            ch.deliver(message);
        }
        const auto out = capture.take();
        EXPECT_EQ(ch.response(), s.response);
        EXPECT_EQ(ch.response2(), s.response2);
        EXPECT_EQ(ch.state(), s.state_after);
        std::vector<std::string> numbered;
        for (const message_index index : s.numbered) {
            numbered.push_back(identifier_of(index));
        }
        EXPECT_EQ(identifiers_in(out.out), numbered);
    }
}

TEST_F(Handshake, InvalidStateShowsTheStateAsTwoLowerCaseHexDigits) {
    for (const auto &[state, shown] :
         std::vector<std::pair<std::uint8_t, std::string>>{{0, "00"}, {4, "04"}, {0xab, "ab"}}) {
        ch_.params().user_area[0] = state;
        auto out = deliver({6});
        EXPECT_EQ(without_timestamp(out.out), line_of(msg_invalid_state, name_field, shown) + "\n");
    }
}

TEST_F(Handshake, StatusWithAStrangeLengthInSignonIsReadFromItsFirstByte) {
    deliver(bytes(challenge_text));
    auto out = deliver({ZAVSTAT_PASSWORD_VIOLATION, 0, 0});
    EXPECT_EQ(identifiers_in(out.out), identifiers_of({msg_password_violation}));
}

// A channel whose exit data turns on trace into a log file.
class TracedHandshake : public Handshake {
protected:
    TracedHandshake() : Handshake(channel_with(dir_path(), true)) {}
    static std::string dir_path() {
        static scratch_directory dir;
        return dir.file("trace.log");
    }
};

TEST_F(TracedHandshake, FullExchangeWritesTheseLinesToStandardOutputAndTheLogFile) {
    const std::string log = dir_path();
    std::remove(log.c_str());
    captured_output capture;
    ch_.deliver(bytes(challenge_text));
    const std::string response(reinterpret_cast<const char *>(ch_.exchange()), 32);
    ch_.deliver({ZAVSTAT_AUTHORISED});
    const std::string challenge(reinterpret_cast<const char *>(ch_.exit_buffer()), 32);
    const std::string expected = expected_response();
    ch_.deliver(bytes(expected));
    ch_.terminate();
    auto out = capture.take();

    // The texts of the 32 bytes shown are each followed by a blank.
    const std::string n = name_field;
    const std::vector<std::string> lines = {
        line_of(trace_sec_msg_received, n),
        line_of(trace_startup, n),
        line_of(trace_challenge_received, n, challenge_text + " "),
        line_of(trace_response_sent, n, response + " "),
        line_of(trace_sec_msg_received, n),
        line_of(trace_signon, n),
        line_of(trace_authorised, n),
        line_of(trace_challenge_sent, n, challenge + " "),
        line_of(trace_sec_msg_received, n),
        line_of(trace_verify, n),
        line_of(trace_response_received, n, expected + " "),
        line_of(trace_response_expected, n, expected + " "),
        line_of(trace_partner_authorised, n),
        line_of(msg_channel_closed, n),
    };
    EXPECT_EQ(bodies_of(out.out), lines);
    EXPECT_EQ(read_file(log), out.out);
    EXPECT_EQ(out.err, "");
}

// What a partner sends and the channel name a host gives, shown in trace
// lines: each line stays one whole line of the exit's, in the log file as on
// standard output, whatever the bytes. Every byte outside printable ASCII,
// and every backslash, is shown as "\xNN"; a text ends at a zero byte.
TEST_F(TracedHandshake, TraceShowsWhatPartnerAndHostSentAsOneLineEach) {
    struct row {
        const char *what;
        std::string name;   // the channel name field
        std::uint8_t state; // the state the 32-byte message arrives in
        bool forged;        // the host set the state byte itself
        std::string message;
        std::string shown;              // in the output as it stands
        std::size_t lines;              // from the start to the close
        std::string over_expected = {}; // written by the host over the expected response
    };
    const row rows[] = {
        {"a challenge cut by a zero byte", name_field, ZAVCONN_STARTUP, false,
         std::string("821AE\0"
                     "7328085308F021C05704518 1DE",
                     32),
         "---> 821AE \n", 6},
        {"a challenge carrying a line of its own", name_field, ZAVCONN_STARTUP, false,
         "\r\nWed Dec  9 04:35:56 2026 TARVE", "---> \\x0d\\x0aWed Dec  9 04:35:56 2026 TARVE \n",
         6},
        {"a challenge moving the operator's terminal", name_field, ZAVCONN_STARTUP, false,
         "\x1b]0;x\x07\x1b[2K\x1b[1A\\x41\x7f\xff\x80-----------",
         "---> \\x1b]0;x\\x07\\x1b[2K\\x1b[1A\\x5cx41\\x7f\\xff\\x80----------- \n", 6},
        {"a response with control bytes", name_field, ZAVCONN_VERIFY, false,
         "0123456789ABCDEF\n\t\x01\x1f 0123456789A",
         "---> 0123456789ABCDEF\\x0a\\x09\\x01\\x1f 0123456789A \n", 15},
        {"a channel name with control bytes", "TO.\tPARTNER\x1b[2J\r\n\\", ZAVCONN_STARTUP, false,
         challenge_text, "Channel => TO.\\x09PARTNER\\x1b[2J\\x0d\\x0a\\x5c   closed.\n", 6},
        {"an expected response the host wrote over", name_field, ZAVCONN_VERIFY, false,
         std::string(32, '0'), "---> ??2???0123456789??????ABCDEF???? \n", 15,
         std::string("\x1b[2J\r\n0123456789abcdefABCDEF\\\x7f\xff\x80", 32)},
        {"no challenge outstanding: no expected response", name_field, ZAVCONN_VERIFY, true,
         std::string(32, '\0'), std::string("expected  Channel => ") + name_field + " --->  \n", 7},
    };
    // Whatever the bytes, each line has the shape of one of the exit's own.
    const line_classifier any_line("[\\s\\S]*", [](message_index) { return "[\\s\\S]*"; });
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_EQ(r.message.size(), 32u);
        const std::string log = dir_path().substr(0, dir_path().rfind('/')) + "/row.log";
        std::remove(log.c_str());
        channel_config config = channel_with(log, true);
        config.name = r.name;
        channel ch(exit_entry(), config);
        captured_output capture;
        ch.initialise();
        if (r.forged) {
            ch.params().user_area[0] = r.state;
        } else if (r.state == ZAVCONN_VERIFY) {
            ch.deliver(bytes(challenge_text));
            ch.deliver({ZAVSTAT_AUTHORISED});
        }
        ASSERT_EQ(ch.state(), r.state);
        if (!r.over_expected.empty()) {
            std::memcpy(ch.exit_buffer() + 32, r.over_expected.data(), 32);
        }
        ch.deliver(bytes(r.message));
        ch.terminate();
        const auto out = capture.take();
        const std::vector<std::string> lines = bodies_of(out.out);
        EXPECT_EQ(lines.size(), r.lines) << out.out;
        for (const std::string &line : lines) {
            EXPECT_GE(any_line.entry_of(line), 0) << line;
        }
        EXPECT_NE(out.out.find(r.shown), std::string::npos) << out.out;
        EXPECT_EQ(read_file(log), out.out);
    }
}

// The password field up to its first blank, at most 12 bytes.
class Passwords : public ::testing::Test {
protected:
    static std::string answer_with_field(const std::string &field) {
        channel ch(exit_entry(), channel_config{});
        std::memcpy(ch.definition().password, field.data(), 12);
        captured_output quiet;
        ch.initialise();
        ch.deliver(bytes(challenge_text));
        std::string sent(reinterpret_cast<const char *>(ch.exchange()), 32);
        ch.terminate();
        return sent;
    }
};

TEST_F(Passwords, EndAtTheFirstBlankOrAfterTwelveBytes) {
    EXPECT_EQ(answer_with_field("SECRET      "), response_to("SECRET", challenge_text));
    EXPECT_EQ(answer_with_field("SECRET X    "), response_to("SECRET", challenge_text));
    EXPECT_EQ(answer_with_field(" SECRET     "), response_to("", challenge_text));
    EXPECT_EQ(answer_with_field("ABCDEFGHIJKL"), response_to("ABCDEFGHIJKL", challenge_text));
    EXPECT_EQ(answer_with_field(std::string("A\0B         ", 12)),
              response_to(std::string("A\0B", 3), challenge_text));
    EXPECT_NE(answer_with_field("Secret      "), answer_with_field("SECRET      "));
}

// Whole sign-ons with the stand-in partner, moved by the stand-in host.
TEST(SignOn, BothSidesProveThePasswordAndTheChannelRuns) {
    captured_output capture;
    auto record = standin::run_signon(exit_entry(), channel_config{}, partner_config{});
    auto out = capture.take();
    EXPECT_TRUE(record.signed_on);
    EXPECT_FALSE(record.closed);
    ASSERT_EQ(record.messages.size(), 5u);
    EXPECT_EQ(record.messages[1].bytes.size(), 32u);
    EXPECT_EQ(record.messages[3].bytes.size(), 32u);
    EXPECT_EQ(identifiers_in(out.out), identifiers_of({msg_exit_started, msg_channel_closed}));
}

TEST(SignOn, EachPartnerRefusalClosesWithItsMessage) {
    struct row {
        channel_config channel_settings;
        partner_config partner_settings;
        message_index message;
    };
    channel_config wrong_password;
    wrong_password.password = "WRONG";
    partner_config revoked;
    revoked.opening_status = ZAVSTAT_REVOKED;
    partner_config liar;
    liar.answer = partner_answer::wrong;
    partner_config short_answer;
    short_answer.answer = partner_answer::wrong_length;
    partner_config unregistered;
    unregistered.status = ZAVSTAT_NOT_REGISTERED;
    const row rows[] = {{wrong_password, {}, msg_password_violation},
                        {{}, revoked, msg_revoked},
                        {{}, liar, msg_impersonation},
                        {{}, short_answer, msg_not_registered},
                        {{}, unregistered, msg_not_registered}};
    for (const row &r : rows) {
        captured_output capture;
        auto record = standin::run_signon(exit_entry(), r.channel_settings, r.partner_settings);
        auto out = capture.take();
        EXPECT_FALSE(record.signed_on) << r.message;
        EXPECT_TRUE(record.closed) << r.message;
        EXPECT_EQ(identifiers_in(out.out),
                  identifiers_of({msg_exit_started, r.message, msg_channel_closed}));
    }
}

// An impersonator who does not know the password, posing as the partner,
// tries every way of having the exit answer its own challenge; each is
// refused with its message and nothing is sent, and a real partner still
// signs on.
class Impersonation : public ::testing::Test {
protected:
    // A channel that answered `opening` and was authorised: it has sent its
    // own challenge, returned here, and waits for the answer.
    static std::string challenged(channel &ch, const std::string &opening,
                                  std::string *response = nullptr) {
        captured_output quiet;
        ch.initialise();
        ch.deliver(bytes(opening));
        EXPECT_EQ(ch.response(), ZTXCC_SEND_SEC_MSG);
        if (response != nullptr) {
            *response = std::string(reinterpret_cast<const char *>(ch.exchange()), 32);
        }
        ch.deliver({ZAVSTAT_AUTHORISED});
        EXPECT_EQ(ch.state(), ZAVCONN_VERIFY);
        return std::string(reinterpret_cast<const char *>(ch.exit_buffer()), 32);
    }
    // Delivers `message` and expects the one refusal `identifier`, with the
    // exchange buffer, the lengths, the secondary response and the state
    // left as they were: nothing goes back to the partner.
    static void expect_refused(channel &ch, const std::string &message,
                               const std::string &identifier, const std::string &text = "",
                               bool with_definition = true) {
        std::memcpy(ch.exchange(), message.data(), message.size());
        ch.data_length() = static_cast<std::int32_t>(message.size());
        ch.params().exit_reason = ZTXR_SEC_MSG;
        ch.params().exit_response2 = 0;
        const std::uint8_t state = ch.state();
        const std::vector<std::uint8_t> exchange(ch.exchange(), ch.exchange() + 64);
        const std::vector<std::uint8_t> own(ch.exit_buffer(), ch.exit_buffer() + 64);
        const std::int32_t exit_length = ch.exit_length();
        captured_output capture;
        exit_entry()(&ch.params(), with_definition ? &ch.definition() : nullptr, &ch.data_length(),
                     &ch.exchange_length(), ch.exchange(), &ch.exit_length(), &ch.exit_buffer());
        const auto out = capture.take();
        EXPECT_EQ(ch.response(), ZTXCC_CLOSE_CHANNEL);
        EXPECT_EQ(identifiers_in(out.out), std::vector<std::string>{identifier});
        EXPECT_NE(out.out.find(text), std::string::npos) << out.out;
        EXPECT_EQ(std::vector<std::uint8_t>(ch.exchange(), ch.exchange() + 64), exchange);
        EXPECT_EQ(std::vector<std::uint8_t>(ch.exit_buffer(), ch.exit_buffer() + 64), own);
        EXPECT_EQ(ch.data_length(), static_cast<std::int32_t>(message.size()));
        EXPECT_EQ(ch.exit_length(), exit_length);
        EXPECT_EQ(ch.response2(), 0);
        EXPECT_EQ(ch.state(), state);
    }
    static void end(channel &ch) {
        captured_output quiet;
        ch.terminate();
    }
};

TEST_F(Impersonation, EveryWayToHaveTheExitAnswerItsOwnChallengeIsRefused) {
    // Predicted: the challenges the exit would once have made in the coming
    // seconds. The impersonator opens with one, keeps the exit's answer, and
    // would present it when the exit sends that challenge. It never does.
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    std::vector<std::string> predicted;
    for (std::uint32_t second = now - 2; second != now + 6; ++second) {
        std::string text(32, ' ');
        standin::seeded_challenge(second, reinterpret_cast<std::uint8_t *>(text.data()));
        predicted.push_back(text);
    }
    {
        channel ch(exit_entry(), channel_config{});
        std::string kept;
        const std::string sent = challenged(ch, predicted[3], &kept);
        EXPECT_EQ(std::count(predicted.begin(), predicted.end(), sent), 0) << sent;
        expect_refused(ch, kept, identifier_of(msg_impersonation));
        end(ch);
    }

    // Reflected: a challenge the exit sent on one instance of the channel
    // (made on another thread) put to it on a second instance, as sent, in
    // lower case, and with a blank for a 0 at an even position: all three
    // decode to the same bytes.
    channel first(exit_entry(), channel_config{});
    std::string sent;
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::thread([&] { sent = challenged(first, challenge_text); }).join();
        bool zero_at_even = false;
        for (std::size_t p = 0; p < 32; p += 2) {
            zero_at_even = zero_at_even || sent[p] == '0';
        }
        if (zero_at_even) {
            break;
        }
        end(first);
    }
    std::string lower = sent;
    std::string respelled = sent;
    for (std::size_t p = 0; p < 32; ++p) {
        lower[p] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[p])));
        respelled[p] = p % 2 == 0 && sent[p] == '0' ? ' ' : sent[p];
    }
    EXPECT_NE(respelled, sent) << "no 0 at an even position in 64 challenges";
    for (const std::string &reflected : {sent, lower, respelled}) {
        SCOPED_TRACE(reflected);
        channel second(exit_entry(), channel_config{});
        {
            captured_output quiet;
            second.initialise();
        }
        expect_refused(second, reflected, identifier_of(msg_impersonation));
        end(second);
    }
    // The first instance still waits for its partner's answer.
    EXPECT_EQ(first.state(), ZAVCONN_VERIFY);
    end(first);

    // No channel definition, so no password: refused in every state, never
    // answered as if the password were empty.
    for (std::uint8_t state : {ZAVCONN_STARTUP, ZAVCONN_SIGNON, ZAVCONN_VERIFY}) {
        SCOPED_TRACE(static_cast<int>(state));
        channel ch(exit_entry(), channel_config{});
        std::string message = challenge_text;
        if (state == ZAVCONN_VERIFY) {
            message = response_to("SECRET", challenged(ch, challenge_text));
        } else {
            captured_output quiet;
            ch.initialise();
            if (state == ZAVCONN_SIGNON) {
                ch.deliver(bytes(challenge_text));
                message = "\x06";
            }
        }
        ASSERT_EQ(ch.state(), state);
        expect_refused(ch, message, identifier_of(msg_invalid_exit_call),
                       line_of(msg_invalid_exit_call, "", " 15 ") + "\n", false);
        end(ch);
    }

    // A partner that holds the password signs on.
    captured_output quiet;
    const auto record = standin::run_signon(exit_entry(), channel_config{}, partner_config{});
    EXPECT_TRUE(record.signed_on);
}

// An exchange buffer placed right before an unreadable page: any access past
// its end faults and fails the test.
class GuardedExchange : public ::testing::Test {
protected:
    void SetUp() override {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        base_ = static_cast<std::uint8_t *>(
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(base_, MAP_FAILED);
        ASSERT_EQ(mprotect(base_ + page_, page_, PROT_NONE), 0);
    }
    void TearDown() override { munmap(base_, 2 * page_); }

    // A channel whose exchange buffer is the last `size` bytes before the guard.
    std::unique_ptr<channel> guarded_channel(std::int32_t size) {
        std::uint8_t *exchange = base_ + page_ - static_cast<std::size_t>(size);
        auto ch = std::make_unique<channel>(exit_entry(), channel_config{}, exchange, size);
        captured_output quiet;
        ch->initialise();
        return ch;
    }
    captured_output::streams deliver(channel &ch, std::vector<std::uint8_t> message,
                                     std::int32_t data_length) {
        captured_output capture;
        if (!message.empty()) { // an empty vector's data() may be null
            std::memcpy(ch.exchange(), message.data(),
                        std::min(message.size(), static_cast<std::size_t>(ch.exchange_length())));
        }
        ch.data_length() = data_length;
        ch.call(ZTXR_SEC_MSG);
        return capture.take();
    }

    std::size_t page_ = 0;
    std::uint8_t *base_ = nullptr;
};

TEST_F(GuardedExchange, AShortChallengeIsRefusedAndLeftUntouched) {
    for (std::int32_t length : {0, 2, 16, 31}) {
        auto ch = guarded_channel(std::max(length, 1));
        const std::vector<std::uint8_t> message(challenge_text.begin(),
                                                challenge_text.begin() + length);
        std::vector<std::uint8_t> before = message;
        before.resize(static_cast<std::size_t>(ch->exchange_length()));
        auto out = deliver(*ch, message, length);
        EXPECT_EQ(ch->response(), ZTXCC_CLOSE_CHANNEL) << length;
        EXPECT_EQ(ch->state(), ZAVCONN_STARTUP) << length;
        EXPECT_EQ(identifiers_in(out.out), identifiers_of({msg_unknown_status})) << length;
        EXPECT_EQ(std::vector<std::uint8_t>(ch->exchange(), ch->exchange() + ch->exchange_length()),
                  before);
        captured_output quiet;
        ch->terminate();
    }
}

TEST_F(GuardedExchange, AChallengeLengthBeyondTheBufferIsNeverFollowed) {
    // The host claims 32 bytes in a 20-byte buffer, and 4096 in a 32-byte one.
    auto small = guarded_channel(20);
    auto out = deliver(*small, bytes(challenge_text), 32);
    EXPECT_EQ(small->response(), ZTXCC_CLOSE_CHANNEL);
    EXPECT_EQ(identifiers_in(out.out), identifiers_of({msg_unknown_status}));

    auto exact = guarded_channel(32);
    deliver(*exact, bytes(challenge_text), 4096);
    EXPECT_EQ(exact->response(), ZTXCC_SEND_SEC_MSG) << "the first 32 bytes are answered";
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(exact->exchange()), 32),
              response_to("SECRET", challenge_text));
    captured_output quiet;
    small->terminate();
    exact->terminate();
}

TEST_F(GuardedExchange, VerifyInABufferTooShortForAResponseIsRefused) {
    auto ch = guarded_channel(16);
    ch->params().user_area[0] = ZAVCONN_VERIFY;
    auto out = deliver(*ch, std::vector<std::uint8_t>(16, 'A'), 32);
    EXPECT_EQ(ch->response(), ZTXCC_CLOSE_CHANNEL);
    EXPECT_EQ(identifiers_in(out.out), identifiers_of({msg_not_registered}));
    captured_output quiet;
    ch->terminate();
}

TEST_F(GuardedExchange, AnEmptyBufferCarriesNoStatus) {
    auto ch = guarded_channel(1);
    ch->exchange_length() = 0;
    auto out = deliver(*ch, {}, 1);
    EXPECT_EQ(ch->response(), ZTXCC_CLOSE_CHANNEL);
    EXPECT_EQ(identifiers_in(out.out), identifiers_of({msg_unknown_status}));
    ch->params().user_area[0] = ZAVCONN_SIGNON;
    out = deliver(*ch, {}, 1);
    EXPECT_EQ(identifiers_in(out.out), identifiers_of({msg_unknown_status}));
    captured_output quiet;
    ch->terminate();
}

TEST(MissingExitBuffer, SignonAndVerifyCloseWithTheStateInsteadOfUsingIt) {
    for (std::uint8_t state : {ZAVCONN_SIGNON, ZAVCONN_VERIFY}) {
        channel ch(exit_entry(), channel_config{});
        ch.params().user_area[0] = state;
        ch.exit_buffer() = nullptr;
        captured_output capture;
        ch.deliver(state == ZAVCONN_SIGNON ? std::vector<std::uint8_t>{6} : bytes(challenge_text));
        auto out = capture.take();
        EXPECT_EQ(ch.response(), ZTXCC_CLOSE_CHANNEL);
        EXPECT_EQ(identifiers_in(out.out), identifiers_of({msg_invalid_state}));
        EXPECT_NE(out.out.find(line_of(msg_invalid_state, name_field, "0" + std::to_string(state)) +
                               "\n"),
                  std::string::npos);
        EXPECT_EQ(ch.state(), state);
    }
}

} // namespace
} // namespace tarvelo::testing
