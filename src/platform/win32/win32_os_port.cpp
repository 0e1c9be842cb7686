#include "platform/win32/win32_os_port.h"

#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

#include <cstddef>

namespace flashwell::platform::win32 {

// The portable records must be the ones the Windows headers define, in either build.
static_assert(sizeof(DeviceInterfaceData) == sizeof(SP_DEVICE_INTERFACE_DATA));
static_assert(offsetof(DeviceInterfaceData, InterfaceClassGuid) ==
              offsetof(SP_DEVICE_INTERFACE_DATA, InterfaceClassGuid));
static_assert(offsetof(DeviceInterfaceData, Reserved) ==
              offsetof(SP_DEVICE_INTERFACE_DATA, Reserved));
static_assert(kInterfaceDetailFixedSize == sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
static_assert(kInterfaceDetailPathOffset ==
              offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath));
static_assert(sizeof(OsVersionInfo) == sizeof(OSVERSIONINFOA));
static_assert(sizeof(GUID) == sizeof(::GUID));
static_assert(sizeof(LocalTime) == sizeof(SYSTEMTIME));
static_assert(sizeof(UsbInterfaceDescriptor) == sizeof(USB_INTERFACE_DESCRIPTOR));
static_assert(sizeof(WinUsbPipeInformation) == sizeof(WINUSB_PIPE_INFORMATION));
static_assert(offsetof(WinUsbPipeInformation, MaximumPacketSize) ==
              offsetof(WINUSB_PIPE_INFORMATION, MaximumPacketSize));
static_assert(sizeof(WinUsbSetupPacket) == sizeof(WINUSB_SETUP_PACKET));
static_assert(kPipeTransferTimeout == PIPE_TRANSFER_TIMEOUT);
static_assert(sizeof(WinUsbHandle) == sizeof(WINUSB_INTERFACE_HANDLE));

namespace {

using GetClassDevsFn = ::HDEVINFO(WINAPI*)(const ::GUID*, PCSTR, HWND, ::DWORD);
using EnumInterfacesFn = ::BOOL(WINAPI*)(::HDEVINFO, PSP_DEVINFO_DATA, const ::GUID*, ::DWORD,
                                         PSP_DEVICE_INTERFACE_DATA);
using InterfaceDetailFn = ::BOOL(WINAPI*)(::HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_A, ::DWORD, PDWORD,
                                          PSP_DEVINFO_DATA);
using DestroyListFn = ::BOOL(WINAPI*)(::HDEVINFO);
using GetVersionExFn = ::BOOL(WINAPI*)(LPOSVERSIONINFOA);
// winusb.dll's functions, bound at run time so that the program starts where it is missing.
using WinUsbInitializeFn = ::BOOL(WINAPI*)(::HANDLE, PWINUSB_INTERFACE_HANDLE);
using WinUsbFreeFn = ::BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE);
using WinUsbQuerySettingsFn = ::BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR,
                                              PUSB_INTERFACE_DESCRIPTOR);
using WinUsbQueryPipeFn = ::BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR,
                                          PWINUSB_PIPE_INFORMATION);
using WinUsbSetPolicyFn = ::BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, ULONG, ULONG, PVOID);
using WinUsbControlFn = ::BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET, PUCHAR, ULONG,
                                        PULONG, LPOVERLAPPED);
using WinUsbPipeFn = ::BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG,
                                     LPOVERLAPPED);
using WinUsbResetFn = ::BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR);

template <typename Fn> Fn Entry(ProcAddress entry) {
    // GetProcAddress hands out a generic function pointer; the caller knows the signature.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(entry));
}

::HANDLE ToHandle(platform::HANDLE h) {
    return reinterpret_cast<::HANDLE>(h);
}
::HMODULE ToModule(HMODULE m) {
    return reinterpret_cast<::HMODULE>(m);
}
::HDEVINFO ToDevInfo(platform::HDEVINFO s) {
    return reinterpret_cast<::HDEVINFO>(s);
}
WINUSB_INTERFACE_HANDLE ToUsb(WinUsbHandle h) {
    return reinterpret_cast<WINUSB_INTERFACE_HANDLE>(h);
}
// ULONG is 32 bits in both builds, as DWORD is.
static_assert(sizeof(ULONG) == sizeof(DWORD));

} // namespace

