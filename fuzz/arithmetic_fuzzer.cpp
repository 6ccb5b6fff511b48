// arithmetic_fuzzer.cpp: the digest and the challenge arithmetic against an
// independent reference.
//
// A partner signs on only if both sides compute byte for byte the same
// response, so the arithmetic is held to OpenSSL's MD5 (linked here only,
// never into the exit) on whatever the fuzzer makes up:
//   - streaming MD5 over the input cut at arbitrary points, the one-shot
//     digest (also written over its own input) and the reference agree, and
//     md5_final leaves nothing of the message in the context;
//   - a response is 32 upper-case hexadecimal characters, never touches the
//     byte after them, and for a challenge that is hex text it equals
//     MD5(MD5(password) XOR the decoded bytes) in either letter case;
//   - a fresh challenge is upper-case hex text that is known for an exit's
//     however it is respelled, and not once its marking bytes are changed;
//   - the constant-time comparison agrees with memcmp; a wipe leaves zeros.
#include "auth/challenge.h"
#include "auth/md5.h"
#include "auth/secure.h"
#include "fuzz/fuzz_support.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

using tarvelo::fuzz::byte_reader;
using digest = std::array<std::uint8_t, tarvelo::md5_digest_length>;

constexpr std::size_t text_length = tarvelo::security_text_length;

digest reference_md5(const std::uint8_t *data, std::size_t length) {
    digest out{};
    unsigned int out_length = 0;
    static const std::uint8_t nothing = 0;
    FUZZ_CHECK(EVP_Digest(length != 0 ? data : &nothing, length, out.data(), &out_length, EVP_md5(),
                          nullptr) == 1);
    FUZZ_CHECK(out_length == out.size());
    return out;
}

void upper_hex(const std::uint8_t *bytes, std::size_t count, std::uint8_t *out) {
    static constexpr char digits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(digits[bytes[i] >> 4]);
        out[2 * i + 1] = static_cast<std::uint8_t>(digits[bytes[i] & 0x0F]);
    }
}

bool is_upper_hex(const std::uint8_t *text, std::size_t length) {
    return std::all_of(text, text + length, [](std::uint8_t c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    });
}

