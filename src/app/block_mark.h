// The mark a parameter-block write leaves as the very last cells it writes, so that a block
// cut short can be told from a whole one on any computer, with no record and no copy at hand.
//
// The block is written in four parts, in address order, onto an erased sector: a write cut
// anywhere leaves everything from the cut on erased, the mark among it. Cells 7171 to 7173 are
// covered by no field and are the last the fourth part writes; they hold a 24-bit check value of
// the cells before them, whose top bit is always clear so that a mark never reads as erased.
#pragma once

#include "boarddata/flash_data.h"

#include <cstdint>

namespace flashwell::app {

inline constexpr std::size_t kBlockMarkOffset = 7171;
inline constexpr std::size_t kBlockMarkSize = 3;

enum class BlockState {
    // Written to its end by a tool that leaves the mark.
    Marked,
    // No mark: written by an earlier tool, or in the factory; judged by what else is known.
    Unmarked,
    // Mark erased, and erased cells reaching back into the data before it, while other cells
    // hold data: what a write cut short leaves.
    CutShort,
    // Every cell erased: a write cut right after the erase.
    Erased,
};

std::uint32_t BlockMarkOf(const boarddata::FlashDataBlock& block);
// The block as a write puts it on the board: the same bytes, the mark in its cells.
boarddata::FlashDataBlock WithBlockMark(boarddata::FlashDataBlock block);
BlockState JudgeBlock(const boarddata::FlashDataBlock& block);

} // namespace flashwell::app
