// entry_fuzzer.cpp: the exit as a careless or hostile host and partner see it.
//
// The fuzzer is the host. It loads the built library by path through the
// stand-in host's loaded_library and finds TARVELO by name, exactly as a queue
// manager does, so what is fuzzed is the shipped code with its own copies of
// the process-wide settings. It keeps every record of the channel in a heap
// block of exactly the record's size, and the exchange buffer in a block of
// exactly the exchange length, so AddressSanitizer sees any byte read or
// written past them. (The stand-in's channel class keeps the records side by
// side in one object, where an over-read of one record would land in the
// next unnoticed.)
//
// An input is a channel: its definition, exit data and exchange buffer, then
// a sequence of calls: every exit reason, forged handshake states, partner
// messages of any length and content, real challenges and right answers,
// host pointers left null, buffers swapped between calls. After each call it
// checks what a host relies on:
//   - the exit response is 0, -3 or -6, and -3 only where the handshake
//     sends something;
//   - a -6 comes with exactly one numbered message (plus message 0 at
//     initialisation), and every line on standard output is whole;
//   - trace lines appear only while trace is on;
//   - the fields the exit must not touch stay as they were: the parameter
//     block's reserved bytes, the user area after the state byte, the exit
//     data, the channel definition, the exchange length, and the exchange
//     buffer beyond what a legitimate answer may write;
//   - the channel runs (response 0 while verifying) only on the right answer
//     to a challenge the exit sent, never on a forged state alone;
//   - the exit never answers a challenge it sent itself, in any spelling,
//     nor any challenge on a call without the channel definition;
//   - each line reaches the named log file too, and no other file appears;
//   - a security message follows the handshake table's row for the state
//     and the kind of message: its action, its next state, its refusal.
// With TARVELO_FUZZ_SHOW set, each call's reason, state and response go to
// standard error, to read what an input does.
#include "auth/challenge.h"
#include "exit/handshake.h"
#include "exit/tarvelo.h"
#include "fuzz/fuzz_support.h"
#include "standin/host.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef TARVELO_LIBRARY_PATH
#error "TARVELO_LIBRARY_PATH must name the built exit library"
#endif

namespace {

using tarvelo::fuzz::byte_reader;

constexpr std::size_t text_length = 32;
constexpr int max_calls = 48;

// Where the exit's lines land. Standard output is a datagram socket: each
// write the exit makes arrives as one record, so a line is whole exactly
// when it came in one write, and a channel name or a partner's bytes that
// hold a newline cannot make one line look like two.
struct environment {
    tarvelo::standin::loaded_library library;
    tarvelo_entry_fn *entry = nullptr;
    int output_fd = -1; // the reading end
    std::string directory;
    // Log paths the exit data may name, all under `directory`; entry 0 is
    // none. Two of them cannot be opened (a directory, a missing directory).
    std::vector<std::string> names;
    std::vector<bool> openable;
};

environment &env() {
    static environment e;
    return e;
}

void clear_directory();

void remove_directory() {
    const environment &e = env();
    clear_directory();
    rmdir((e.directory + "/sub").c_str());
    rmdir(e.directory.c_str());
}

void setup() {
    environment &e = env();
    if (e.entry != nullptr) {
        return;
    }
    const char *override_path = std::getenv("TARVELO_LIBRARY");
    std::string error;
    if (!e.library.load(override_path != nullptr ? override_path : TARVELO_LIBRARY_PATH, "TARVELO",
                        &error)) {
        std::fprintf(stderr, "entry fuzzer: %s\n", error.c_str());
        std::exit(2);
    }
    e.entry = e.library.entry();

    char pattern[] = "/tmp/tvfzXXXXXX";
    const char *made = mkdtemp(pattern);
    if (made == nullptr) {
        std::perror("entry fuzzer: mkdtemp");
        std::exit(2);
    }
    e.directory = made;
    const std::string &d = e.directory;
    e.names = {"", d + "/a", d + "/b.log", d + "/sub", d + "/nodir/c",
               // Exactly fills the 32-byte exit data: no blank ends it.
               d + "/" + std::string(TARVELO_EXIT_DATA_LENGTH - d.size() - 1, 'x')};
    e.openable = {false, true, true, false, false, true};
    if (mkdir((d + "/sub").c_str(), 0700) != 0) {
        std::perror("entry fuzzer: mkdir");
        std::exit(2);
    }
    std::atexit(remove_directory);

    int ends[2];
    std::fflush(stdout);
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0 || dup2(ends[1], STDOUT_FILENO) < 0) {
        std::perror("entry fuzzer: capturing standard output");
        std::exit(2);
    }
    close(ends[1]);
    e.output_fd = ends[0];
    // Fully buffered, as standard output is whenever it is not a terminal.
    std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
}