int hex_value(std::uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

void check_digests(const std::uint8_t *message, std::size_t length, byte_reader &cuts) {
    const digest expected = reference_md5(message, length);

    // Streaming, cut at up to seven arbitrary points, with empty updates
    // (and a null pointer) between the pieces.
    std::vector<std::size_t> points;
    const std::size_t cut_count = cuts.byte() % 8;
    for (std::size_t i = 0; i < cut_count; ++i) {
        const std::size_t raw = static_cast<std::size_t>(cuts.byte()) << 8 | cuts.byte();
        points.push_back(raw % (length + 1));
    }
    std::sort(points.begin(), points.end());
    points.push_back(length);
    tarvelo::md5_context ctx;
    tarvelo::md5_init(&ctx);
    std::size_t done = 0;
    for (const std::size_t point : points) {
        tarvelo::md5_update(&ctx, nullptr, 0);
        const std::size_t piece = point - done;
        if (piece != 0) {
            tarvelo::md5_update(&ctx, message + done, static_cast<std::uint32_t>(piece));
        }
        done = point;
    }
    digest streamed{};
    tarvelo::md5_final(&ctx, streamed.data());
    FUZZ_CHECK(streamed == expected);
    const auto *raw_ctx = reinterpret_cast<const std::uint8_t *>(&ctx);
    FUZZ_CHECK(std::all_of(raw_ctx, raw_ctx + sizeof ctx, [](std::uint8_t b) { return b == 0; }));

    // One-shot, into its own block and over its own input.
    digest one_shot{};
    tarvelo::md5_digest(message, length, one_shot.data());
    FUZZ_CHECK(one_shot == expected);
    std::vector<std::uint8_t> in_place(std::max<std::size_t>(length, one_shot.size()));
    std::copy(message, message + length, in_place.begin());
    tarvelo::md5_digest(in_place.data(), length, in_place.data());
    FUZZ_CHECK(std::equal(expected.begin(), expected.end(), in_place.begin()));
    digest empty{};
    tarvelo::md5_digest(nullptr, 0, empty.data());
    FUZZ_CHECK(empty == reference_md5(nullptr, 0));
}

// MD5(MD5(password) XOR the 16 bytes of a hex challenge), as hex text.
std::array<std::uint8_t, text_length> reference_response(const std::uint8_t *password,
                                                         std::size_t password_length,
                                                         const std::uint8_t *challenge) {
    digest mixed = reference_md5(password, password_length);
    for (std::size_t i = 0; i < mixed.size(); ++i) {
        const int high = hex_value(challenge[2 * i]);
        const int low = hex_value(challenge[2 * i + 1]);
        mixed[i] = static_cast<std::uint8_t>(mixed[i] ^ (high << 4 | low));
    }
    const digest final_digest = reference_md5(mixed.data(), mixed.size());
    std::array<std::uint8_t, text_length> text{};
    upper_hex(final_digest.data(), final_digest.size(), text.data());
    return text;
}

// Runs compute_response on a copy of `challenge` held in a block of exactly
// 32 bytes, and again in a 33-byte block whose last byte must survive.
std::array<std::uint8_t, text_length> response(const std::uint8_t *password,
                                               std::size_t password_length,
                                               const std::uint8_t *challenge,
                                               std::uint8_t sentinel) {
    auto *exact = static_cast<std::uint8_t *>(std::malloc(text_length));
    FUZZ_CHECK(exact != nullptr);
    std::memcpy(exact, challenge, text_length);
    tarvelo::compute_response(password, password_length, exact);
    std::array<std::uint8_t, text_length> result{};
    std::memcpy(result.data(), exact, text_length);
    std::free(exact);
    FUZZ_CHECK(is_upper_hex(result.data(), result.size()));

    std::array<std::uint8_t, text_length + 1> guarded{};
    std::memcpy(guarded.data(), challenge, text_length);
    guarded[text_length] = sentinel;
    tarvelo::compute_response(password, password_length, guarded.data());
    FUZZ_CHECK(guarded[text_length] == sentinel);
    FUZZ_CHECK(std::equal(result.begin(), result.end(), guarded.begin()));
    return result;
}

void check_responses(byte_reader &in) {
    std::uint8_t password[tarvelo::max_password_length];
    const std::size_t password_length = in.byte() % (sizeof password + 1);
    in.bytes(password, sizeof password);
    const std::uint8_t sentinel = in.byte();

    // Any 32 bytes at all.
    std::uint8_t raw[text_length];
    in.bytes(raw, sizeof raw);
    const auto from_raw = response(password, password_length, raw, sentinel);
    bool all_hex = true;
    for (const std::uint8_t c : raw) {
        all_hex = all_hex && hex_value(c) >= 0;
    }
    if (all_hex) {
        FUZZ_CHECK(from_raw == reference_response(password, password_length, raw));
    }

    // Hex text of 16 bytes, each letter's case chosen by the input.
    std::uint8_t bytes[text_length / 2];
    in.bytes(bytes, sizeof bytes);
    std::uint8_t challenge[text_length];
    upper_hex(bytes, sizeof bytes, challenge);
    const std::uint32_t cases = static_cast<std::uint32_t>(in.int32());
    for (std::size_t i = 0; i < text_length; ++i) {
        if ((cases >> i & 1U) != 0 && challenge[i] >= 'A') {
            challenge[i] = static_cast<std::uint8_t>(challenge[i] - 'A' + 'a');
        }
    }
    const auto expected = reference_response(password, password_length, challenge);
    FUZZ_CHECK(response(password, password_length, challenge, sentinel) == expected);
}

// A fresh challenge is 32 upper-case hex characters known for an exit's in
// every spelling that decodes to the same bytes, and
// not once its marking bytes (the last 8 characters) are changed.
void check_challenge(byte_reader &in) {
    auto *area = static_cast<std::uint8_t *>(std::malloc(text_length + 1));
    FUZZ_CHECK(area != nullptr);
    area[text_length] = 0xA5;
    FUZZ_CHECK(tarvelo::make_challenge(area));
    FUZZ_CHECK(area[text_length] == 0xA5);
    FUZZ_CHECK(is_upper_hex(area, text_length));
    FUZZ_CHECK(tarvelo::is_exit_challenge(area));

    // Respelled: letters in either case, a high nibble of 0 left out.
    std::uint8_t respelled[text_length];
    const std::uint32_t cases = static_cast<std::uint32_t>(in.int32());
    for (std::size_t i = 0; i < text_length; ++i) {
        std::uint8_t c = area[i];
        if ((cases >> i & 1U) != 0 && c >= 'A') {
            c = static_cast<std::uint8_t>(c - 'A' + 'a');
        } else if ((cases >> i & 1U) != 0 && c == '0' && i % 2 == 0) {
            c = ' ';
        }
        respelled[i] = c;
    }
    FUZZ_CHECK(tarvelo::is_exit_challenge(respelled));

    const std::size_t at = text_length - 1 - in.byte() % 8;
    area[at] = area[at] == '0' ? '1' : '0';
    FUZZ_CHECK(!tarvelo::is_exit_challenge(area));
    std::free(area);
}

void check_comparison_and_wipe(const std::uint8_t *message, std::size_t length, byte_reader &in) {
    std::vector<std::uint8_t> other(message, message + length);
    if (length != 0 && (in.byte() & 1) != 0) {
        other[in.byte() % length] ^= static_cast<std::uint8_t>(1 + in.byte() % 255);
    }
    const bool same = length == 0 || std::memcmp(message, other.data(), length) == 0;
    FUZZ_CHECK(tarvelo::equal_in_constant_time(message, other.data(), length) == same);
    if (!other.empty()) {
        tarvelo::secure_wipe(other.data(), other.size());
        FUZZ_CHECK(std::all_of(other.begin(), other.end(), [](std::uint8_t b) { return b == 0; }));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) { return 0; }

// The input is a header of parameters read from its front, and the whole
// input as the message to digest.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    byte_reader header(data, size);
    check_digests(data, size, header);
    check_responses(header);
    check_challenge(header);
    check_comparison_and_wipe(data, size, header);
    return 0;
}
