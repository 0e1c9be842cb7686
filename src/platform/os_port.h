// The Windows calls that device access and the board protocol make, behind one interface.
//
// The host code never calls Windows directly: it calls an OsPort. On Windows the port forwards
// to the real API (win32/), elsewhere a simulated Windows with the board driver stands behind it
// (src/sim). Signatures follow the Windows functions closely, so that the host code reads like
// the code that runs on the target and the simulation can be byte-exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace flashwell::platform {

using DWORD = std::uint32_t;
using BOOL = std::int32_t;
// Handles and module handles are pointer-sized on Windows; 0 is "no module".
using HANDLE = std::uintptr_t;
using HMODULE = std::uintptr_t;
// An entry point as GetProcAddress returns it; 0 when the name is not exported.
using ProcAddress = std::uintptr_t;
// Device-information set of SetupAPI.
using HDEVINFO = std::uintptr_t;

inline constexpr HANDLE kInvalidHandleValue = ~HANDLE{0};
inline constexpr HDEVINFO kInvalidDevInfo = ~HDEVINFO{0};

// Windows error codes the system distinguishes.
inline constexpr DWORD kErrorSuccess = 0;
inline constexpr DWORD kErrorInvalidFunction = 1;
inline constexpr DWORD kErrorFileNotFound = 2;
inline constexpr DWORD kErrorAccessDenied = 5;
inline constexpr DWORD kErrorInvalidHandle = 6;
inline constexpr DWORD kErrorGenFailure = 31;
inline constexpr DWORD kErrorSharingViolation = 32;
inline constexpr DWORD kErrorInvalidParameter = 87;
inline constexpr DWORD kErrorInsufficientBuffer = 122;
inline constexpr DWORD kErrorModNotFound = 126;
inline constexpr DWORD kErrorProcNotFound = 127;
inline constexpr DWORD kErrorBadCommand = 22;
inline constexpr DWORD kErrorSemTimeout = 121;
inline constexpr DWORD kErrorBusyDrive = 142;
inline constexpr DWORD kErrorBusy = 170;
inline constexpr DWORD kErrorNoMoreItems = 259;
inline constexpr DWORD kErrorDeviceNotConnected = 1167;
inline constexpr DWORD kErrorTimeout = 1460;

// CreateFileA parameters used by the system.
inline constexpr DWORD kGenericRead = 0x80000000u;
inline constexpr DWORD kGenericWrite = 0x40000000u;
inline constexpr DWORD kOpenExisting = 3;
inline constexpr DWORD kFileShareRead = 0x01;
inline constexpr DWORD kFileShareWrite = 0x02;
inline constexpr DWORD kFileAttributeNormal = 0x80;
inline constexpr DWORD kFileFlagOverlapped = 0x40000000u;

// SetupDiGetClassDevsA flags.
inline constexpr DWORD kDigcfPresent = 0x02;
inline constexpr DWORD kDigcfDeviceInterface = 0x10;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

// SP_DEVICE_INTERFACE_DATA: 28 bytes in a 32-bit build, 32 in a 64-bit one, as on Windows.
struct DeviceInterfaceData {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    std::uintptr_t Reserved;
};

// SP_DEVICE_INTERFACE_DETAIL_DATA_A: a size field and the device path that follows it.
// Windows expects cbSize to hold the size of the fixed part: 5 in a 32-bit build (the record is
// byte-packed there), 8 in a 64-bit one.
inline constexpr DWORD kInterfaceDetailFixedSize = sizeof(void*) == 4 ? 5 : 8;
inline constexpr std::size_t kInterfaceDetailPathOffset = 4;

// OSVERSIONINFOA, 148 bytes.
struct OsVersionInfo {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OsVersionInfo) == 148);

// SYSTEMTIME, the local time of day.
struct LocalTime {
    std::uint16_t Year, Month, DayOfWeek, Day, Hour, Minute, Second, Milliseconds;
};

// WinUSB's records, laid out as winusb.h and usb100.h publish them.
using WinUsbHandle = std::uintptr_t; // WINUSB_INTERFACE_HANDLE
struct UsbInterfaceDescriptor {      // USB_INTERFACE_DESCRIPTOR, 9 bytes
    std::uint8_t bLength;
    std::uint8_t bDescriptorType;
    std::uint8_t bInterfaceNumber;
    std::uint8_t bAlternateSetting;
    std::uint8_t bNumEndpoints;
    std::uint8_t bInterfaceClass;
    std::uint8_t bInterfaceSubClass;
    std::uint8_t bInterfaceProtocol;
    std::uint8_t iInterface;
};
static_assert(sizeof(UsbInterfaceDescriptor) == 9);
enum class UsbPipeType : std::int32_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };
struct WinUsbPipeInformation { // WINUSB_PIPE_INFORMATION
    UsbPipeType PipeType;
    std::uint8_t PipeId; // the endpoint address
    std::uint16_t MaximumPacketSize;
    std::uint8_t Interval;
};
static_assert(sizeof(WinUsbPipeInformation) == 12);
struct WinUsbSetupPacket { // WINUSB_SETUP_PACKET
    std::uint8_t RequestType;
    std::uint8_t Request;
    std::uint16_t Value;
    std::uint16_t Index;
    std::uint16_t Length;
};
static_assert(sizeof(WinUsbSetupPacket) == 8);
// WinUsb_SetPipePolicy's policy for how long a transfer may take, a ULONG of milliseconds.
inline constexpr DWORD kPipeTransferTimeout = 0x03;

