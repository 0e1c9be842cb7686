// The Windows calls that device access makes, answered straight over USB through libusb: the
// host above runs unchanged, but needs no board driver. Boards and controllers in boot state
// appear as device interfaces of the board class with device paths of the driver's form; the
// driver's I/O control requests become control and bulk transfers (usb_route.h maps them; this
// port is the libusb transport underneath).
#pragma once

#include "platform/os_port.h"
#include "platform/usb/usb_route.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct libusb_context;
struct libusb_device_handle;

namespace flashwell::platform::usb {

struct UsbOptions {
    // Bulk transfers: long enough for a flash block's answer, short enough that a board that
    // stopped answering is noticed.
    unsigned bulkTimeoutMs = 5000;
    unsigned controlTimeoutMs = 1000;
    // Pipe n is the n-th endpoint of interface 0's active alternate setting, in descriptor
    // order, as the board driver numbers its pipes; an entry here names the endpoint address
    // of a pipe instead.
    std::map<std::uint32_t, std::uint8_t> pipeEndpoints;
    // How the program's pauses pass; the default waits in real time. Tests hand in a virtual
    // clock's advance.
    std::function<void(DWORD)> sleep;
};

// One USB device the backend lists: what the device path is made of.
struct ListedDevice {
    std::uint8_t bus = 0;
    std::vector<std::uint8_t> ports; // port path from the root hub
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::string path; // \\?\usb#vid_1057&pid_1801#1-2.3#{36fc9e60-...}
};

class UsbOsPort final : public OsPort, private UsbTransport {
public:
    // Nothing, with `error` saying why, when libusb cannot be started.
    static std::unique_ptr<UsbOsPort> Create(std::string& error, UsbOptions options = {});
    ~UsbOsPort() override;
    UsbOsPort(const UsbOsPort&) = delete;
    UsbOsPort& operator=(const UsbOsPort&) = delete;

    // The devices present now, in the order the enumeration gives them.
    std::vector<ListedDevice> ListDevices();
    // Device paths that could not be opened for lack of permission since the port was made.
    const std::vector<std::string>& AccessDenied() const { return accessDenied_; }

    DWORD GetSystemDirectoryA(char* buffer, DWORD size) override;
    HMODULE LoadLibraryA(const char* fileName) override;
    ProcAddress GetProcAddress(HMODULE module, const char* name) override;
    BOOL FreeLibrary(HMODULE module) override;
    HANDLE CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                       DWORD creationDisposition, DWORD flagsAndAttributes) override;
    BOOL CloseHandle(HANDLE handle) override;
    BOOL DeviceIoControl(HANDLE device, DWORD code, void* inBuffer, DWORD inSize, void* outBuffer,
                         DWORD outSize, DWORD* bytesReturned) override;
    DWORD GetLastError() override { return lastError_; }
    void SetLastError(DWORD error) override { lastError_ = error; }
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

private:
    struct OpenDevice {
        libusb_device_handle* handle = nullptr;
        std::vector<std::uint8_t> endpoints; // pipe n -> endpoint address
    };

    UsbOsPort(libusb_context* context, UsbOptions options);
    BOOL Fail(DWORD error);
    BOOL Succeed();
    // UsbTransport; a Device is the handle of open_.
    DWORD Control(Device device, const WinUsbSetupPacket& setup, std::uint8_t* data,
                  DWORD& transferred) override;
    std::optional<std::uint8_t> Endpoint(Device device, std::uint32_t n) override;
    DWORD Bulk(Device device, std::uint8_t endpoint, std::uint8_t* data, DWORD size,
               DWORD& transferred) override;

    libusb_context* context_;
    UsbOptions options_;
    DWORD lastError_ = 0;
    MappingOptions mapping_;
    InterfaceSets sets_;
    std::map<HANDLE, OpenDevice> open_;
    HANDLE nextHandle_ = 0x1000;
    std::vector<std::string> accessDenied_;
};

// libusb's error codes as the Windows errors the host's rules expect.
DWORD WindowsErrorFor(int libusbError);

} // namespace flashwell::platform::usb
