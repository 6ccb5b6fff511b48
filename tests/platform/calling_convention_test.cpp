// calling_convention_test.cpp: the built library's entry point, called the
// way a 32-bit host calls it, must clean up the stack as the documented
// convention says: the callee pops its 28 bytes of arguments under __stdcall
// (the default on 32-bit Windows), the caller does under __cdecl (Linux, and
// Windows built with TARVELO_WIN32_CDECL). A host and an exit that disagree
// here corrupt the host's stack on every call, which no other test sees,
// because the tests are compiled with the same header as the library.
#include "standin/host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr std::uint32_t argument_bytes = 7 * 4;

#if defined(_WIN32) && !defined(TARVELO_USE_CDECL)
constexpr std::uint32_t expected_bytes_left = 0;
#else
constexpr std::uint32_t expected_bytes_left = argument_bytes;
#endif

#if defined(__i386__)
// Pushes the seven arguments right to left, as any 32-bit host does, calls
// `entry` and returns how many bytes of arguments were still on the stack
// when it returned. The stack is aligned to 16 bytes at the call, as the
// Linux ABI requires and Windows tolerates.
std::uint32_t bytes_left_by(void *entry, void *const (&args)[7]) {
    std::uint32_t left = 0;
    const void *argument_area = args;
    __asm__ volatile("movl %%esp, %%esi\n\t"
                     "andl $-16, %%esp\n\t"
                     "subl $4, %%esp\n\t"
                     "movl %%esp, %%edi\n\t"
                     "pushl 24(%1)\n\t"
                     "pushl 20(%1)\n\t"
                     "pushl 16(%1)\n\t"
                     "pushl 12(%1)\n\t"
                     "pushl 8(%1)\n\t"
                     "pushl 4(%1)\n\t"
                     "pushl 0(%1)\n\t"
                     "call *%2\n\t"
                     "movl %%edi, %0\n\t"
                     "subl %%esp, %0\n\t"
                     "movl %%esi, %%esp\n\t"
                     : "=a"(left), "+c"(argument_area), "+d"(entry)
                     :
                     : "esi", "edi", "memory", "cc");
    return left;
}
#endif

TEST(CallingConvention, EntryPointCleansTheStackAsDocumentedAndReadsEveryArgumentInOrder) {
#if !defined(__i386__)
    GTEST_SKIP() << "only 32-bit x86 hosts have a choice of calling convention";
#else
    tarvelo::standin::loaded_library library;
    std::string error;
    ASSERT_TRUE(library.load(TARVELO_LIBRARY_PATH, "TARVELO", &error)) << error;

    tarvelo_exit_params params{};
    tarvelo_channel_def channel{};
    tarvelo::standin::set_field(channel.channel_name, sizeof channel.channel_name, "CONVENTION");
    tarvelo::standin::set_field(channel.password, sizeof channel.password, "SECRET");
    std::memset(params.exit_data, ' ', sizeof params.exit_data);
    std::int32_t data_length = 0;
    std::int32_t exchange_length = 32;
    std::uint8_t exchange[32] = {};
    std::int32_t exit_length = 0;
    std::uint8_t *exit_buffer = nullptr;
    void *const args[7] = {&params,  &channel,     &data_length, &exchange_length,
                           exchange, &exit_length, &exit_buffer};
    void *entry = reinterpret_cast<void *>(library.entry());

    // Initialisation reads the first parameter (reason, response) and sets
    // the last two: arguments that arrived out of place would show here.
    params.exit_reason = ZTXR_INIT;
    params.exit_response = 99;
    EXPECT_EQ(bytes_left_by(entry, args), expected_bytes_left);
    EXPECT_EQ(params.exit_response, ZTXCC_OK);
    EXPECT_EQ(params.user_area[0], ZAVCONN_STARTUP);
    EXPECT_EQ(exit_length, TARVELO_EXIT_BUFFER_LENGTH);
    ASSERT_NE(exit_buffer, nullptr);

    params.exit_reason = ZTXR_TERM;
    EXPECT_EQ(bytes_left_by(entry, args), expected_bytes_left);
    EXPECT_EQ(exit_buffer, nullptr);
#endif
}

} // namespace
