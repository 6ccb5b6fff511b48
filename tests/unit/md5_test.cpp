// MD5 against RFC 1321's suite, independently computed vectors, every way of
// feeding the same input, and the promises of md5.h about contexts.
#include "auth/md5.h"
#include "tests/support/hex_text.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tarvelo {
namespace {

bytes of(const std::string &s) { return bytes(s.begin(), s.end()); }

// The digest, with the bytes after its 16 checked to be left as they were.
std::string one_shot(const bytes &in) {
    std::uint8_t d[md5_digest_length + 4];
    std::memset(d, 0xA5, sizeof d);
    md5_digest(in.data(), in.size(), d);
    EXPECT_EQ(to_hex(d + md5_digest_length, 4), to_hex(bytes(4, 0xA5).data(), 4))
        << "written past the digest";
    return to_hex(d, md5_digest_length);
}

// Feeds `in` in pieces ending at each of `cuts` (ascending), then the rest.
std::string streamed(const bytes &in, std::initializer_list<std::size_t> cuts) {
    md5_context ctx;
    md5_init(&ctx);
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        md5_update(&ctx, in.data() + from, static_cast<std::uint32_t>(cut - from));
        from = cut;
    }
    md5_update(&ctx, in.data() + from, static_cast<std::uint32_t>(in.size() - from));
    std::uint8_t d[md5_digest_length];
    md5_final(&ctx, d);
    return to_hex(d, sizeof d);
}

// n bytes (7k + n) mod 256: the pattern of md5.txt, whose lines give the
// expected digests.
bytes sample(std::size_t n) {
    bytes in(n);
    for (std::size_t k = 0; k < n; ++k)
        in[k] = static_cast<std::uint8_t>(7 * k + n);
    return in;
}

TEST(Md5, Rfc1321Suite) {
    const struct {
        const char *input, *digest;
    } suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &t : suite) {
        EXPECT_EQ(one_shot(of(t.input)), t.digest) << '"' << t.input << '"';
        EXPECT_EQ(streamed(of(t.input), {}), t.digest) << '"' << t.input << '"';
    }
}

TEST(Md5, PaddingBoundaries) {
    // Digests of n letters 'a' by an independent implementation (Python's
    // hashlib): the pad fits in the block (55), just does not (56, 63), the
    // input ends on a block (64) or one past (65), and again a block later.
    const struct {
        std::size_t n;
        const char *digest;
    } cases[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
        {63, "b06521f39153d618550606be297466d5"},  {64, "014842d480b571495a4a0363793f7367"},
        {65, "c743a45e0d2e6a95cb859adae0248435"},  {119, "8a7bd0732ed6a28ce75f6dabc90e1613"},
        {120, "5f61c0ccad4cac44c75ff505e1f1e537"},
    };
    for (const auto &c : cases) {
        const bytes in(c.n, 'a');
        EXPECT_EQ(one_shot(in), c.digest) << c.n;
        EXPECT_EQ(streamed(in, {1}), c.digest) << c.n;
    }
}

TEST(Md5, EveryVectorOfTheSharedSet) {
    const auto lines = testing::read_vectors("md5.txt");
    ASSERT_GE(lines.size(), 200u) << "vector file missing or truncated";
    for (const auto &f : lines) {
        ASSERT_EQ(f.size(), 2u);
        const bytes input = from_hex(f[0]);
        const std::string &digest = f[1];
        EXPECT_EQ(one_shot(input), digest) << input.size() << " bytes";
        // Again from an odd address: words must not be loaded as if aligned.
        bytes shifted(input.size() + 1);
        std::copy(input.begin(), input.end(), shifted.begin() + 1);
        std::uint8_t d[md5_digest_length];
        md5_digest(shifted.data() + 1, input.size(), d);
        EXPECT_EQ(to_hex(d, sizeof d), digest) << input.size() << " bytes, odd address";
        // A secret of secret length: one masked block, whatever follows it.
        if (input.size() <= md5_one_block_max) {
            bytes readable(md5_one_block_max, 0xA5);
            std::copy(input.begin(), input.end(), readable.begin());
            md5_digest_secret(readable.data(), readable.size(), input.size(), d);
            EXPECT_EQ(to_hex(d, sizeof d), digest) << input.size() << " bytes, masked";
        }
    }
}