// The writes that reached standard output since the last look.
std::vector<std::string> take_output() {
    std::vector<std::string> writes;
    char record[4096];
    for (;;) {
        const ssize_t n = recv(env().output_fd, record, sizeof record, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            FUZZ_CHECK(errno == EAGAIN || errno == EWOULDBLOCK);
            return writes;
        }
        FUZZ_CHECK(static_cast<std::size_t>(n) <= sizeof record);
        writes.emplace_back(record, static_cast<std::size_t>(n));
    }
}

std::string read_file_range(int fd, off_t from, off_t to) {
    std::string text(static_cast<std::size_t>(to - from), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n =
            pread(fd, text.data() + done, text.size() - done, from + static_cast<off_t>(done));
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
    return text;
}

// The channel's records, each in its own block of exactly its size.
struct records {
    tarvelo_exit_params *params = nullptr;
    tarvelo_channel_def *channel = nullptr;
    std::int32_t *data_length = nullptr;
    std::int32_t *exchange_length = nullptr;
    std::int32_t *exit_length = nullptr;
    std::uint8_t **exit_buffer = nullptr;
    std::uint8_t *exchange = nullptr;
    std::int32_t exchange_size = 0;

    records() {
        params = static_cast<tarvelo_exit_params *>(std::malloc(sizeof *params));
        channel = static_cast<tarvelo_channel_def *>(std::malloc(sizeof *channel));
        data_length = static_cast<std::int32_t *>(std::malloc(sizeof *data_length));
        exchange_length = static_cast<std::int32_t *>(std::malloc(sizeof *exchange_length));
        exit_length = static_cast<std::int32_t *>(std::malloc(sizeof *exit_length));
        exit_buffer = static_cast<std::uint8_t **>(std::malloc(sizeof *exit_buffer));
        FUZZ_CHECK(params && channel && data_length && exchange_length && exit_length &&
                   exit_buffer);
        std::memset(params, 0, sizeof *params);
        std::memset(channel, 0, sizeof *channel);
        *data_length = 0;
        *exchange_length = 0;
        *exit_length = 0;
        *exit_buffer = nullptr;
    }
    ~records() {
        std::free(params);
        std::free(channel);
        std::free(data_length);
        std::free(exchange_length);
        std::free(exit_length);
        std::free(exit_buffer);
        std::free(exchange);
    }
    records(const records &) = delete;
    records &operator=(const records &) = delete;

    // A new exchange buffer of exactly `size` bytes (none below zero), its
    // contents from the input.
    void new_exchange(std::int32_t size, byte_reader &in) {
        std::free(exchange);
        exchange_size = size;
        const std::size_t bytes = size > 0 ? static_cast<std::size_t>(size) : 0;
        // A zero-byte block for an empty buffer: any access to it is caught.
        // NOLINTNEXTLINE(clang-analyzer-optin.portability.UnixAPI)
        exchange = static_cast<std::uint8_t *>(std::malloc(bytes));
        FUZZ_CHECK(bytes == 0 || exchange != nullptr);
        const std::uint8_t fill = in.byte();
        for (std::size_t i = 0; i < bytes; ++i) {
            exchange[i] = static_cast<std::uint8_t>(fill + i);
        }
        *exchange_length = size;
    }
};

std::int32_t exchange_size_from(std::uint8_t selector) {
    static constexpr std::array<std::int32_t, 17> sizes = {0,  1,  2,  8,  16,  31,  32,   33, 34,
                                                           48, 63, 64, 65, 128, 256, 1000, -5};
    return sizes[selector % sizes.size()];
}

// The exit data: one of the known log paths (or none) placed among blanks,
// zero bytes and the input's own bytes, which make up the trace keyword and
// whatever follows it. The first token is always a known path or empty, so
// the exit never writes outside the fuzzer's directory.
std::size_t compose_exit_data(char *field, byte_reader &in) {
    const environment &e = env();
    const std::uint8_t mode = in.byte();
    const std::size_t name_index = in.byte() % e.names.size();
    const std::string &name = e.names[name_index];
    std::string text;
    const std::size_t blanks = 1 + (mode >> 2) % 4;
    if (name.empty()) {
        text = (mode & 1) != 0 ? std::string(1, '\0') : std::string(TARVELO_EXIT_DATA_LENGTH, ' ');
    } else {
        switch (mode % 4) {
        case 0:
            text = name + std::string(blanks, ' ');
            break;
        case 1: {
            // Leading blanks only where the whole name still fits.
            const std::size_t room = TARVELO_EXIT_DATA_LENGTH - name.size();
            text = std::string(blanks - 1 < room ? blanks - 1 : room, ' ') + name + " TRACEON";
            break;
        }
        case 2:
            text = name + std::string(1, '\0');
            break;
        default:
            text = name + std::string(TARVELO_EXIT_DATA_LENGTH, ' ');
            break;
        }
    }
    std::size_t i = 0;
    for (; i < TARVELO_EXIT_DATA_LENGTH && i < text.size(); ++i) {
        field[i] = text[i];
    }
    for (; i < TARVELO_EXIT_DATA_LENGTH; ++i) {
        field[i] = static_cast<char>(in.byte());
    }
    return name_index;
}

// What the exit is to make of the exit data: whether the second token turns
// trace on.
bool exit_data_turns_trace_on(const char *field) {
    char copy[TARVELO_EXIT_DATA_LENGTH + 1] = {};
    for (std::size_t i = 0; i < TARVELO_EXIT_DATA_LENGTH && field[i] != '\0'; ++i) {
        copy[i] = field[i];
    }
    const char *p = copy;
    for (int token = 0; token < 2; ++token) {
        while (*p == ' ') {
            ++p;
        }
        if (token == 1) {
            return std::strncmp(p, "TRACEON", 7) == 0;
        }
        while (*p != '\0' && *p != ' ') {
            ++p;
        }
    }
    return false;
}

std::size_t password_length(const tarvelo_channel_def *channel) {
    std::size_t length = 0;
    while (length < TARVELO_PASSWORD_LENGTH && channel->password[length] != ' ') {
        ++length;
    }
    return length;
}

std::array<std::uint8_t, text_length> response_for(const tarvelo_channel_def *channel,
                                                   const std::uint8_t *challenge) {
    std::array<std::uint8_t, text_length> text{};
    std::memcpy(text.data(), challenge, text_length);
    tarvelo::compute_response(reinterpret_cast<const std::uint8_t *>(channel->password),
                              password_length(channel), text.data());
    return text;
}

bool is_upper_hex(const std::uint8_t *text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        const bool letter = text[i] >= 'A' && text[i] <= 'F';
        if (!digit && !letter) {
            return false;
        }
    }
    return true;
}

