// The board driver's request dispatch, between DeviceIoControl and the board.
#pragma once

#include "platform/os_port.h"

#include <cstdint>
#include <span>

namespace flashwell::sim {

class Board;

inline constexpr platform::DWORD kIoctlVendorRequest = 0x222014;
inline constexpr platform::DWORD kIoctlPipeRead = 0x22204E;
inline constexpr platform::DWORD kIoctlPipeWrite = 0x222051;
inline constexpr platform::DWORD kIoctlLoadMemory = 0x22206D;
inline constexpr platform::DWORD kIoctlDriverVersion = 0x222074;
inline constexpr platform::DWORD kIoctlBoardInfo = 0x222258;
inline constexpr platform::DWORD kIoctlInterfaceVersion = 0x222E00;
inline constexpr platform::DWORD kIoctlHostRegister = 0x222E08;
inline constexpr platform::DWORD kIoctlHostCommand = 0x222E28;

inline constexpr std::uint32_t kBoardInfoSelector = 1;
inline constexpr std::uint32_t kBoardNumberSelector = 3;
// From this interface version on the driver serves the direct host-interface requests.
inline constexpr std::uint32_t kDirectRequestsInterfaceVersion = 0x40004;

// The buffer transfer method encoded in the low two bits of a code. With method 1 the output
// buffer carries data to the device.
inline constexpr platform::DWORD TransferMethod(platform::DWORD code) {
    return code & 3;
}

// Runs one request for the board. A missing buffer arrives as an empty span. Returns the Windows
// error the request completes with (0 on success) and sets bytesReturned.
//
// Choices where the driver's behaviour is ours to define:
// - Input buffers must have exactly the size of their record, fixed-size answers need at least
//   their size; otherwise 87. Unknown codes fail with 1.
// - A pipe read returns what the firmware has queued, up to the length asked (possibly fewer
//   bytes, possibly none) and succeeds; bytes not taken stay queued. Only pipe 0 is written and
//   pipe 1 read; the other direction fails with 87.
// - Board information: selector 1 answers Config().boardInfo; selector 3 answers the configured
//   board number and otherwise fails with 87, which leaves the host's handle open.
// - Without a firmware (controller in boot state) pipe writes are swallowed, pipe reads return
//   nothing, and the direct host-interface requests fail with 31.
// - Direct host-interface requests need an interface version of 0x40004 or more, else 1.
platform::DWORD DispatchIoControl(Board& board, platform::DWORD code,
                                  std::span<const std::uint8_t> input,
                                  std::span<std::uint8_t> output, platform::DWORD& bytesReturned);

} // namespace flashwell::sim
