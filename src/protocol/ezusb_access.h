// The EZ-USB controller: the vendor request that holds or releases its CPU, the RAM download of
// Intel-HEX records, and the byte-by-byte EEPROM packets.
#pragma once

#include "protocol/board_channel.h"

#include <cstdint>

namespace flashwell::protocol {

inline constexpr std::int32_t kVendorRequestRefused = -2;

class EzUsbAccess {
public:
    explicit EzUsbAccess(BoardChannel& channel) : channel_(channel) {}
    EzUsbAccess(const EzUsbAccess&) = delete;
    EzUsbAccess& operator=(const EzUsbAccess&) = delete;

    std::int32_t SendVendorRequest(platform::HANDLE handle, std::uint8_t request,
                                   std::uint8_t dataByte, std::uint32_t outputLength, void* output,
                                   std::uint16_t value, std::uint16_t length, std::uint16_t index,
                                   std::uint8_t direction);
    std::int32_t SetCpuReset(platform::HANDLE handle, std::uint8_t hold);
    std::uint32_t DownloadHexRecords(int board, const char* text, std::int32_t textLength);
    void EepWrite(int board, std::uint16_t address, std::uint8_t data);
    std::uint8_t EepRead(int board, std::uint16_t address);
    // Like EepRead, but tells a failed read apart from a stored 0.
    [[nodiscard]] bool EepReadChecked(int board, std::uint16_t address, std::uint8_t& value);

private:
    BoardChannel& channel_;
};

} // namespace flashwell::protocol