struct line_counts {
    int numbered = 0;
    int trace = 0;
};

// Every write is one whole line: a 24-character timestamp, a blank and
// either a numbered message or a trace line, ended by a newline. Message 2
// alone ends with a newline and a blank: the blank begins the next line.
line_counts check_lines(const std::vector<std::string> &writes) {
    line_counts counts;
    for (const std::string &line : writes) {
        FUZZ_CHECK(line.size() > 37 && line[24] == ' ');
        if (line.compare(25, 8, "TARVELO0") == 0) {
            ++counts.numbered;
            const bool blank_after = line.compare(25, 12, "TARVELO002E ") == 0;
            FUZZ_CHECK(line.compare(line.size() - (blank_after ? 2 : 1), std::string::npos,
                                    blank_after ? "\n " : "\n") == 0);
        } else {
            FUZZ_CHECK(line.compare(25, 11, "Trace ....>") == 0);
            FUZZ_CHECK(line.back() == '\n');
            ++counts.trace;
        }
    }
    return counts;
}

// The state of the host's side between calls.
struct host_view {
    records rec;
    std::size_t name_index = 0;
    bool trace = false;
    // The right answer to the challenge the exit sent from its buffer, while
    // its buffer holds it; with no challenge outstanding no answer is right.
    bool challenge_known = false;
    std::array<std::uint8_t, text_length> right_answer{};
    std::array<std::uint8_t, text_length> sent_challenge{};
    // The right answers to every challenge the exit sent in this run: two
    // challenge texts get the same answer exactly when they decode to the
    // same bytes, so none of these may ever be the answer the exit gives.
    std::vector<std::array<std::uint8_t, text_length>> answers_to_own;
    std::vector<std::uint8_t *> lost_buffers;
    std::vector<off_t> log_sizes;
};

