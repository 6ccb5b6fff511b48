// name_table.cpp: see name_table.h.
#include "tools/report/name_table.h"

namespace tarvelo::tool {

std::optional<std::uint32_t> name_arena::add(std::string_view name) {
    if (blocks_.empty() || used_ + name.size() > block_size) {
        if (blocks_.size() == most_blocks) {
            return std::nullopt;
        }
        blocks_.push_back(std::make_unique<char[]>(block_size));
        used_ = 0;
    }
    const std::size_t place = (blocks_.size() - 1) * block_size + used_;
    if (!name.empty()) {
        std::memcpy(blocks_.back().get() + used_, name.data(), name.size());
    }
    used_ += name.size();
    return static_cast<std::uint32_t>(place);
}

bool slot_table::grow() {
    // A slot's place comes from the 32 bits of the hash it keeps: a table
    // of 2^32 slots at most, for 2^31 channels, far beyond any log.
    if (slots_.size() >= (std::size_t{1} << 31) || entries_ >= (std::size_t{1} << 31)) {
        return false;
    }
    std::vector<std::uint64_t> old(std::max<std::size_t>(64, 2 * slots_.size()), 0);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const std::uint64_t taken : old) {
        if (taken == 0) {
            continue;
        }
        std::size_t slot = static_cast<std::size_t>(taken >> 32) & mask;
        while (slots_[slot] != 0) {
            slot = (slot + 1) & mask;
        }
        slots_[slot] = taken;
    }
    return true;
}

} // namespace tarvelo::tool
