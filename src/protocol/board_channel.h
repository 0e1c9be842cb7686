// How the board protocol reaches a board: pipe requests and packet exchanges by board index,
// each telling whether it delivered, so that an operation knows which of its transfers failed.
#pragma once

#include "device/adapter_usb.h"
#include "platform/os_port.h"

#include <cstdint>

namespace flashwell::protocol {

using platform::DWORD;

// Returned for failure; as an answer word it marks a word the board failed to deliver.
inline constexpr std::uint32_t FailureWord = 0x55000000;

inline constexpr std::int32_t kNotOpen = -1;
inline constexpr std::int32_t kRequestRefused = -99;
inline constexpr int kProtocolBoards = 16;

inline bool HasProtocolState(int board) {
    return board >= 0 && board < kProtocolBoards;
}

enum class PipeStatus {
    Ok,      // every byte asked for went or came
    Short,   // the driver answered with fewer bytes than asked for
    Refused, // the driver refused the request
    NotOpen, // nothing was sent: the board is not open
};

struct [[nodiscard]] PipeResult {
    PipeStatus status = PipeStatus::Ok;
    std::int32_t bytes = 0; // bytes the request moved
    bool Delivered() const { return status == PipeStatus::Ok; }
    bool Failed() const { return status == PipeStatus::Refused || status == PipeStatus::NotOpen; }
};

// The result codes of the pipe-level operations: -1 not open, -99 refused, else 0 for a write
// and the bytes returned for a read.
std::int32_t WriteCode(const PipeResult& result);
std::int32_t ReadCode(const PipeResult& result);

class BoardChannel {
public:
    explicit BoardChannel(device::BoardTable& boards);
    BoardChannel(const BoardChannel&) = delete;
    BoardChannel& operator=(const BoardChannel&) = delete;

    device::BoardTable& Boards() { return boards_; }
    bool IsOpen(int board) const { return boards_.IsBoardOpen(board); }
    // The board's adapter while it is open, else nullptr.
    device::TUSBAdapter* OpenAdapter(int board);

    // One pipe request. A refused request lets a lost device go; a refused read clears the
    // destination, so no stale bytes pass for an answer.
    PipeResult Read(int board, std::uint32_t pipe, void* destination, std::int32_t length);
    PipeResult Write(int board, std::uint32_t pipe, const void* data, std::int32_t length);
    // A packet to pipe 0 and its answer from pipe 1 into the same buffer, through the adapter.
    PipeResult Exchange(int board, std::uint8_t* buffer, std::int32_t writeLength,
                        std::int32_t readLength);
    // A failed direct driver request: the device may be gone.
    void RequestRefused(int board) { boards_.DropBoardOnDeviceLoss(board); }

    // While set, a pipe request the driver refused but whose board stayed open (87, 142, 170)
    // is sent again, up to `times` more times. A refused request did not reach the board, so
    // sending it again cannot double anything. Exchanges are never resent: their write may
    // have gone before the read was refused.
    void SetResendRefused(int times) { resendRefused_ = times; }

    // What a copy of the protocol takes over.
    void TakeStateOf(const BoardChannel& other) { resendRefused_ = other.resendRefused_; }

    void Debug(const char* line) { os_.OutputDebugStringA(line); }
    void Sleep(DWORD ms) { os_.Sleep(ms); }
    platform::OsPort& Os() { return os_; }

private:
    PipeResult PipeRequest(int board, DWORD code, std::uint32_t pipe, void* buffer,
                           std::int32_t length, DWORD* returned);

    device::BoardTable& boards_;
    platform::OsPort& os_;
    int resendRefused_ = 0;
};

// Resends refused pipe requests for as long as it lives.
class ResendRefusedRequests {
public:
    ResendRefusedRequests(BoardChannel& channel, int times) : channel_(channel) {
        channel_.SetResendRefused(times);
    }
    ~ResendRefusedRequests() { channel_.SetResendRefused(0); }
    ResendRefusedRequests(const ResendRefusedRequests&) = delete;
    ResendRefusedRequests& operator=(const ResendRefusedRequests&) = delete;

private:
    BoardChannel& channel_;
};

} // namespace flashwell::protocol