class OsPort {
public:
    virtual ~OsPort() = default;

    // Kernel.
    virtual DWORD GetSystemDirectoryA(char* buffer, DWORD size) = 0;
    virtual HMODULE LoadLibraryA(const char* fileName) = 0;
    virtual ProcAddress GetProcAddress(HMODULE module, const char* name) = 0;
    virtual BOOL FreeLibrary(HMODULE module) = 0;
    virtual HANDLE CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                               DWORD creationDisposition, DWORD flagsAndAttributes) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;
    virtual BOOL DeviceIoControl(HANDLE device, DWORD code, void* inBuffer, DWORD inSize,
                                 void* outBuffer, DWORD outSize, DWORD* bytesReturned) = 0;
    virtual DWORD GetLastError() = 0;
    virtual void SetLastError(DWORD error) = 0;
    virtual void OutputDebugStringA(const char* text) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
    virtual LocalTime GetLocalTime() = 0;

    // Calls through entry points bound at run time with GetProcAddress. The entry point is
    // passed first; an implementation calls exactly that entry point.
    virtual HDEVINFO SetupDiGetClassDevsA(ProcAddress entry, const GUID* classGuid,
                                          const char* enumerator, DWORD flags) = 0;
    virtual BOOL SetupDiEnumDeviceInterfaces(ProcAddress entry, HDEVINFO set,
                                             const GUID* interfaceClassGuid, DWORD memberIndex,
                                             DeviceInterfaceData* data) = 0;
    // detail points at a record whose first 4 bytes are cbSize and whose device path follows
    // at kInterfaceDetailPathOffset; detailSize is its whole size in bytes.
    virtual BOOL SetupDiGetDeviceInterfaceDetailA(ProcAddress entry, HDEVINFO set,
                                                  DeviceInterfaceData* data, void* detail,
                                                  DWORD detailSize, DWORD* requiredSize) = 0;
    virtual BOOL SetupDiDestroyDeviceInfoList(ProcAddress entry, HDEVINFO set) = 0;
    virtual BOOL GetVersionExA(ProcAddress entry, OsVersionInfo* info) = 0;

    // WinUSB, whose entry points only a Windows that has winusb.dll hands out: a port that has
    // none never gets these calls, and refuses them as a missing function would.
    virtual BOOL WinUsb_Initialize(ProcAddress, HANDLE, WinUsbHandle*) { return NoWinUsb(); }
    virtual BOOL WinUsb_Free(ProcAddress, WinUsbHandle) { return NoWinUsb(); }
    virtual BOOL WinUsb_QueryInterfaceSettings(ProcAddress, WinUsbHandle, std::uint8_t,
                                               UsbInterfaceDescriptor*) {
        return NoWinUsb();
    }
    virtual BOOL WinUsb_QueryPipe(ProcAddress, WinUsbHandle, std::uint8_t, std::uint8_t,
                                  WinUsbPipeInformation*) {
        return NoWinUsb();
    }
    virtual BOOL WinUsb_SetPipePolicy(ProcAddress, WinUsbHandle, std::uint8_t, DWORD, DWORD,
                                      void*) {
        return NoWinUsb();
    }
    // Always synchronous: the system passes no OVERLAPPED record.
    virtual BOOL WinUsb_ControlTransfer(ProcAddress, WinUsbHandle, WinUsbSetupPacket, std::uint8_t*,
                                        DWORD, DWORD*) {
        return NoWinUsb();
    }
    virtual BOOL WinUsb_WritePipe(ProcAddress, WinUsbHandle, std::uint8_t, std::uint8_t*, DWORD,
                                  DWORD*) {
        return NoWinUsb();
    }
    virtual BOOL WinUsb_ReadPipe(ProcAddress, WinUsbHandle, std::uint8_t, std::uint8_t*, DWORD,
                                 DWORD*) {
        return NoWinUsb();
    }
    virtual BOOL WinUsb_ResetPipe(ProcAddress, WinUsbHandle, std::uint8_t) { return NoWinUsb(); }

private:
    BOOL NoWinUsb() {
        SetLastError(kErrorProcNotFound);
        return 0;
    }
};

} // namespace flashwell::platform
