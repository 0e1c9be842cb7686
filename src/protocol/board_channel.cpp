#include "protocol/board_channel.h"

#include "platform/wire.h"

#include <cstring>

namespace flashwell::protocol {

std::int32_t WriteCode(const PipeResult& result) {
    switch (result.status) {
    case PipeStatus::NotOpen:
        return kNotOpen;
    case PipeStatus::Refused:
        return kRequestRefused;
    default:
        return 0;
    }
}

std::int32_t ReadCode(const PipeResult& result) {
    switch (result.status) {
    case PipeStatus::NotOpen:
        return kNotOpen;
    case PipeStatus::Refused:
        return kRequestRefused;
    default:
        return result.bytes;
    }
}

BoardChannel::BoardChannel(device::BoardTable& boards) : boards_(boards), os_(boards.Os()) {}

device::TUSBAdapter* BoardChannel::OpenAdapter(int board) {
    return boards_.IsBoardOpen(board) ? boards_.Adapter(board) : nullptr;
}

PipeResult BoardChannel::PipeRequest(int board, DWORD code, std::uint32_t pipe, void* buffer,
                                     std::int32_t length, DWORD* returned) {
    device::TUSBAdapter* adapter = OpenAdapter(board);
    if (adapter == nullptr) return {PipeStatus::NotOpen, 0};
    std::uint8_t pipeNumber[4];
    platform::wire::PutLE32(pipeNumber, pipe);
    for (int attempt = 0;; ++attempt) {
        if (adapter->IoControl(code, pipeNumber, 4, buffer, static_cast<DWORD>(length), returned))
            return {PipeStatus::Ok, length};
        RequestRefused(board);
        adapter = OpenAdapter(board);
        if (adapter == nullptr || attempt >= resendRefused_) return {PipeStatus::Refused, 0};
    }
}

PipeResult BoardChannel::Read(int board, std::uint32_t pipe, void* destination,
                              std::int32_t length) {
    DWORD returned = 0;
    PipeResult result =
        PipeRequest(board, device::ioctl::ReadPipe, pipe, destination, length, &returned);
    if (result.status == PipeStatus::Refused && destination != nullptr && length > 0)
        std::memset(destination, 0, static_cast<std::size_t>(length));
    if (result.status != PipeStatus::Ok) return result;
    result.bytes = static_cast<std::int32_t>(returned);
    if (result.bytes < length) result.status = PipeStatus::Short;
    return result;
}

PipeResult BoardChannel::Write(int board, std::uint32_t pipe, const void* data,
                               std::int32_t length) {
    // The driver takes the bytes to send in the output buffer (direct input method).
    return PipeRequest(board, device::ioctl::WritePipe, pipe, const_cast<void*>(data), length,
                       nullptr);
}

PipeResult BoardChannel::Exchange(int board, std::uint8_t* buffer, std::int32_t writeLength,
                                  std::int32_t readLength) {
    device::TUSBAdapter* adapter = OpenAdapter(board);
    if (adapter == nullptr) return {PipeStatus::NotOpen, 0};
    DWORD got = 0;
    const std::int32_t result = adapter->Transfer(buffer, writeLength, readLength, &got);
    if (result == kNotOpen) return {PipeStatus::NotOpen, 0};
    if (result != 0) return {PipeStatus::Refused, 0};
    const auto bytes = static_cast<std::int32_t>(got);
    return {bytes < readLength ? PipeStatus::Short : PipeStatus::Ok, bytes};
}

} // namespace flashwell::protocol
