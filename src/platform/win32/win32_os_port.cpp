#include "platform/win32/win32_os_port.h"

#include <windows.h>

#include <setupapi.h>

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

namespace {

using GetClassDevsFn = ::HDEVINFO(WINAPI*)(const ::GUID*, PCSTR, HWND, ::DWORD);
using EnumInterfacesFn = ::BOOL(WINAPI*)(::HDEVINFO, PSP_DEVINFO_DATA, const ::GUID*, ::DWORD,
                                         PSP_DEVICE_INTERFACE_DATA);
using InterfaceDetailFn = ::BOOL(WINAPI*)(::HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_A, ::DWORD, PDWORD,
                                          PSP_DEVINFO_DATA);
using DestroyListFn = ::BOOL(WINAPI*)(::HDEVINFO);
using GetVersionExFn = ::BOOL(WINAPI*)(LPOSVERSIONINFOA);

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

} // namespace flashwell::platform::win32