struct null_mask {
    bool channel = false;
    bool data_length = false;
    bool exchange_length = false;
    bool exchange = false;
    bool exit_length = false;
    bool exit_buffer = false;
};

off_t file_size(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        FUZZ_CHECK(errno == ENOENT);
        return 0;
    }
    return st.st_size;
}

void call_exit(host_view &h, std::int32_t reason, const null_mask &nulls = {}) {
    environment &e = env();
    records &r = h.rec;
    tarvelo_exit_params &p = *r.params;

    p.exit_reason = reason;
    p.exit_response = 0x5A5A5A5A; // the exit must set it on every call
    const tarvelo_exit_params before = p;
    const tarvelo_channel_def channel_before = *r.channel;
    const std::int32_t data_length_before = *r.data_length;
    const std::int32_t exit_length_before = *r.exit_length;
    std::uint8_t *const buffer_before = *r.exit_buffer;
    const std::vector<std::uint8_t> exchange_before(
        r.exchange, r.exchange + (r.exchange_size > 0 ? r.exchange_size : 0));
    const std::uint8_t state = before.user_area[0];
    const bool exchange_passed = !nulls.exchange && !nulls.exchange_length;

    const bool trace_after_prologue = h.trace || exit_data_turns_trace_on(p.exit_data);
    // Initialisation turns trace off right after reading the exit data.
    const bool trace_during = reason == ZTXR_INIT ? false : trace_after_prologue;

    const std::string &log_name = e.names[h.name_index];
    const bool logged = e.openable[h.name_index];
    const off_t log_before = logged ? file_size(log_name) : 0;

    e.entry(
        r.params, nulls.channel ? nullptr : r.channel, nulls.data_length ? nullptr : r.data_length,
        nulls.exchange_length ? nullptr : r.exchange_length, nulls.exchange ? nullptr : r.exchange,
        nulls.exit_length ? nullptr : r.exit_length, nulls.exit_buffer ? nullptr : r.exit_buffer);
    h.trace = trace_during;

    const std::int32_t response = p.exit_response;
    static const bool show = std::getenv("TARVELO_FUZZ_SHOW") != nullptr;
    if (show) {
        std::fprintf(stderr, "reason %d state %d -> response %d state %d\n", reason, state,
                     response, p.user_area[0]);
    }
    FUZZ_CHECK(response == ZTXCC_OK || response == ZTXCC_SEND_SEC_MSG ||
               response == ZTXCC_CLOSE_CHANNEL);

    // Never touched, whatever happened.
    FUZZ_CHECK(std::memcmp(p.reserved0, before.reserved0, sizeof p.reserved0) == 0);
    FUZZ_CHECK(std::memcmp(p.reserved1, before.reserved1, sizeof p.reserved1) == 0);
    FUZZ_CHECK(std::memcmp(p.user_area + 1, before.user_area + 1, sizeof p.user_area - 1) == 0);
    FUZZ_CHECK(std::memcmp(p.exit_data, before.exit_data, sizeof p.exit_data) == 0);
    FUZZ_CHECK(p.exit_reason == reason);
    FUZZ_CHECK(std::memcmp(r.channel, &channel_before, sizeof channel_before) == 0);
    FUZZ_CHECK(*r.exchange_length == r.exchange_size);

    const bool answered_challenge =
        reason == ZTXR_SEC_MSG && state == ZAVCONN_STARTUP && response == ZTXCC_SEND_SEC_MSG;
    const bool sent_own_challenge =
        reason == ZTXR_SEC_MSG && state == ZAVCONN_SIGNON && response == ZTXCC_SEND_SEC_MSG;
    FUZZ_CHECK(response != ZTXCC_SEND_SEC_MSG || answered_challenge || sent_own_challenge);

    // The exchange buffer: only an answered challenge changes it, and only
    // its first 32 bytes, which become the response.
    const std::size_t exchange_bytes = exchange_before.size();
    if (answered_challenge) {
        FUZZ_CHECK(exchange_passed && exchange_bytes >= text_length);
        FUZZ_CHECK(data_length_before >= static_cast<std::int32_t>(text_length));
        FUZZ_CHECK(!nulls.channel);
        const auto expected = response_for(r.channel, exchange_before.data());
        for (const auto &own : h.answers_to_own) {
            FUZZ_CHECK(expected != own);
        }
        FUZZ_CHECK(std::memcmp(r.exchange, expected.data(), text_length) == 0);
        FUZZ_CHECK(std::memcmp(r.exchange + text_length, exchange_before.data() + text_length,
                               exchange_bytes - text_length) == 0);
    } else if (exchange_bytes != 0) {
        FUZZ_CHECK(std::memcmp(r.exchange, exchange_before.data(), exchange_bytes) == 0);
    }

    // The secondary response, the data and exit lengths and the state move
    // only as the handshake says.
    if (sent_own_challenge) {
        // Only an authorised status the partner sent this time: never a byte
        // an earlier message left behind a data length of 0.
        FUZZ_CHECK(data_length_before >= 1 && exchange_passed && exchange_bytes >= 1 &&
                   exchange_before[0] == ZAVSTAT_AUTHORISED);
        FUZZ_CHECK(p.exit_response2 == ZTXR2_USE_EXIT_BUFFER);
        FUZZ_CHECK(*r.data_length == static_cast<std::int32_t>(text_length));
        FUZZ_CHECK(*r.exit_length == static_cast<std::int32_t>(text_length));
        FUZZ_CHECK(*r.exit_buffer != nullptr && *r.exit_buffer == buffer_before);
        FUZZ_CHECK(is_upper_hex(*r.exit_buffer, text_length));
        FUZZ_CHECK(!nulls.channel);
        h.right_answer = response_for(r.channel, *r.exit_buffer);
        std::memcpy(h.sent_challenge.data(), *r.exit_buffer, text_length);
        h.answers_to_own.push_back(h.right_answer);
        h.challenge_known = true;
    } else {
        FUZZ_CHECK(p.exit_response2 == before.exit_response2);
        FUZZ_CHECK(*r.data_length == data_length_before);
        if (reason == ZTXR_INIT && !nulls.exit_buffer && !nulls.exit_length) {
            FUZZ_CHECK(*r.exit_length == TARVELO_EXIT_BUFFER_LENGTH);
        } else {
            FUZZ_CHECK(*r.exit_length == exit_length_before);
        }
    }
    std::uint8_t expected_state = state;
    if (reason == ZTXR_INIT) {
        expected_state = ZAVCONN_STARTUP;
    } else if (answered_challenge) {
        expected_state = ZAVCONN_SIGNON;
    } else if (sent_own_challenge) {
        expected_state = ZAVCONN_VERIFY;
    }
    FUZZ_CHECK(p.user_area[0] == expected_state);

    // The exit buffer: made at initialisation, released at termination.
    if (reason == ZTXR_INIT) {
        const bool can_allocate = !nulls.exit_buffer && !nulls.exit_length;
        if (can_allocate) {
            FUZZ_CHECK(*r.exit_buffer != nullptr && response == ZTXCC_OK);
            if (buffer_before != nullptr) {
                // The host initialised twice; the first buffer is its loss.
                h.lost_buffers.push_back(buffer_before);
            }
        } else {
            FUZZ_CHECK(*r.exit_buffer == buffer_before && response == ZTXCC_CLOSE_CHANNEL);
        }
        h.challenge_known = false;
    } else if (reason == ZTXR_TERM && !nulls.exit_buffer) {
        FUZZ_CHECK(*r.exit_buffer == nullptr);
        h.challenge_known = false;
    } else {
        FUZZ_CHECK(*r.exit_buffer == buffer_before);
    }
    if (reason == ZTXR_TERM || reason == ZTXR_INIT_SEC) {
        FUZZ_CHECK(response == ZTXCC_OK);
    } else if (reason != ZTXR_INIT && reason != ZTXR_SEC_MSG) {
        FUZZ_CHECK(response == ZTXCC_CLOSE_CHANNEL);
    }

    // A security message with a channel definition follows the handshake
    // table's row for the state and the kind of message the exit was given.
    // On a close, the identifiers the refusal may carry.
    std::vector<std::string_view> refusals;
    if (reason == ZTXR_SEC_MSG && !nulls.channel) {
        const std::size_t length = !nulls.data_length && data_length_before > 0
                                       ? static_cast<std::size_t>(data_length_before)
                                       : 0;
        const std::size_t room = exchange_passed ? exchange_bytes : 0;
        const std::size_t held = length < room ? length : room;
        const tarvelo::state_rule &rule = tarvelo::state_rule_of(state);
        const tarvelo::transition &row = tarvelo::transition_for(
            state, tarvelo::kind_of(rule.how, length, held, held != 0 ? exchange_before[0] : 0));
        switch (response) {
        case ZTXCC_SEND_SEC_MSG:
            FUZZ_CHECK(row.act == tarvelo::action::answer_challenge ||
                       row.act == tarvelo::action::send_own_challenge);
            break;
        case ZTXCC_OK:
            FUZZ_CHECK(row.act == tarvelo::action::let_channel_run);
            break;
        default:
            // The row's refusal; past a row that goes on, also the state
            // that cannot go on (a part the host did not give, no random
            // bytes).
            if (row.refusal != tarvelo::no_refusal) {
                refusals.push_back(
                    tarvelo::messages[static_cast<std::size_t>(row.refusal)].identifier);
            }
            if (row.act != tarvelo::action::close_channel) {
                refusals.push_back(tarvelo::messages[tarvelo::msg_invalid_state].identifier);
            }
            break;
        }
        FUZZ_CHECK(p.user_area[0] == (response == ZTXCC_CLOSE_CHANNEL ? state : row.next));
        FUZZ_CHECK(row.act != tarvelo::action::close_channel || response == ZTXCC_CLOSE_CHANNEL);
    }

    // The channel runs only on the right answer to the challenge sent.
    if (reason == ZTXR_SEC_MSG && state == ZAVCONN_VERIFY && response == ZTXCC_OK) {
        FUZZ_CHECK(data_length_before == static_cast<std::int32_t>(text_length));
        FUZZ_CHECK(exchange_passed && exchange_bytes >= text_length);
        FUZZ_CHECK(h.challenge_known);
        FUZZ_CHECK(std::memcmp(exchange_before.data(), h.right_answer.data(), text_length) == 0);
    }
    if (reason == ZTXR_SEC_MSG && state != ZAVCONN_STARTUP && state != ZAVCONN_SIGNON &&
        state != ZAVCONN_VERIFY) {
        FUZZ_CHECK(response == ZTXCC_CLOSE_CHANNEL);
    }

    // What was written: whole lines, the numbered ones counted exactly.
    const std::vector<std::string> writes = take_output();
    const line_counts counts = check_lines(writes);
    std::string written;
    for (const std::string &line : writes) {
        written += line;
    }
    const int expected_numbered = (reason == ZTXR_INIT ? 1 : 0) + (reason == ZTXR_TERM ? 1 : 0) +
                                  (response == ZTXCC_CLOSE_CHANNEL ? 1 : 0);
    FUZZ_CHECK(counts.numbered == expected_numbered);
    if (!refusals.empty()) {
        const std::string_view shown(writes.back().data() + 25, 11);
        FUZZ_CHECK(std::find(refusals.begin(), refusals.end(), shown) != refusals.end());
    }
    if (!trace_during) {
        FUZZ_CHECK(counts.trace == 0);
    } else if (reason == ZTXR_SEC_MSG) {
        FUZZ_CHECK(counts.trace >= 1);
    }

    // The same lines, and only those, are appended to the named log file.
    if (logged) {
        const off_t log_after = file_size(log_name);
        FUZZ_CHECK(static_cast<std::size_t>(log_after - log_before) == written.size());
        if (log_after > log_before) {
            const int fd = open(log_name.c_str(), O_RDONLY | O_CLOEXEC);
            FUZZ_CHECK(fd >= 0);
            const std::string logged_text = read_file_range(fd, log_before, log_after);
            close(fd);
            FUZZ_CHECK(logged_text == written);
        }
    }
}

