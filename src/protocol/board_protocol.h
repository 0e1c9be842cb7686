// The board protocol as the rest of the program names it: one object that owns the protocol's
// modules (the DSP command channel, the EZ-USB download and EEPROM access, the DSP program
// loader, flash access and the image writers) and passes each operation to its module. Every
// operation names its board by index and reaches it through the board table's adapter.
#pragma once

#include "boarddata/flash_data.h"
#include "device/adapter_usb.h"
#include "platform/os_port.h"
#include "platform/ui_port.h"
#include "protocol/board_channel.h"
#include "protocol/dsp_channel.h"
#include "protocol/ezusb_access.h"
#include "protocol/flash_access.h"
#include "protocol/image_writers.h"
#include "protocol/program_loader.h"

#include <cstdint>
#include <span>
#include <utility>

namespace flashwell::protocol {

class BoardProtocol {
public:
    // Hooks the speed probe into every successful OpenBoard of the table.
    BoardProtocol(device::BoardTable& boards, platform::UiPort& ui);
    // What `other` has learnt of the boards (speeds, packet sizes, parameter blocks read), on
    // `boards` (a copy of the table `other` works on) and `ui`.
    BoardProtocol(const BoardProtocol& other, device::BoardTable& boards, platform::UiPort& ui);
    BoardProtocol(const BoardProtocol&) = delete;
    BoardProtocol& operator=(const BoardProtocol&) = delete;

    // --- DSP command channel -------------------------------------------------------------
    std::int32_t BulkRead(int board, std::uint32_t pipe, void* destination, std::int32_t length) {
        return dsp_.BulkRead(board, pipe, destination, length);
    }
    std::int32_t BulkWrite(int board, std::uint32_t pipe, const void* data, std::int32_t length) {
        return dsp_.BulkWrite(board, pipe, data, length);
    }
    std::uint32_t WriteHostRegister(int board, std::uint32_t reg, std::uint32_t value) {
        return dsp_.WriteHostRegister(board, reg, value);
    }
    void TriggerHostCommand(int board, std::int32_t vector) {
        dsp_.TriggerHostCommand(board, vector);
    }
    std::int32_t WriteHostPortMultiple(int board, std::uint8_t port, int bytesPerWord,
                                       const std::uint32_t* words, std::int32_t count) {
        return dsp_.WriteHostPortMultiple(board, port, bytesPerWord, words, count);
    }
    std::uint32_t WriteHostPortWord(int board, std::uint32_t value) {
        return dsp_.WriteHostPortWord(board, value);
    }
    std::int32_t ReadHostPortMultiple(int board, std::uint8_t port, std::uint32_t* destination,
                                      std::int32_t count) {
        return dsp_.ReadHostPortMultiple(board, port, destination, count);
    }
    std::int32_t DSP_To_Long(int board) { return dsp_.DSP_To_Long(board); }
    std::int32_t Array_To_DSP(int board, const std::uint32_t* words, std::int32_t count) {
        return dsp_.Array_To_DSP(board, words, count);
    }
    std::int32_t DSP_To_Array(int board, std::uint32_t* destination, std::int32_t count) {
        return dsp_.DSP_To_Array(board, destination, count);
    }
    // answerCount: 0 none, n > 0 read n words, -1 the DSP says how many. The answer span
    // bounds what is written, whatever the board announces.
    std::int32_t DspCall(int board, std::int32_t vector, std::span<const std::uint32_t> arguments,
                         std::span<std::uint32_t> answer, std::int32_t& answerCount) {
        return dsp_.DspCall(board, vector, arguments, answer, answerCount);
    }
    bool DspCallWithWord(int board, std::int32_t vector, std::uint32_t leadingWord,
                         std::span<const std::uint32_t> arguments, std::span<std::uint32_t> answer,
                         std::int32_t& answerCount) {
        return dsp_.DspCallWithWord(board, vector, leadingWord, arguments, answer, answerCount);
    }
    std::int32_t ProbeBoardSpeed(int board) { return dsp_.ProbeBoardSpeed(board); }

