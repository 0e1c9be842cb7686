#include "app/block_mark.h"

#include "app/block_backup.h"

#include <algorithm>
#include <span>

namespace flashwell::app {

namespace {

// Cells from the end that read erased.
std::size_t ErasedTail(const boarddata::FlashDataBlock& block) {
    const auto last =
        std::find_if(block.rbegin(), block.rend(), [](std::uint8_t b) { return b != 0xFF; });
    return static_cast<std::size_t>(last - block.rbegin());
}

} // namespace

std::uint32_t BlockMarkOf(const boarddata::FlashDataBlock& block) {
    return Crc32(std::span<const std::uint8_t>(block.data(), kBlockMarkOffset)) & 0x7FFFFF;
}

boarddata::FlashDataBlock WithBlockMark(boarddata::FlashDataBlock block) {
    const std::uint32_t mark = BlockMarkOf(block);
    block[kBlockMarkOffset] = static_cast<std::uint8_t>(mark >> 16);
    block[kBlockMarkOffset + 1] = static_cast<std::uint8_t>(mark >> 8);
    block[kBlockMarkOffset + 2] = static_cast<std::uint8_t>(mark);
    return block;
}

BlockState JudgeBlock(const boarddata::FlashDataBlock& block) {
    const std::uint32_t stored = std::uint32_t{block[kBlockMarkOffset]} << 16 |
                                 std::uint32_t{block[kBlockMarkOffset + 1]} << 8 |
                                 block[kBlockMarkOffset + 2];
    if (stored == BlockMarkOf(block)) return BlockState::Marked;
    const std::size_t tail = ErasedTail(block);
    if (tail == block.size()) return BlockState::Erased;
    // A block without a mark ends in the three erased cells no field covers; only when the
    // erasure reaches into the data before them does it read like a cut. A cut inside the mark
    // itself leaves every data cell written: such a block is whole and passes as unmarked.
    return tail > kBlockMarkSize ? BlockState::CutShort : BlockState::Unmarked;
}

} // namespace flashwell::app
