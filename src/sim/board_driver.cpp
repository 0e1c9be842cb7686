#include "sim/board_driver.h"

#include "sim/board.h"

namespace flashwell::sim {
namespace {

using platform::DWORD;

std::uint32_t Le32(std::span<const std::uint8_t> b) {
    return static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16) |
           static_cast<std::uint32_t>(b[3]) << 24;
}

void PutLe16(std::span<std::uint8_t> out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLe32(std::span<std::uint8_t> out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool DirectRequestsServed(const Board& board) {
    const auto& v = board.Config().interfaceVersion;
    return v && *v >= kDirectRequestsInterfaceVersion;
}

DWORD WriteRegister(Board& board, std::uint8_t reg, std::uint8_t value) {
    if (!DirectRequestsServed(board)) return platform::kErrorInvalidFunction;
    ControllerFirmware* fw = board.Firmware();
    if (fw == nullptr || !fw->WriteHostRegister(reg, value)) return platform::kErrorGenFailure;
    return platform::kErrorSuccess;
}

} // namespace

DWORD DispatchIoControl(Board& board, DWORD code, std::span<const std::uint8_t> input,
                        std::span<std::uint8_t> output, DWORD& bytesReturned) {
    bytesReturned = 0;
    const BoardConfig& config = board.Config();
    switch (code) {
    case kIoctlVendorRequest: {
        if (input.size() != 10) return platform::kErrorInvalidParameter;
        const VendorRequest request = VendorRequest::Parse(input.first<10>());
        return board.Hooks().OnVendorRequest(board, request, output, bytesReturned);
    }
    case kIoctlPipeRead: {
        if (input.size() != 4 || Le32(input) != 1) return platform::kErrorInvalidParameter;
        ControllerFirmware* fw = board.Firmware();
        bytesReturned = fw ? static_cast<DWORD>(fw->OnPipeRead(output)) : 0;
        return platform::kErrorSuccess;
    }
    case kIoctlPipeWrite: {
        if (input.size() != 4 || Le32(input) != 0) return platform::kErrorInvalidParameter;
        if (ControllerFirmware* fw = board.Firmware()) fw->OnPipeWrite(output);
        bytesReturned = static_cast<DWORD>(output.size());
        return platform::kErrorSuccess;
    }
    case kIoctlLoadMemory: {
        if (input.size() != 2 || output.empty()) return platform::kErrorInvalidParameter;
        const auto address = static_cast<std::uint16_t>(input[0] | input[1] << 8);
        const DWORD error = board.Hooks().OnLoadMemory(board, address, output);
        if (error == platform::kErrorSuccess) bytesReturned = static_cast<DWORD>(output.size());
        return error;
    }
    case kIoctlDriverVersion: {
        if (output.size() < 6) return platform::kErrorInvalidParameter;
        PutLe16(output, 0, config.driverVersion.major);
        PutLe16(output, 2, config.driverVersion.minor);
        PutLe16(output, 4, config.driverVersion.build);
        bytesReturned = 6;
        return platform::kErrorSuccess;
    }
    case kIoctlBoardInfo: {
        if (input.size() != 4 || output.size() < 4) return platform::kErrorInvalidParameter;
        const std::uint32_t selector = Le32(input);
        std::uint32_t answer = 0;
        if (selector == kBoardInfoSelector)
            answer = config.boardInfo;
        else if (selector == kBoardNumberSelector && config.boardNumber)
            answer = *config.boardNumber;
        else
            return platform::kErrorInvalidParameter;
        PutLe32(output, answer);
        bytesReturned = 4;
        return platform::kErrorSuccess;
    }
    case kIoctlInterfaceVersion: {
        if (!config.interfaceVersion) return platform::kErrorInvalidFunction;
        if (output.size() < 4) return platform::kErrorInvalidParameter;
        PutLe32(output, *config.interfaceVersion);
        bytesReturned = 4;
        return platform::kErrorSuccess;
    }
    case kIoctlHostRegister: {
        if (!DirectRequestsServed(board)) return platform::kErrorInvalidFunction;
        if (input.size() != 8) return platform::kErrorInvalidParameter;
        return WriteRegister(board, static_cast<std::uint8_t>(Le32(input.first(4))),
                             static_cast<std::uint8_t>(Le32(input.subspan(4, 4))));
    }
    case kIoctlHostCommand: {
        if (!DirectRequestsServed(board)) return platform::kErrorInvalidFunction;
        if (input.size() != 4) return platform::kErrorInvalidParameter;
        const std::uint32_t vector = Le32(input);
        return WriteRegister(board, DspHostInterface::kCommandVectorRegister,
                             static_cast<std::uint8_t>(0x80 | (vector & 0x7F)));
    }
    default:
        return platform::kErrorInvalidFunction;
    }
}

} // namespace flashwell::sim
