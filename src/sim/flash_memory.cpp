#include "sim/flash_memory.h"

#include <algorithm>

namespace flashwell::sim {

FlashMemory::FlashMemory() {
    for (auto& bank : banks_)
        bank.assign(flash_layout::kBankSize, 0xFF);
}

std::span<const std::uint8_t> FlashMemory::Bank(int bank) const {
    return banks_.at(static_cast<std::size_t>(bank));
}

std::span<const std::uint8_t> FlashMemory::Range(int bank, std::size_t offset,
                                                 std::size_t length) const {
    const auto all = Bank(bank);
    offset = std::min(offset, all.size());
    return all.subspan(offset, std::min(length, all.size() - offset));
}

void FlashMemory::Program(int bank, std::size_t offset, std::span<const std::uint8_t> bytes) {
    auto& b = banks_.at(static_cast<std::size_t>(bank));
    if (offset >= b.size()) return;
    const std::size_t n = std::min(bytes.size(), b.size() - offset);
    std::uint8_t* to = b.data() + offset;
    for (std::size_t i = 0; i < n; ++i)
        to[i] &= bytes[i];
}

void FlashMemory::Erase(int bank, std::size_t offset, std::size_t length) {
    auto& b = banks_.at(static_cast<std::size_t>(bank));
    if (offset >= b.size()) return;
    std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(offset),
                std::min(length, b.size() - offset), std::uint8_t{0xFF});
}

void FlashMemory::Store(int bank, std::size_t offset, std::span<const std::uint8_t> bytes,
                        std::size_t regionLength) {
    Erase(bank, offset, regionLength);
    Program(bank, offset, bytes.first(std::min(bytes.size(), regionLength)));
}

void FlashMemory::SelectBank(int bank) {
    selectedBank_ = bank & 1;
    if (selectedBank_ == 1) eraseCursor_ = 0;
}

} // namespace flashwell::sim
