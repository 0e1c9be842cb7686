// The board driver's interface as the host knows it: the device interface class the boards are
// listed under, the I/O control requests, and the layout of the vendor request's input record.
// The adapter sends these (src/device, src/protocol); every route that stands in for the driver
// maps them (the USB backend). The simulated driver keeps its own copy on purpose: it judges
// what the host sends, and a fault shared by both would pass unseen.
#pragma once

#include "platform/os_port.h"

#include <cstddef>
#include <cstdint>

namespace flashwell::platform::driver {

inline constexpr GUID kBoardInterfaceGuid{
    0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

// The device interface class that packaging/windows/flashwell-winusb.inf registers for boards
// bound to WinUSB: the boards are listed under it instead, with device paths of the same form.
inline constexpr GUID kWinUsbInterfaceGuid{
    0x8C3A1F52, 0x6D2E, 0x4B7A, {0x9E, 0x41, 0x2F, 0x5C, 0x7D, 0x90, 0xAB, 0x13}};

namespace ioctl {
inline constexpr DWORD VendorRequest = 0x222014;
inline constexpr DWORD ReadPipe = 0x22204E;
inline constexpr DWORD WritePipe = 0x222051;
inline constexpr DWORD LoadMemory = 0x22206D;
inline constexpr DWORD DriverVersion = 0x222074;
inline constexpr DWORD BoardInfo = 0x222258;
inline constexpr DWORD InterfaceVersion = 0x222E00;
inline constexpr DWORD WriteHostRegister = 0x222E08;
inline constexpr DWORD HostCommand = 0x222E28;
} // namespace ioctl

// The vendor request's input record: request, a pad byte, value, index and length (low byte
// first), direction (0 to the device), and the one data byte sent to the device.
struct VendorRequestRecord {
    static constexpr std::size_t kSize = 10;

    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
    std::uint8_t direction = 0;
    std::uint8_t data = 0;

    void WriteTo(std::uint8_t (&out)[kSize]) const {
        out[0] = request;
        out[1] = 0;
        out[2] = static_cast<std::uint8_t>(value);
        out[3] = static_cast<std::uint8_t>(value >> 8);
        out[4] = static_cast<std::uint8_t>(index);
        out[5] = static_cast<std::uint8_t>(index >> 8);
        out[6] = static_cast<std::uint8_t>(length);
        out[7] = static_cast<std::uint8_t>(length >> 8);
        out[8] = direction;
        out[9] = data;
    }
    static VendorRequestRecord ReadFrom(const std::uint8_t* in) {
        return {in[0],
                static_cast<std::uint16_t>(in[2] | in[3] << 8),
                static_cast<std::uint16_t>(in[4] | in[5] << 8),
                static_cast<std::uint16_t>(in[6] | in[7] << 8),
                in[8],
                in[9]};
    }
};

} // namespace flashwell::platform::driver
