#include "protocol/flash_access.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace flashwell::protocol {

namespace {

constexpr std::uint32_t kQueryDirect = 1;
constexpr std::uint32_t kQueryFlag = 0x800000;
constexpr int kParameterBlocks = 4;
// How often a refused request is sent again while the parameter block is written or read back.
constexpr int kParameterBlockResends = 2;

} // namespace

std::int32_t FlashAccess::DspRequest(int board, int mode, std::uint32_t argument,
                                     std::uint32_t extra) {
    const std::uint32_t word =
        mode == static_cast<int>(kQueryDirect) ? argument : argument | kQueryFlag;
    std::int32_t none = 0;
    // The status word that follows tells whether the query got through.
    dsp_.DspCall(board, request::Query, std::span<const std::uint32_t>(&word, 1), {}, none);
    if (mode == 0) dsp_.WriteHostPortWord(board, extra);
    return dsp_.DSP_To_Long(board);
}

bool FlashAccess::ReadFlashCells(int board, std::uint32_t address, std::int32_t count,
                                 std::uint32_t* cells) {
    if (!HasProtocolState(board)) return false;
    const std::size_t n = count > 0 ? static_cast<std::size_t>(count) : 0;
    // A cell that no transfer reaches must never pass for flash content.
    std::fill_n(cells, n, FailureWord);
    const std::uint32_t arguments[2] = {address, static_cast<std::uint32_t>(count)};
    std::int32_t none = 0;
    const bool sent = dsp_.Call(board, request::ReadCells, arguments, {}, none).Complete();
    const bool received = dsp_.ReceiveWords(board, cells, count);
    bool ok = true;
    for (std::size_t i = 0; i < n; ++i) {
        ok = cells[i] != FailureWord;
        cells[i] &= 0xFF;
        if (!ok) break;
    }
    return ok && sent && received;
}

bool FlashAccess::WriteFlashBlock(int board, std::uint32_t address, std::int32_t count,
                                  const std::uint32_t* cells) {
    if (!channel_.IsOpen(board)) return false;
    const std::uint32_t arguments[2] = {address, static_cast<std::uint32_t>(count)};
    std::int32_t none = 0;
    // Words sent without the write request before them would land nowhere.
    if (!dsp_.DspCallWithWord(board, request::WriteOrErase, request::LeadWrite, arguments, {},
                              none))
        return false;
    channel_.Sleep(1000);
    for (std::int32_t i = 0; i < count; ++i)
        if (dsp_.WriteHostPortWord(board, cells[i] & 0xFF) == FailureWord) return false;
    channel_.Sleep(2000);
    // The program answers 0 once the block is in the flash; anything else, or no answer at
    // all, means the block did not get there.
    return dsp_.DSP_To_Long(board) == 0;
}

bool FlashAccess::EraseFlashSector(int board, std::uint32_t address) {
    if (!channel_.IsOpen(board)) return false;
    std::int32_t none = 0;
    const bool ok = dsp_.DspCallWithWord(board, request::WriteOrErase, request::LeadErase,
                                         std::span<const std::uint32_t>(&address, 1), {}, none);
    bool result = false;
    if (ok) result = dsp_.DSP_To_Long(board) == 0;
    channel_.Sleep(2000);
    return result;
}

std::uint32_t FlashAccess::SelectFlashBank(int board, std::uint32_t bank) {
    if (!HasProtocolState(board)) return FailureWord;
    std::uint32_t cell = bank & 1;
    std::int32_t answerCount = 1;
    const CallResult call =
        dsp_.Call(board, request::SelectBank, std::span<const std::uint32_t>(&cell, 1),
                  std::span<std::uint32_t>(&cell, 1), answerCount);
    // Without an answer the cell still holds the request, which for bank 0 reads like success.
    if (!call.Complete() || answerCount != 1) return FailureWord;
    return cell == 0 ? 0 : FailureWord;
}

