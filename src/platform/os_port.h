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
inline constexpr DWORD kErrorBusyDrive = 142;
inline constexpr DWORD kErrorBusy = 170;
inline constexpr DWORD kErrorNoMoreItems = 259;
inline constexpr DWORD kErrorDeviceNotConnected = 1167;
inline constexpr DWORD kErrorTimeout = 1460;

// CreateFileA parameters used by the system.
inline constexpr DWORD kGenericRead = 0x80000000u;
inline constexpr DWORD kGenericWrite = 0x40000000u;
inline constexpr DWORD kOpenExisting = 3;

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
};

} // namespace flashwell::platform
