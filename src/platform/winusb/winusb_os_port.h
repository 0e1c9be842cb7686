// Boards bound to WinUSB, reached without the board driver: an OS port in front of Windows (the
// real one or the simulated one) that lists them among the board class's interfaces, opens them
// through WinUSB and carries the driver's requests as USB transfers (usb_route.h). Everything
// else, boards of the legacy driver included, passes on to Windows unchanged.
#pragma once

#include "platform/forwarding_os_port.h"
#include "platform/usb/usb_route.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace flashwell::platform::winusb {

struct WinUsbOptions {
    // Only boards bound to WinUSB: the legacy driver's interfaces are not listed.
    bool only = false;
    // The same time-outs as the libusb route, set on every pipe as PIPE_TRANSFER_TIMEOUT.
    DWORD bulkTimeoutMs = 5000;
    DWORD controlTimeoutMs = 1000;
    usb::MappingOptions mapping;
};

class WinUsbOsPort final : public ForwardingOsPort, private usb::UsbTransport {
public:
    WinUsbOsPort(OsPort& windows, WinUsbOptions options = {});
    ~WinUsbOsPort() override;
    WinUsbOsPort(const WinUsbOsPort&) = delete;
    WinUsbOsPort& operator=(const WinUsbOsPort&) = delete;

    // Why boards bound to WinUSB cannot be reached here (winusb.dll or SETUPAPI missing, or
    // incomplete); empty when they can.
    const std::string& Unavailable() const { return unavailable_; }
    // Whether the device path is one this route opens through WinUSB.
    static bool IsWinUsbPath(const std::string& path);

    HDEVINFO SetupDiGetClassDevsA(ProcAddress entry, const GUID* classGuid, const char* enumerator,
                                  DWORD flags) override;
    BOOL SetupDiEnumDeviceInterfaces(ProcAddress entry, HDEVINFO set,
                                     const GUID* interfaceClassGuid, DWORD memberIndex,
                                     DeviceInterfaceData* data) override;
    BOOL SetupDiGetDeviceInterfaceDetailA(ProcAddress entry, HDEVINFO set,
                                          DeviceInterfaceData* data, void* detail, DWORD detailSize,
                                          DWORD* requiredSize) override;
    BOOL SetupDiDestroyDeviceInfoList(ProcAddress entry, HDEVINFO set) override;
    HANDLE CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                       DWORD creationDisposition, DWORD flagsAndAttributes) override;
    BOOL CloseHandle(HANDLE handle) override;
    BOOL DeviceIoControl(HANDLE device, DWORD code, void* inBuffer, DWORD inSize, void* outBuffer,
                         DWORD outSize, DWORD* bytesReturned) override;
    BOOL GetVersionExA(ProcAddress entry, OsVersionInfo* info) override;

private:
    struct Entries {
        ProcAddress getClassDevs = 0, enumInterfaces = 0, interfaceDetail = 0, destroyList = 0;
        ProcAddress initialize = 0, free = 0, querySettings = 0, queryPipe = 0, setPolicy = 0,
                    control = 0, writePipe = 0, readPipe = 0, resetPipe = 0;
    };
    struct OpenDevice {
        HANDLE file = kInvalidHandleValue;
        WinUsbHandle usb = 0;
        std::vector<std::uint8_t> endpoints; // pipe n -> endpoint address
    };
    struct Snapshot {
        HDEVINFO legacy = kInvalidDevInfo; // the legacy driver's own set, passed on
        HDEVINFO own = kInvalidDevInfo;    // the WinUSB interfaces, first
    };

    void Bind();
    std::vector<std::string> ListWinUsbPaths();
    DWORD Open(const std::string& path, OpenDevice& device);
    void Release(OpenDevice& device);
    BOOL Fail(DWORD error);
    BOOL Succeed();

    // usb::UsbTransport; a Device is the handle of open_.
    DWORD Control(Device device, const WinUsbSetupPacket& setup, std::uint8_t* data,
                  DWORD& transferred) override;
    std::optional<std::uint8_t> Endpoint(Device device, std::uint32_t n) override;
    DWORD Bulk(Device device, std::uint8_t endpoint, std::uint8_t* data, DWORD size,
               DWORD& transferred) override;
    // WinUSB's error after a failed call, as the Windows errors the host's rules expect.
    DWORD LastTransferError();

    WinUsbOptions options_;
    Entries entries_;
    HMODULE setupApi_ = 0;
    HMODULE winUsb_ = 0;
    std::string unavailable_;
    usb::InterfaceSets sets_;
    std::map<HDEVINFO, Snapshot> snapshots_;
    HDEVINFO nextSnapshot_ = 0x3A70;
    std::map<HANDLE, OpenDevice> open_;
    HANDLE nextHandle_ = 0x3B00;
    // The board the host opened last was reached through WinUSB: the operating-system check,
    // which is about the legacy driver, does not concern it.
    bool lastOpenedWinUsb_ = false;
};

} // namespace flashwell::platform::winusb