void FlashAccess::ReadFlashData(boarddata::FlashDataRecord& record, int board) {
    boarddata::FlashDataRecord result = boarddata::DefaultFlashDataRecord();
    if (!channel_.IsOpen(board)) {
        record = result;
        return;
    }
    if (HasProtocolState(board) && cache_[static_cast<std::size_t>(board)].valid) {
        record = cache_[static_cast<std::size_t>(board)].record;
        return;
    }
    auto cells = std::make_unique<boarddata::FlashDataCells>();
    auto block = std::make_unique<boarddata::FlashDataBlock>();
    const bool read =
        ReadFlashCells(board, address::ParameterBlockRead,
                       static_cast<std::int32_t>(boarddata::kFlashDataSize), cells->data());
    if (read) {
        boarddata::CellsToBlock(*cells, *block);
        boarddata::UnpackFlashData(*block, result);
    }
    if (HasProtocolState(board)) {
        CacheEntry& entry = cache_[static_cast<std::size_t>(board)];
        entry.valid = true;
        entry.fromBoard = read;
        entry.record = result;
        if (read) entry.block = *block;
    }
    record = result;
}

bool FlashAccess::FlashDataFromBoard(int board) const {
    return HasProtocolState(board) && cache_[static_cast<std::size_t>(board)].valid &&
           cache_[static_cast<std::size_t>(board)].fromBoard;
}

const boarddata::FlashDataBlock* FlashAccess::FlashDataBlockAsRead(int board) const {
    if (!HasProtocolState(board)) return nullptr;
    const CacheEntry& entry = cache_[static_cast<std::size_t>(board)];
    return entry.valid && entry.fromBoard ? &entry.block : nullptr;
}

boarddata::FlashDataBlock
FlashAccess::PackFlashDataBlock(int board, const boarddata::FlashDataRecord& record) const {
    // Bytes the record does not cover keep what the board last held there; without a block
    // from the board they get the erased state.
    boarddata::FlashDataBlock block;
    block.fill(0xFF);
    if (FlashDataFromBoard(board)) block = cache_[static_cast<std::size_t>(board)].block;
    boarddata::PackFlashData(record, block);
    return block;
}

void FlashAccess::ForgetFlashData(int board) {
    if (HasProtocolState(board)) cache_[static_cast<std::size_t>(board)].valid = false;
}

std::uint32_t FlashAccess::WriteFlashData(int board, boarddata::FlashDataRecord record,
                                          const ProgressCallback& progress) {
    const auto block =
        std::make_unique<boarddata::FlashDataBlock>(PackFlashDataBlock(board, record));
    return WriteFlashDataBlock(board, *block, progress);
}

FlashAccess::ReadBack
FlashAccess::ReadBackFlashDataBlock(int board, const boarddata::FlashDataBlock& expected) {
    ResendRefusedRequests resend(channel_, kParameterBlockResends);
    ForgetFlashData(board);
    boarddata::FlashDataRecord record;
    ReadFlashData(record, board);
    const boarddata::FlashDataBlock* read = FlashDataBlockAsRead(board);
    const ReadBack result = read == nullptr     ? ReadBack::Unreadable
                            : *read == expected ? ReadBack::Same
                                                : ReadBack::Differs;
    ForgetFlashData(board);
    return result;
}

std::uint32_t FlashAccess::WriteFlashDataBlock(int board, const boarddata::FlashDataBlock& block,
                                               const ProgressCallback& progress) {
    // The block is the one thing on the board that cannot be made again: a request the driver
    // refused in the middle of it is sent again rather than leaving the block half-written.
    ResendRefusedRequests resend(channel_, kParameterBlockResends);
    auto cells = std::make_unique<boarddata::FlashDataCells>();
    boarddata::BlockToCells(block, *cells);

    const auto report = [&](std::int32_t position) {
        if (progress) progress(0, 100, position);
    };
    std::uint32_t result = 0;
    report(0);
    if (!EraseFlashSector(board, address::ParameterBlockErase)) {
        result = FailureWord;
    } else {
        const auto total = static_cast<std::int32_t>(boarddata::kFlashDataSize);
        for (int p = 1; p <= kParameterBlocks; ++p) {
            report(100 / kParameterBlocks * p);
            const std::int32_t first = (p - 1) * kFlashBlockCells;
            const std::int32_t n = std::min(kFlashBlockCells, total - first);
            if (!WriteFlashBlock(board, static_cast<std::uint32_t>(first), n,
                                 cells->data() + first)) {
                ui_.ShowMessage(platform::MessageKind::Error, "Error",
                                "Fehler beim Schreiben des " + std::to_string(p) + ". Blockes",
                                platform::MessageButtons::Cancel);
                result = FailureWord;
                break;
            }
        }
        ForgetFlashData(board);
    }
    report(0);
    return result;
}

} // namespace flashwell::protocol
