// The adapter objects behind a board index: binding of the device-enumeration library, the
// search for a board's device and the I/O control request wrapper.
#pragma once

#include "platform/driver_interface.h"
#include "platform/os_port.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace flashwell::device {

using platform::DWORD;
using platform::HANDLE;

// Handle value and error code meaning "no device is open" (ERROR_INVALID_HANDLE).
inline constexpr HANDLE NoDevice = 6;
inline constexpr DWORD kNoDeviceError = 6;

inline constexpr platform::GUID BoardInterfaceGuid = platform::driver::kBoardInterfaceGuid;

// Device type codes: what FindDevice found, and what a caller asks for.
inline constexpr int kDeviceNone = 0;
inline constexpr int kDevicePci = 1;
inline constexpr int kDeviceUsb1801 = 2;
inline constexpr int kDeviceUsb1802 = 3;
inline constexpr int kDeviceEzUsbBoot = 100;

// I/O control requests of the board driver.
namespace ioctl = platform::driver::ioctl;

// The type a device path stands for when `wanted` is asked for (0 when it does not qualify).
// `matched` tells whether the path named one of the known boards or controllers at all.
int ClassifyDevicePath(std::string_view path, int wanted, bool* matched = nullptr);

class TAdapter {
public:
    static constexpr std::size_t kDevicePathSize = 264;

    explicit TAdapter(platform::OsPort& os);
    virtual ~TAdapter() = default;
    TAdapter& operator=(const TAdapter&) = delete;

    virtual void ResetState() = 0;

    DWORD Open(int boardIndex, int wantedType);
    DWORD Close();
    DWORD ForceClose();
    bool IsOpen() const { return Handle != NoDevice && OpenCount > 0; }

    HANDLE FindDevice(platform::GUID guid, int boardIndex, int wantedType);

    bool IoControl(DWORD code, void* inBuffer, DWORD inSize, void* outBuffer, DWORD outSize,
                   DWORD* bytesReturned);
    void HandleIoError();

    std::string DevicePathText() const { return DevicePath.data(); }
    platform::OsPort& Os() { return *os_; }

    // Fields, in the order the adapter has always kept them.
    platform::HMODULE SetupApiModule = 0;
    platform::ProcAddress EnumDeviceInterfaces = 0;
    platform::ProcAddress DestroyDeviceInfoList = 0;
    platform::ProcAddress GetClassDevs = 0;
    platform::ProcAddress GetDeviceInterfaceDetail = 0;
    std::array<char, kDevicePathSize> DevicePath{};
    std::int32_t DeviceType = 0;
    HANDLE Handle = NoDevice;
    std::int32_t OpenCount = 0;
    std::int32_t BoardIndex = 0;
    platform::GUID InterfaceGuid{};

protected:
    // For copies of a derived adapter, which then talk to another OS port (Rebind).
    TAdapter(const TAdapter&) = default;
    void Rebind(platform::OsPort& os) { os_ = &os; }
    // Run by Open after the first successful open.
    virtual void QueryVersions() {}

private:
    void SetDevicePath(std::string_view path);

    platform::OsPort* os_;
};

} // namespace flashwell::device
