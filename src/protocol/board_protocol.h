// The board protocol: the DSP command channel, the EZ-USB download and EEPROM packets, the DSP
// program loader, the flash-access requests with the parameter-block cache, and the writers of
// the large flash images. Every operation names its board by index and reaches it through the
// board table's adapter.
#pragma once

#include "boarddata/flash_data.h"
#include "device/adapter_usb.h"
#include "platform/os_port.h"
#include "platform/ui_port.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace flashwell::protocol {

using platform::DWORD;

// Returned for failure; as an answer word it marks a word the board failed to deliver.
inline constexpr std::uint32_t FailureWord = 0x55000000;

inline constexpr std::int32_t kNotOpen = -1;
inline constexpr std::int32_t kRequestRefused = -99;
inline constexpr std::int32_t kVendorRequestRefused = -2;
inline constexpr int kProtocolBoards = 16;
inline constexpr std::int32_t kChunkSize = 15;

// (minimum, maximum, position); flash operations pass 0, 100 and a percentage.
using ProgressCallback = std::function<void(std::int32_t, std::int32_t, std::int32_t)>;

// Flash-access program requests and the address words they use.
namespace request {
inline constexpr std::int32_t LoadProgram = 5;
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

class BoardProtocol {
public:
    BoardProtocol(device::BoardTable& boards, platform::UiPort& ui);
    BoardProtocol(const BoardProtocol&) = delete;
    BoardProtocol& operator=(const BoardProtocol&) = delete;

    // --- DSP command channel -------------------------------------------------------------
    std::int32_t BulkRead(int board, std::uint32_t pipe, void* destination, std::int32_t length);
    std::int32_t BulkWrite(int board, std::uint32_t pipe, const void* data, std::int32_t length);
    std::uint32_t WriteHostRegister(int board, std::uint32_t reg, std::uint32_t value);
    void TriggerHostCommand(int board, std::int32_t vector);
    std::int32_t WriteHostPortMultiple(int board, std::uint8_t port, int bytesPerWord,
                                       const std::uint32_t* words, std::int32_t count);
    std::uint32_t WriteHostPortWord(int board, std::uint32_t value);
    std::int32_t ReadHostPortMultiple(int board, std::uint8_t port, std::uint32_t* destination,
                                      std::int32_t count);
    std::int32_t DSP_To_Long(int board);
    std::int32_t Array_To_DSP(int board, const std::uint32_t* words, std::int32_t count);
    std::int32_t DSP_To_Array(int board, std::uint32_t* destination, std::int32_t count);
    // answerCount: 0 none, n > 0 read n words, -1 the DSP says how many. The answer span
    // bounds what is written, whatever the board announces.
    std::int32_t DspCall(int board, std::int32_t vector, std::span<const std::uint32_t> arguments,
                         std::span<std::uint32_t> answer, std::int32_t& answerCount);
    bool DspCallWithWord(int board, std::int32_t vector, std::uint32_t leadingWord,
                         std::span<const std::uint32_t> arguments, std::span<std::uint32_t> answer,
                         std::int32_t& answerCount);
    std::int32_t ProbeBoardSpeed(int board);

    // --- EZ-USB download and EEPROM ------------------------------------------------------
    std::int32_t SendVendorRequest(platform::HANDLE handle, std::uint8_t request,
                                   std::uint8_t dataByte, std::uint32_t outputLength, void* output,
                                   std::uint16_t value, std::uint16_t length, std::uint16_t index,
                                   std::uint8_t direction);
    std::int32_t SetCpuReset(platform::HANDLE handle, std::uint8_t hold);
    std::uint32_t DownloadHexRecords(int board, const char* text, std::int32_t textLength);
    void EepWrite(int board, std::uint16_t address, std::uint8_t data);
    std::uint8_t EepRead(int board, std::uint16_t address);
    // Like EepRead, but tells a failed read apart from a stored 0.
    bool EepReadChecked(int board, std::uint16_t address, std::uint8_t& value);

    // --- DSP program loader --------------------------------------------------------------
    bool LoadDspProgram(int board, const std::uint32_t* image, std::int32_t count);

    // --- Flash access --------------------------------------------------------------------
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

    // --- Flash image writers -------------------------------------------------------------
    bool WriteRbfImage(int board, const std::uint8_t* image, std::int32_t length,
                       const ProgressCallback& progress);
    std::uint32_t WriteKpciImage(int board, const std::uint8_t* data, std::int32_t groups,
                                 const ProgressCallback& progress, int mode);

    // Protocol state, for inspection.
    std::int32_t BoardSpeedFlag(int board) const;
    std::int32_t ChunkSize(int board) const;

    device::BoardTable& Boards() { return boards_; }

private:
    struct CacheEntry {
        bool valid = false;
        bool fromBoard = false;
        boarddata::FlashDataRecord record;
        boarddata::FlashDataBlock block{}; // as read, for the bytes no field covers
    };

    static bool HasState(int board) { return board >= 0 && board < kProtocolBoards; }
    device::TUSBAdapter* OpenAdapter(int board);
    std::int32_t PipeRequest(int board, DWORD code, std::uint32_t pipe, void* buffer,
                             std::int32_t length, DWORD* returned);
    void Debug(const char* line);
    void Sleep(DWORD ms);
    void FinishSeparateCall(int board, std::int64_t count, std::span<const std::uint32_t> arguments,
                            std::span<std::uint32_t> answer, std::int32_t& answerCount);
    void ReadAnswerWords(int board, std::uint32_t count, std::span<std::uint32_t> answer,
                         std::int32_t& answerCount);
    enum class CombinedOutcome {
        Done,
        CountExchangeFailed,
        CountIsFailureWord,
        AnswerExchangeFailed
    };
    CombinedOutcome ExchangeCombined(device::TUSBAdapter& adapter, std::vector<std::uint8_t> packet,
                                     std::span<std::uint32_t> answer, std::int32_t& answerCount);

    device::BoardTable& boards_;
    platform::OsPort& os_;
    platform::UiPort& ui_;
    std::array<std::int32_t, kProtocolBoards> speedFlag_;
    std::array<std::int32_t, kProtocolBoards> chunkSize_;
    std::array<CacheEntry, kProtocolBoards> cache_;
    // Counts pipe requests that failed or came back short; an operation compares it before and
    // after to know whether every transfer it made delivered.
    std::uint64_t transferFaults_ = 0;
};

} // namespace flashwell::protocol