    // --- EZ-USB download and EEPROM ------------------------------------------------------
    std::int32_t SendVendorRequest(platform::HANDLE handle, std::uint8_t request,
                                   std::uint8_t dataByte, std::uint32_t outputLength, void* output,
                                   std::uint16_t value, std::uint16_t length, std::uint16_t index,
                                   std::uint8_t direction) {
        return ezusb_.SendVendorRequest(handle, request, dataByte, outputLength, output, value,
                                        length, index, direction);
    }
    std::int32_t SetCpuReset(platform::HANDLE handle, std::uint8_t hold) {
        return ezusb_.SetCpuReset(handle, hold);
    }
    std::uint32_t DownloadHexRecords(int board, const char* text, std::int32_t textLength) {
        return ezusb_.DownloadHexRecords(board, text, textLength);
    }
    void EepWrite(int board, std::uint16_t address, std::uint8_t data) {
        ezusb_.EepWrite(board, address, data);
    }
    std::uint8_t EepRead(int board, std::uint16_t address) {
        return ezusb_.EepRead(board, address);
    }
    // Like EepRead, but tells a failed read apart from a stored 0.
    [[nodiscard]] bool EepReadChecked(int board, std::uint16_t address, std::uint8_t& value) {
        return ezusb_.EepReadChecked(board, address, value);
    }

    // --- DSP program loader --------------------------------------------------------------
    bool LoadDspProgram(int board, const std::uint32_t* image, std::int32_t count) {
        return loader_.LoadDspProgram(board, image, count);
    }

    // --- Flash access --------------------------------------------------------------------
    std::int32_t DspRequest(int board, int mode, std::uint32_t argument, std::uint32_t extra) {
        return flash_.DspRequest(board, mode, argument, extra);
    }
    bool ReadFlashCells(int board, std::uint32_t address, std::int32_t count,
                        std::uint32_t* cells) {
        return flash_.ReadFlashCells(board, address, count, cells);
    }
    bool WriteFlashBlock(int board, std::uint32_t address, std::int32_t count,
                         const std::uint32_t* cells) {
        return flash_.WriteFlashBlock(board, address, count, cells);
    }
    bool EraseFlashSector(int board, std::uint32_t address) {
        return flash_.EraseFlashSector(board, address);
    }
    std::uint32_t SelectFlashBank(int board, std::uint32_t bank) {
        return flash_.SelectFlashBank(board, bank);
    }
    void ReadFlashData(boarddata::FlashDataRecord& record, int board) {
        flash_.ReadFlashData(record, board);
    }
    // Whether the last ReadFlashData of this board got the block from the board itself (a
    // record that is the default because nothing could be read must never be written back).
    bool FlashDataFromBoard(int board) const { return flash_.FlashDataFromBoard(board); }
    std::uint32_t WriteFlashData(int board, boarddata::FlashDataRecord record,
                                 const ProgressCallback& progress) {
        return flash_.WriteFlashData(board, std::move(record), progress);
    }
    const boarddata::FlashDataBlock* FlashDataBlockAsRead(int board) const {
        return flash_.FlashDataBlockAsRead(board);
    }
    boarddata::FlashDataBlock PackFlashDataBlock(int board,
                                                 const boarddata::FlashDataRecord& record) const {
        return flash_.PackFlashDataBlock(board, record);
    }
    std::uint32_t WriteFlashDataBlock(int board, const boarddata::FlashDataBlock& block,
                                      const ProgressCallback& progress) {
        return flash_.WriteFlashDataBlock(board, block, progress);
    }
    void ForgetFlashData(int board) { flash_.ForgetFlashData(board); }
    FlashAccess::ReadBack ReadBackFlashDataBlock(int board,
                                                 const boarddata::FlashDataBlock& expected) {
        return flash_.ReadBackFlashDataBlock(board, expected);
    }

    // --- Flash image writers -------------------------------------------------------------
    bool WriteRbfImage(int board, const std::uint8_t* image, std::int32_t length,
                       const ProgressCallback& progress) {
        return images_.WriteRbfImage(board, image, length, progress);
    }
    std::uint32_t WriteKpciImage(int board, const std::uint8_t* data, std::int32_t groups,
                                 const ProgressCallback& progress, int mode) {
        return images_.WriteKpciImage(board, data, groups, progress, mode);
    }

private:
    BoardChannel channel_;
    DspChannel dsp_;
    EzUsbAccess ezusb_;
    ProgramLoader loader_;
    FlashAccess flash_;
    ImageWriters images_;
};

} // namespace flashwell::protocol
