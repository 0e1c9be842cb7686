// An OS port that passes every call on to another one. Ports that watch or record what the
// program asks of Windows derive from it and override only the calls they look at.
#pragma once

#include "platform/os_port.h"

namespace flashwell::platform {

class ForwardingOsPort : public OsPort {
public:
    explicit ForwardingOsPort(OsPort& inner) : inner_(inner) {}

    DWORD GetSystemDirectoryA(char* buffer, DWORD size) override {
        return inner_.GetSystemDirectoryA(buffer, size);
    }
    HMODULE LoadLibraryA(const char* fileName) override { return inner_.LoadLibraryA(fileName); }
    ProcAddress GetProcAddress(HMODULE module, const char* name) override {
        return inner_.GetProcAddress(module, name);
    }
    BOOL FreeLibrary(HMODULE module) override { return inner_.FreeLibrary(module); }
    HANDLE CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                       DWORD creationDisposition, DWORD flagsAndAttributes) override {
        return inner_.CreateFileA(fileName, access, shareMode, creationDisposition,
                                  flagsAndAttributes);
    }
    BOOL CloseHandle(HANDLE handle) override { return inner_.CloseHandle(handle); }
    BOOL DeviceIoControl(HANDLE device, DWORD code, void* inBuffer, DWORD inSize, void* outBuffer,
                         DWORD outSize, DWORD* bytesReturned) override {
        return inner_.DeviceIoControl(device, code, inBuffer, inSize, outBuffer, outSize,
                                      bytesReturned);
    }
    DWORD GetLastError() override { return inner_.GetLastError(); }
    void SetLastError(DWORD error) override { inner_.SetLastError(error); }
    void OutputDebugStringA(const char* text) override { inner_.OutputDebugStringA(text); }
    void Sleep(DWORD milliseconds) override { inner_.Sleep(milliseconds); }
    LocalTime GetLocalTime() override { return inner_.GetLocalTime(); }

    HDEVINFO SetupDiGetClassDevsA(ProcAddress entry, const GUID* classGuid, const char* enumerator,
                                  DWORD flags) override {
        return inner_.SetupDiGetClassDevsA(entry, classGuid, enumerator, flags);
    }
    BOOL SetupDiEnumDeviceInterfaces(ProcAddress entry, HDEVINFO set,
                                     const GUID* interfaceClassGuid, DWORD memberIndex,
                                     DeviceInterfaceData* data) override {
        return inner_.SetupDiEnumDeviceInterfaces(entry, set, interfaceClassGuid, memberIndex,
                                                  data);
    }
    BOOL SetupDiGetDeviceInterfaceDetailA(ProcAddress entry, HDEVINFO set,
                                          DeviceInterfaceData* data, void* detail, DWORD detailSize,
                                          DWORD* requiredSize) override {
        return inner_.SetupDiGetDeviceInterfaceDetailA(entry, set, data, detail, detailSize,
                                                       requiredSize);
    }
    BOOL SetupDiDestroyDeviceInfoList(ProcAddress entry, HDEVINFO set) override {
        return inner_.SetupDiDestroyDeviceInfoList(entry, set);
    }
    BOOL GetVersionExA(ProcAddress entry, OsVersionInfo* info) override {
        return inner_.GetVersionExA(entry, info);
    }
    BOOL WinUsb_Initialize(ProcAddress entry, HANDLE file, WinUsbHandle* handle) override {
        return inner_.WinUsb_Initialize(entry, file, handle);
    }
    BOOL WinUsb_Free(ProcAddress entry, WinUsbHandle handle) override {
        return inner_.WinUsb_Free(entry, handle);
    }
    BOOL WinUsb_QueryInterfaceSettings(ProcAddress entry, WinUsbHandle handle,
                                       std::uint8_t alternate,
                                       UsbInterfaceDescriptor* descriptor) override {
        return inner_.WinUsb_QueryInterfaceSettings(entry, handle, alternate, descriptor);
    }
    BOOL WinUsb_QueryPipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t alternate,
                          std::uint8_t index, WinUsbPipeInformation* pipe) override {
        return inner_.WinUsb_QueryPipe(entry, handle, alternate, index, pipe);
    }
    BOOL WinUsb_SetPipePolicy(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe,
                              DWORD policy, DWORD length, void* value) override {
        return inner_.WinUsb_SetPipePolicy(entry, handle, pipe, policy, length, value);
    }
    BOOL WinUsb_ControlTransfer(ProcAddress entry, WinUsbHandle handle, WinUsbSetupPacket setup,
                                std::uint8_t* buffer, DWORD length, DWORD* transferred) override {
        return inner_.WinUsb_ControlTransfer(entry, handle, setup, buffer, length, transferred);
    }
    BOOL WinUsb_WritePipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe,
                          std::uint8_t* buffer, DWORD length, DWORD* transferred) override {
        return inner_.WinUsb_WritePipe(entry, handle, pipe, buffer, length, transferred);
    }
    BOOL WinUsb_ReadPipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe,
                         std::uint8_t* buffer, DWORD length, DWORD* transferred) override {
        return inner_.WinUsb_ReadPipe(entry, handle, pipe, buffer, length, transferred);
    }
    BOOL WinUsb_ResetPipe(ProcAddress entry, WinUsbHandle handle, std::uint8_t pipe) override {
        return inner_.WinUsb_ResetPipe(entry, handle, pipe);
    }

protected:
    OsPort& Inner() { return inner_; }

private:
    OsPort& inner_;
};

} // namespace flashwell::platform
