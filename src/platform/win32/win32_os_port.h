// The OS port on Windows itself: every call goes to the real API.
#pragma once

#include "platform/os_port.h"

namespace flashwell::platform::win32 {

class Win32OsPort final : public OsPort {
public:
    DWORD GetSystemDirectoryA(char* buffer, DWORD size) override;
    HMODULE LoadLibraryA(const char* fileName) override;
    ProcAddress GetProcAddress(HMODULE module, const char* name) override;
    BOOL FreeLibrary(HMODULE module) override;
    HANDLE CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                       DWORD creationDisposition, DWORD flagsAndAttributes) override;
    BOOL CloseHandle(HANDLE handle) override;
    BOOL DeviceIoControl(HANDLE device, DWORD code, void* inBuffer, DWORD inSize, void* outBuffer,
                         DWORD outSize, DWORD* bytesReturned) override;
    DWORD GetLastError() override;
    void SetLastError(DWORD error) override;
    void OutputDebugStringA(const char* text) override;
    void Sleep(DWORD milliseconds) override;
    LocalTime GetLocalTime() override;

    HDEVINFO SetupDiGetClassDevsA(ProcAddress entry, const GUID* classGuid, const char* enumerator,
                                  DWORD flags) override;
    BOOL SetupDiEnumDeviceInterfaces(ProcAddress entry, HDEVINFO set,
                                     const GUID* interfaceClassGuid, DWORD memberIndex,
                                     DeviceInterfaceData* data) override;
    BOOL SetupDiGetDeviceInterfaceDetailA(ProcAddress entry, HDEVINFO set,
                                          DeviceInterfaceData* data, void* detail, DWORD detailSize,
                                          DWORD* requiredSize) override;
    BOOL SetupDiDestroyDeviceInfoList(ProcAddress entry, HDEVINFO set) override;
    BOOL GetVersionExA(ProcAddress entry, OsVersionInfo* info) override;

    BOOL WinUsb_Initialize(ProcAddress entry, HANDLE file, WinUsbHandle* handle) override;
    BOOL WinUsb_Free(ProcAddress entry, WinUsbHandle handle) override;
    BOOL WinUsb_QueryInterfaceSettings(ProcAddress entry, WinUsbHandle handle,
                                       std::uint8_t alternate,
                                       UsbInterfaceDescriptor* descriptor) override;
    BOOL WinUsb_QueryPipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t alternate,
                          std::uint8_t index, WinUsbPipeInformation* pipe) override;
    BOOL WinUsb_SetPipePolicy(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe,
                              DWORD policy, DWORD length, void* value) override;
    BOOL WinUsb_ControlTransfer(ProcAddress entry, WinUsbHandle handle, WinUsbSetupPacket setup,
                                std::uint8_t* buffer, DWORD length, DWORD* transferred) override;
    BOOL WinUsb_WritePipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe,
                          std::uint8_t* buffer, DWORD length, DWORD* transferred) override;
    BOOL WinUsb_ReadPipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe,
                         std::uint8_t* buffer, DWORD length, DWORD* transferred) override;
    BOOL WinUsb_ResetPipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe) override;
};

} // namespace flashwell::platform::win32