DWORD Win32OsPort::GetSystemDirectoryA(char* buffer, DWORD size) {
    return ::GetSystemDirectoryA(buffer, size);
}

HMODULE Win32OsPort::LoadLibraryA(const char* fileName) {
    return reinterpret_cast<HMODULE>(::LoadLibraryA(fileName));
}

ProcAddress Win32OsPort::GetProcAddress(HMODULE module, const char* name) {
    return reinterpret_cast<ProcAddress>(::GetProcAddress(ToModule(module), name));
}

BOOL Win32OsPort::FreeLibrary(HMODULE module) {
    return ::FreeLibrary(ToModule(module));
}

platform::HANDLE Win32OsPort::CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                                          DWORD creationDisposition, DWORD flagsAndAttributes) {
    return reinterpret_cast<platform::HANDLE>(::CreateFileA(
        fileName, access, shareMode, nullptr, creationDisposition, flagsAndAttributes, nullptr));
}

BOOL Win32OsPort::CloseHandle(platform::HANDLE handle) {
    return ::CloseHandle(ToHandle(handle));
}

BOOL Win32OsPort::DeviceIoControl(platform::HANDLE device, DWORD code, void* inBuffer, DWORD inSize,
                                  void* outBuffer, DWORD outSize, DWORD* bytesReturned) {
    ::DWORD returned = 0;
    const ::BOOL ok = ::DeviceIoControl(ToHandle(device), code, inBuffer, inSize, outBuffer,
                                        outSize, &returned, nullptr);
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return ok;
}

DWORD Win32OsPort::GetLastError() {
    return ::GetLastError();
}
void Win32OsPort::SetLastError(DWORD error) {
    ::SetLastError(error);
}
void Win32OsPort::OutputDebugStringA(const char* text) {
    ::OutputDebugStringA(text);
}
void Win32OsPort::Sleep(DWORD milliseconds) {
    ::Sleep(milliseconds);
}

LocalTime Win32OsPort::GetLocalTime() {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    return LocalTime{t.wYear, t.wMonth,  t.wDayOfWeek, t.wDay,
                     t.wHour, t.wMinute, t.wSecond,    t.wMilliseconds};
}

platform::HDEVINFO Win32OsPort::SetupDiGetClassDevsA(ProcAddress entry, const GUID* classGuid,
                                                     const char* enumerator, DWORD flags) {
    if (entry == 0) return kInvalidDevInfo;
    const ::HDEVINFO set = Entry<GetClassDevsFn>(entry)(reinterpret_cast<const ::GUID*>(classGuid),
                                                        enumerator, nullptr, flags);
    return reinterpret_cast<platform::HDEVINFO>(set);
}

BOOL Win32OsPort::SetupDiEnumDeviceInterfaces(ProcAddress entry, platform::HDEVINFO set,
                                              const GUID* interfaceClassGuid, DWORD memberIndex,
                                              DeviceInterfaceData* data) {
    if (entry == 0) return FALSE;
    return Entry<EnumInterfacesFn>(entry)(
        ToDevInfo(set), nullptr, reinterpret_cast<const ::GUID*>(interfaceClassGuid), memberIndex,
        reinterpret_cast<PSP_DEVICE_INTERFACE_DATA>(data));
}

BOOL Win32OsPort::SetupDiGetDeviceInterfaceDetailA(ProcAddress entry, platform::HDEVINFO set,
                                                   DeviceInterfaceData* data, void* detail,
                                                   DWORD detailSize, DWORD* requiredSize) {
    if (entry == 0) return FALSE;
    ::DWORD required = 0;
    const ::BOOL ok = Entry<InterfaceDetailFn>(entry)(
        ToDevInfo(set), reinterpret_cast<PSP_DEVICE_INTERFACE_DATA>(data),
        static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail), detailSize, &required, nullptr);
    if (requiredSize != nullptr) *requiredSize = required;
    return ok;
}

BOOL Win32OsPort::SetupDiDestroyDeviceInfoList(ProcAddress entry, platform::HDEVINFO set) {
    if (entry == 0) return FALSE;
    return Entry<DestroyListFn>(entry)(ToDevInfo(set));
}

