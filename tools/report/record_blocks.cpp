// record_blocks.cpp: see record_blocks.h.
#include "tools/report/record_blocks.h"

#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarvelo::tool {

void *allocate_record_block() {
#if defined(__linux__)
    void *block = std::aligned_alloc(record_block_bytes, record_block_bytes);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    // A hint: where large pages are off, the block is in small ones.
    madvise(block, record_block_bytes, MADV_HUGEPAGE);
    std::memset(block, 0, record_block_bytes);
    return block;
#else
    void *block = std::calloc(1, record_block_bytes);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
#endif
}

void free_record_block(void *block) { std::free(block); }

} // namespace tarvelo::tool
