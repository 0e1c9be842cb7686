// The requests of the flash-access program: queries, cell reads, block writes, sector erases
// and bank selection, and the parameter block read and written through them with its cache.
#pragma once

#include "boarddata/flash_data.h"
#include "platform/ui_port.h"
#include "protocol/board_channel.h"
#include "protocol/dsp_channel.h"

#include <array>
#include <cstdint>
#include <functional>

namespace flashwell::protocol {

// (minimum, maximum, position); flash operations pass 0, 100 and a percentage.
using ProgressCallback = std::function<void(std::int32_t, std::int32_t, std::int32_t)>;

// Flash-access program requests and the address words they use.
namespace request {
inline constexpr std::int32_t Query = 65;
inline constexpr std::int32_t ReadCells = 68;
inline constexpr std::int32_t SelectBank = 69;
inline constexpr std::int32_t WriteOrErase = 104;
inline constexpr std::uint32_t LeadWrite = 2;
inline constexpr std::uint32_t LeadErase = 3;
} // namespace request

namespace address {
inline constexpr std::uint32_t ParameterBlockRead = 0xD01000;
inline constexpr std::uint32_t ParameterBlockErase = 0xD02000;
inline constexpr std::uint32_t SecondBankErase = 0xD00000;
inline constexpr std::uint32_t RbfBase = 0x1E000;
} // namespace address

inline constexpr std::int32_t kFlashBlockCells = 2048;

class FlashAccess {
public:
    FlashAccess(BoardChannel& channel, DspChannel& dsp, platform::UiPort& ui)
        : channel_(channel), dsp_(dsp), ui_(ui) {}
    FlashAccess(const FlashAccess&) = delete;
    FlashAccess& operator=(const FlashAccess&) = delete;
    // What a copy of the protocol takes over: the parameter blocks read.
    void TakeStateOf(const FlashAccess& other) { cache_ = other.cache_; }

    std::int32_t DspRequest(int board, int mode, std::uint32_t argument, std::uint32_t extra);
    bool ReadFlashCells(int board, std::uint32_t address, std::int32_t count, std::uint32_t* cells);
    bool WriteFlashBlock(int board, std::uint32_t address, std::int32_t count,
                         const std::uint32_t* cells);
    bool EraseFlashSector(int board, std::uint32_t address);
    std::uint32_t SelectFlashBank(int board, std::uint32_t bank);
    void ReadFlashData(boarddata::FlashDataRecord& record, int board);
    // Whether the last ReadFlashData of this board got the block from the board itself (a
    // record that is the default because nothing could be read must never be written back).
    bool FlashDataFromBoard(int board) const;
    std::uint32_t WriteFlashData(int board, boarddata::FlashDataRecord record,
                                 const ProgressCallback& progress);

    // The 7174 bytes exactly as the last ReadFlashData got them from the board, while the cache
    // holds them; nullptr when the block did not come from the board or a write followed.
    const boarddata::FlashDataBlock* FlashDataBlockAsRead(int board) const;
    // The record packed over the block as read, as WriteFlashData writes it.
    boarddata::FlashDataBlock PackFlashDataBlock(int board,
                                                 const boarddata::FlashDataRecord& record) const;
    // Erases the parameter block's sector and writes these bytes in four blocks; 0 or
    // FailureWord, as WriteFlashData.
    std::uint32_t WriteFlashDataBlock(int board, const boarddata::FlashDataBlock& block,
                                      const ProgressCallback& progress);
    // The next ReadFlashData asks the board again.
    void ForgetFlashData(int board);
    // Reads the parameter block back from the board and compares it with what was written;
    // the cache is dropped afterwards, so the next ReadFlashData asks the board as usual.
    enum class ReadBack { Same, Differs, Unreadable };
    ReadBack ReadBackFlashDataBlock(int board, const boarddata::FlashDataBlock& expected);

private:
    struct CacheEntry {
        bool valid = false;
        bool fromBoard = false;
        boarddata::FlashDataRecord record;
        boarddata::FlashDataBlock block{}; // as read, for the bytes no field covers
    };

    BoardChannel& channel_;
    DspChannel& dsp_;
    platform::UiPort& ui_;
    std::array<CacheEntry, kProtocolBoards> cache_;
};

} // namespace flashwell::protocol
