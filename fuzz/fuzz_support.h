// fuzz_support.h: what the fuzz targets share.
//
// A target is built twice from the same source: as a libFuzzer executable
// (clang, -fsanitize=fuzzer) and as a plain replay executable that runs the
// checked-in corpus under CTest with any compiler. A property that does not
// hold aborts in both, with a line that says which one and where.
#ifndef TARVELO_FUZZ_FUZZ_SUPPORT_H
#define TARVELO_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace tarvelo::fuzz {

[[noreturn]] inline void fail(const char *file, int line, const char *what) {
    std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

// Reads the fuzzer's bytes front to back; past the end every read is zero,
// so any input, even an empty one, is a whole scenario.
class byte_reader {
public:
    byte_reader(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::size_t remaining() const { return empty() ? 0 : size_ - pos_; }

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    std::int32_t int32() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= static_cast<std::uint32_t>(byte()) << (8 * i);
        }
        return static_cast<std::int32_t>(value);
    }

    // Copies up to `count` bytes to `out`, zero-filling what the input lacks.
    void bytes(std::uint8_t *out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = byte();
        }
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

} // namespace tarvelo::fuzz

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::tarvelo::fuzz::fail(__FILE__, __LINE__, #condition);                                 \
        }                                                                                          \
    } while (0)

#endif