void deliver(host_view &h, const std::uint8_t *message, std::size_t length,
             std::int32_t data_length, const null_mask &nulls) {
    records &r = h.rec;
    const std::size_t room = r.exchange_size > 0 ? static_cast<std::size_t>(r.exchange_size) : 0;
    const std::size_t fits = length < room ? length : room;
    if (fits != 0) {
        std::memcpy(r.exchange, message, fits);
    }
    *r.data_length = data_length;
    r.params->exit_response2 = 0;
    call_exit(h, ZTXR_SEC_MSG, nulls);
}

void hex_text(const std::uint8_t *bytes, std::size_t count, bool lower, std::uint8_t *out) {
    const char *digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(digits[bytes[i] >> 4]);
        out[2 * i + 1] = static_cast<std::uint8_t>(digits[bytes[i] & 0x0F]);
    }
}

// Trace off and no log path, whatever the previous input left: the
// process-wide settings live in the library, and only a call resets them.
void reset_library_settings() {
    environment &e = env();
    tarvelo_exit_params params{};
    std::memset(params.exit_data, ' ', sizeof params.exit_data);
    params.exit_reason = ZTXR_INIT;
    tarvelo_channel_def channel{};
    std::int32_t data_length = 0;
    std::int32_t exchange_length = 0;
    std::int32_t exit_length = 0;
    std::uint8_t *exit_buffer = nullptr;
    e.entry(&params, &channel, &data_length, &exchange_length, nullptr, &exit_length, &exit_buffer);
    std::free(exit_buffer);
}