BOOL Win32OsPort::GetVersionExA(ProcAddress entry, OsVersionInfo* info) {
    if (entry == 0) return FALSE;
    return Entry<GetVersionExFn>(entry)(reinterpret_cast<LPOSVERSIONINFOA>(info));
}

// ---- WinUSB --------------------------------------------------------------------------------

BOOL Win32OsPort::WinUsb_Initialize(ProcAddress entry, platform::HANDLE file,
                                    WinUsbHandle* handle) {
    if (entry == 0 || handle == nullptr) return FALSE;
    WINUSB_INTERFACE_HANDLE h = nullptr;
    const ::BOOL ok = Entry<WinUsbInitializeFn>(entry)(ToHandle(file), &h);
    *handle = reinterpret_cast<WinUsbHandle>(h);
    return ok;
}

BOOL Win32OsPort::WinUsb_Free(ProcAddress entry, WinUsbHandle handle) {
    if (entry == 0) return FALSE;
    return Entry<WinUsbFreeFn>(entry)(ToUsb(handle));
}

BOOL Win32OsPort::WinUsb_QueryInterfaceSettings(ProcAddress entry, WinUsbHandle handle,
                                                std::uint8_t alternate,
                                                UsbInterfaceDescriptor* descriptor) {
    if (entry == 0) return FALSE;
    return Entry<WinUsbQuerySettingsFn>(entry)(
        ToUsb(handle), alternate, reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(descriptor));
}

BOOL Win32OsPort::WinUsb_QueryPipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t alternate,
                                   std::uint8_t index, WinUsbPipeInformation* pipe) {
    if (entry == 0) return FALSE;
    return Entry<WinUsbQueryPipeFn>(entry)(ToUsb(handle), alternate, index,
                                           reinterpret_cast<PWINUSB_PIPE_INFORMATION>(pipe));
}

BOOL Win32OsPort::WinUsb_SetPipePolicy(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe,
                                       DWORD policy, DWORD length, void* value) {
    if (entry == 0) return FALSE;
    return Entry<WinUsbSetPolicyFn>(entry)(ToUsb(handle), pipe, policy, length, value);
}

BOOL Win32OsPort::WinUsb_ControlTransfer(ProcAddress entry, WinUsbHandle handle,
                                         WinUsbSetupPacket setup, std::uint8_t* buffer,
                                         DWORD length, DWORD* transferred) {
    if (entry == 0) return FALSE;
    WINUSB_SETUP_PACKET packet;
    packet.RequestType = setup.RequestType;
    packet.Request = setup.Request;
    packet.Value = setup.Value;
    packet.Index = setup.Index;
    packet.Length = setup.Length;
    ULONG done = 0;
    const ::BOOL ok =
        Entry<WinUsbControlFn>(entry)(ToUsb(handle), packet, buffer, length, &done, nullptr);
    if (transferred != nullptr) *transferred = done;
    return ok;
}

// WinUsb_WritePipe and WinUsb_ReadPipe share their signature.
static BOOL PipeTransfer(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe,
                         std::uint8_t* buffer, DWORD length, DWORD* transferred) {
    if (entry == 0) return FALSE;
    ULONG done = 0;
    const ::BOOL ok =
        Entry<WinUsbPipeFn>(entry)(ToUsb(handle), pipe, buffer, length, &done, nullptr);
    if (transferred != nullptr) *transferred = done;
    return ok;
}

BOOL Win32OsPort::WinUsb_WritePipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe,
                                   std::uint8_t* buffer, DWORD length, DWORD* transferred) {
    return PipeTransfer(entry, handle, pipe, buffer, length, transferred);
}

BOOL Win32OsPort::WinUsb_ReadPipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe,
                                  std::uint8_t* buffer, DWORD length, DWORD* transferred) {
    return PipeTransfer(entry, handle, pipe, buffer, length, transferred);
}

BOOL Win32OsPort::WinUsb_ResetPipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe) {
    if (entry == 0) return FALSE;
    return Entry<WinUsbResetFn>(entry)(ToUsb(handle), pipe);
}

} // namespace flashwell::platform::win32
