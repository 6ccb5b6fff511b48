// record_blocks.h: the summary's records in blocks of memory that never
// move: a million channels' records cost no copy of them all as they grow,
// and no block of twice the size beside the old one while they do.
#ifndef TARVELO_TOOLS_REPORT_RECORD_BLOCKS_H
#define TARVELO_TOOLS_REPORT_RECORD_BLOCKS_H

#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

namespace tarvelo::tool {

// Memory for one block of records: `record_block_bytes`, all zero.
// Where the system has large pages (2 MiB), each block is one, so that a
// million records cost a few dozen page faults rather than tens of
// thousands. Throws std::bad_alloc.
inline constexpr std::size_t record_block_bytes = std::size_t{1} << 21;
void *allocate_record_block();
void free_record_block(void *block);

// A growing array in blocks that never move.
template <typename T> class block_array {
public:
    // As many records as fit a block, a power of two.
    static constexpr std::size_t block_bits = [] {
        std::size_t bits = 0;
        while ((std::size_t{2} << bits) * sizeof(T) <= record_block_bytes) {
            ++bits;
        }
        return bits;
    }();
    static constexpr std::size_t block_size = std::size_t{1} << block_bits;

    std::size_t count() const { return count_; }
    T &operator[](std::size_t i) { return blocks_[i >> block_bits][i & (block_size - 1)]; }
    const T &operator[](std::size_t i) const {
        return blocks_[i >> block_bits][i & (block_size - 1)];
    }
    T &emplace_back() {
        if ((count_ & (block_size - 1)) == 0) {
            blocks_.reserve(blocks_.size() + 1);
            blocks_.emplace_back(static_cast<T *>(allocate_record_block()));
        }
        return (*this)[count_++];
    }

private:
    // The records are all zero to begin with: the block is zeroed as a
    // whole rather than record by record.
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "a record whose all-zero bytes are its starting value");
    struct freer {
        void operator()(T *p) const { free_record_block(p); }
    };
    using block = std::unique_ptr<T[], freer>;
    std::vector<block> blocks_;
    std::size_t count_ = 0;
};

} // namespace tarvelo::tool

#endif