TEST(Md5, SameDigestHoweverTheInputIsSplit) {
    const bytes in = sample(150);
    const std::string expected = one_shot(in);
    ASSERT_EQ(expected, "faec0240acb483dc847add09f70e09d3"); // from md5.txt, 150 bytes

    for (std::size_t i = 0; i <= in.size(); ++i) {
        EXPECT_EQ(streamed(in, {i}), expected) << "split at " << i;
        for (std::size_t j = i; j <= in.size(); j += 7)
            ASSERT_EQ(streamed(in, {i, j}), expected) << "split at " << i << " and " << j;
    }

    md5_context ctx;
    md5_init(&ctx);
    for (std::uint8_t byte : in)
        md5_update(&ctx, &byte, 1);
    std::uint8_t d[md5_digest_length];
    md5_final(&ctx, d);
    EXPECT_EQ(to_hex(d, sizeof d), expected) << "byte by byte";
}

TEST(Md5, UpdateOfNothingChangesNothing) {
    const bytes in = sample(70);
    md5_context ctx{}; // compared whole below: no byte left uninitialised
    md5_init(&ctx);
    for (std::uint32_t fed : {0u, 5u, 64u}) {
        if (fed != 0)
            md5_update(&ctx, in.data(), fed);
        md5_context before;
        std::memcpy(&before, &ctx, sizeof ctx);
        md5_update(&ctx, nullptr, 0); // may not even read the input
        EXPECT_EQ(std::memcmp(&before, &ctx, sizeof ctx), 0) << "after " << fed << " bytes";
    }
}

TEST(Md5, ContextIsAllZerosAfterFinal) {
    const bytes in = sample(100); // leaves a partial block in the buffer
    md5_context ctx;
    md5_init(&ctx);
    md5_update(&ctx, in.data(), static_cast<std::uint32_t>(in.size()));
    std::uint8_t d[md5_digest_length];
    md5_final(&ctx, d);
    const md5_context zero{};
    EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
}

TEST(Md5, DigestMayOverwriteItsOwnInput) {
    for (std::size_t n : {std::size_t{16}, std::size_t{100}}) {
        bytes in = sample(n);
        const std::string expected = one_shot(in);
        md5_digest(in.data(), n, in.data());
        EXPECT_EQ(to_hex(in.data(), md5_digest_length), expected) << n << " bytes";
    }
}

TEST(Md5, DigestLengthLimits) {
    std::uint8_t d[md5_digest_length];
    md5_digest(nullptr, 0, d); // a length of zero reads nothing
    EXPECT_EQ(to_hex(d, sizeof d), "d41d8cd98f00b204e9800998ecf8427e");

    // The longest input, bytes (7k + 3) mod 256; digest by Python's hashlib.
    bytes longest(32767);
    for (std::size_t k = 0; k < longest.size(); ++k)
        longest[k] = static_cast<std::uint8_t>(7 * k + 3);
    md5_digest(longest.data(), 32767, d);
    EXPECT_EQ(to_hex(d, sizeof d), "f602b50a88c66911a38ab4bbd86ce5bf");
}

TEST(Md5, BitCountCarriesIntoTheHighWord) {
    // Low word about to wrap: 64 more bytes are 512 more bits.
    md5_context ctx;
    md5_init(&ctx);
    ctx.count[0] = 0xffffff00u;
    const bytes in = sample(64);
    md5_update(&ctx, in.data(), 64);
    EXPECT_EQ(ctx.count[0], 0x100u);
    EXPECT_EQ(ctx.count[1], 1u);

    // 2^29 bytes in one call are 2^32 bits: only the high word moves, and the
    // digest depends on it. Digest of 2^29 zero bytes by Python's hashlib.
    const bytes zeros(std::size_t{1} << 29);
    md5_init(&ctx);
    md5_update(&ctx, zeros.data(), static_cast<std::uint32_t>(zeros.size()));
    EXPECT_EQ(ctx.count[0], 0u);
    EXPECT_EQ(ctx.count[1], 1u);
    std::uint8_t d[md5_digest_length];
    md5_final(&ctx, d);
    EXPECT_EQ(to_hex(d, sizeof d), "aa559b4e3523a6c931f08f4df52d58f2");
}

} // namespace
} // namespace tarvelo