void clear_directory() {
    const environment &e = env();
    for (std::size_t i = 0; i < e.names.size(); ++i) {
        if (e.openable[i]) {
            unlink(e.names[i].c_str());
        }
    }
}

// Nothing in the fuzzer's directory but the named files and the
// subdirectory that stands for an unopenable path.
void check_directory() {
    const environment &e = env();
    DIR *dir = opendir(e.directory.c_str());
    FUZZ_CHECK(dir != nullptr);
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string full = e.directory + "/" + name;
        bool known = false;
        for (std::size_t i = 0; i < e.names.size(); ++i) {
            known = known || (full == e.names[i] && (e.openable[i] || name == "sub"));
        }
        FUZZ_CHECK(known);
    }
    closedir(dir);
}

void run(byte_reader &in) {
    reset_library_settings();
    clear_directory();
    take_output();

    host_view h;
    records &r = h.rec;
    r.new_exchange(exchange_size_from(in.byte()), in);
    in.bytes(reinterpret_cast<std::uint8_t *>(r.channel->channel_name),
             sizeof r.channel->channel_name);
    in.bytes(reinterpret_cast<std::uint8_t *>(r.channel->password), sizeof r.channel->password);
    const std::uint8_t fill = in.byte();
    std::memset(r.channel->reserved, fill, sizeof r.channel->reserved);
    std::memset(r.params->reserved0, fill ^ 0x11, sizeof r.params->reserved0);
    std::memset(r.params->reserved1, fill ^ 0x22, sizeof r.params->reserved1);
    for (std::size_t i = 1; i < sizeof r.params->user_area; ++i) {
        r.params->user_area[i] = static_cast<std::uint8_t>(fill + 3 * i);
    }
    h.name_index = compose_exit_data(r.params->exit_data, in);

    null_mask nulls;
    for (int calls = 0; calls < max_calls && !in.empty(); ++calls) {
        const std::uint8_t op = in.byte();
        switch (op % 12) {
        case 0:
            call_exit(h, ZTXR_INIT, nulls);
            break;
        case 1:
            call_exit(h, ZTXR_TERM, nulls);
            break;
        case 2:
            call_exit(h, ZTXR_INIT_SEC, nulls);
            break;
        case 3: { // any message, with any data length
            const std::size_t length = in.byte();
            std::vector<std::uint8_t> message(length);
            in.bytes(message.data(), length);
            const std::int32_t data_length =
                (op & 0x80) != 0 ? in.int32() : static_cast<std::int32_t>(length);
            deliver(h, message.data(), length, data_length, nulls);
            break;
        }
        case 4: { // a status byte
            static constexpr std::uint8_t statuses[] = {6, 7, 8, 9, 10, 0, 255, 11};
            const std::uint8_t pick = in.byte();
            const std::uint8_t status = (op & 0x80) != 0 ? pick : statuses[pick % 8];
            deliver(h, &status, 1, 1, nulls);
            break;
        }
        case 5: { // a well-formed challenge, upper or lower case, maybe longer
            std::uint8_t digest[16];
            in.bytes(digest, sizeof digest);
            std::vector<std::uint8_t> message(text_length + (op >> 6), 'Z');
            hex_text(digest, sizeof digest, (op & 0x10) != 0, message.data());
            if ((op & 0x20) != 0 && !h.answers_to_own.empty()) {
                // The exit's own last challenge reflected, maybe in lower case.
                std::memcpy(message.data(), h.sent_challenge.data(), text_length);
                for (std::size_t i = 0; (op & 0x10) != 0 && i < text_length; ++i) {
                    if (message[i] >= 'A' && message[i] <= 'F') {
                        message[i] = static_cast<std::uint8_t>(message[i] - 'A' + 'a');
                    }
                }
            }
            deliver(h, message.data(), message.size(), static_cast<std::int32_t>(message.size()),
                    nulls);
            break;
        }
        case 6: { // the answer to the exit's challenge: right, or one byte off
            std::array<std::uint8_t, text_length> answer{};
            if (h.challenge_known) {
                answer = h.right_answer;
            } else {
                in.bytes(answer.data(), answer.size());
            }
            if ((op & 0x80) != 0) {
                answer[in.byte() % text_length] ^= static_cast<std::uint8_t>(1 + in.byte() % 255);
            }
            const std::size_t length = (op & 0x40) != 0 ? text_length - 1 : text_length;
            deliver(h, answer.data(), length, static_cast<std::int32_t>(length), nulls);
            break;
        }
        case 7: // any exit reason at all
            call_exit(h, in.int32(), nulls);
            break;
        case 8: { // the host forges the state byte
            const std::uint8_t value = in.byte();
            r.params->user_area[0] =
                (op & 0x80) != 0 ? value : static_cast<std::uint8_t>(value % 5);
            break;
        }
        case 9:
            h.name_index = compose_exit_data(r.params->exit_data, in);
            break;
        case 10: // a different exchange buffer for the next calls
            r.new_exchange(exchange_size_from(in.byte()), in);
            break;
        default: { // pointers a broken host leaves null, for the next call
            const std::uint8_t mask = in.byte();
            nulls.channel = (mask & 1) != 0;
            nulls.data_length = (mask & 2) != 0;
            nulls.exchange_length = (mask & 4) != 0;
            nulls.exchange = (mask & 8) != 0;
            nulls.exit_length = (mask & 16) != 0;
            nulls.exit_buffer = (mask & 32) != 0;
            continue;
        }
        }
        nulls = null_mask{};
    }

    // The host ends the channel; what it lost on its own it frees itself.
    if (*r.exit_buffer != nullptr) {
        call_exit(h, ZTXR_TERM);
    }
    for (std::uint8_t *lost : h.lost_buffers) {
        std::free(lost);
    }
    check_directory();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    setup();
    byte_reader in(data, size);
    run(in);
    return 0;
}
