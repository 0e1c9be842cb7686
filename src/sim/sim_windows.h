// The Windows the host code runs on when it does not run on Windows: libraries, SetupAPI, file
// handles, the board driver's devices, the debug output and the clock.
#pragma once

#include "platform/os_port.h"
#include "sim/traffic_recorder.h"
#include "sim/virtual_clock.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flashwell::sim {

class Board;

struct SetupApiConfig {
    bool present = true;
    // Exports the old names "SetupDiEnumInterfaceDevice" and "SetupDiGetInterfaceDeviceDetailA"
    // instead of "SetupDiEnumDeviceInterfaces" and "SetupDiGetDeviceInterfaceDetailA".
    bool fallbackNamesOnly = false;
    // Entry point names this SETUPAPI does not export.
    std::vector<std::string> missingExports;
};

platform::OsVersionInfo WindowsXpSp2();

struct WindowsConfig {
    std::string systemDirectory = "C:\\WINDOWS\\system32";
    // GetSystemDirectoryA fails with this error (0: it works).
    platform::DWORD systemDirectoryError = 0;
    SetupApiConfig setupApi;
    bool kernelExportsGetVersionEx = true;
    // GetVersionExA fails with this error (0: it works).
    platform::DWORD getVersionExError = 0;
    platform::OsVersionInfo version = WindowsXpSp2();
    // What an open of a device that is already open fails with: the driver opens exclusively.
    platform::DWORD busyOpenError = platform::kErrorAccessDenied;
    // WINUSB.DLL is in the system directory (as on every Windows from Vista on).
    bool winUsbPresent = true;
};

struct DebugLine {
    std::uint64_t timeMs;
    std::string text;
};

// Every call that can fail sets the last error, to 0 when it succeeds; GetLastError,
// SetLastError, OutputDebugStringA, Sleep and GetLocalTime leave it alone. Every call except the
// last-error pair, GetSystemDirectoryA and GetLocalTime is recorded.
class SimWindows final : public platform::OsPort {
public:
    SimWindows(VirtualClock& clock, TrafficRecorder& recorder, WindowsConfig config = {});
    // Windows as it is now (libraries, device nodes, handles, last error, debug output), on
    // another clock and recorder, with its device nodes on the boards `boardFor` names for the
    // present ones. No poller and no observer: whoever makes the copy sets its own.
    SimWindows(const SimWindows& other, VirtualClock& clock, TrafficRecorder& recorder,
               const std::function<Board&(const Board&)>& boardFor);
    // The same into a Windows that exists already, keeping its clock, recorder, poller and
    // observer.
    void Assign(const SimWindows& other, const std::function<Board&(const Board&)>& boardFor);
    SimWindows(const SimWindows&) = delete;
    SimWindows& operator=(const SimWindows&) = delete;
    ~SimWindows() override;

    WindowsConfig& Config() { return config_; }
    // Run at the start of every device-related call and of Sleep, so that what the devices do
    // in their own time (re-enumerating, writing flash) has happened when the host looks.
    void SetPoller(std::function<void()> poller) { poller_ = std::move(poller); }

    // Device nodes. Attach makes the board's device interface present (appending it to the
    // interface list the first time this board shows up under this device path, keeping its
    // place afterwards); Detach removes it, and requests on handles still open on it fail with
    // `error` from then on.
    void Attach(Board& board);
    void Detach(Board& board, platform::DWORD error = platform::kErrorDeviceNotConnected);
    bool IsAttached(const Board& board) const;
    // Open handles on the board's present device node.
    std::size_t OpenHandleCount(const Board& board) const;
    std::size_t OpenHandleCount() const { return handles_.size(); }

    // Inspection for tests.
    std::size_t LiveSnapshots() const { return snapshots_.size(); }
    // Outstanding LoadLibraryA references of "SETUPAPI.DLL" or "KERNEL32.DLL".
    int LoadCount(const std::string& moduleName) const;
    // SetupAPI and GetVersionExA calls made through an entry point that is not the function's.
    std::size_t BadEntryCalls() const { return badEntryCalls_; }
    const std::vector<DebugLine>& DebugOutput() const { return debug_; }
    std::vector<std::string> DebugTexts() const;

    // Called before every DeviceIoControl with its number (from 0) and code: the place to make
    // a device vanish or a request fail at an exact point of a run.
    using IoControlObserver = std::function<void(std::uint64_t index, platform::DWORD code)>;
    void SetIoControlObserver(IoControlObserver observer) {
        ioControlObserver_ = std::move(observer);
    }
    std::uint64_t IoControlCount() const { return ioControlCount_; }

    // platform::OsPort
    platform::DWORD GetSystemDirectoryA(char* buffer, platform::DWORD size) override;
    platform::HMODULE LoadLibraryA(const char* fileName) override;
    platform::ProcAddress GetProcAddress(platform::HMODULE module, const char* name) override;
    platform::BOOL FreeLibrary(platform::HMODULE module) override;
    platform::HANDLE CreateFileA(const char* fileName, platform::DWORD access,
                                 platform::DWORD shareMode, platform::DWORD creationDisposition,
                                 platform::DWORD flagsAndAttributes) override;
    platform::BOOL CloseHandle(platform::HANDLE handle) override;
    platform::BOOL DeviceIoControl(platform::HANDLE device, platform::DWORD code, void* inBuffer,
                                   platform::DWORD inSize, void* outBuffer, platform::DWORD outSize,
                                   platform::DWORD* bytesReturned) override;
    platform::DWORD GetLastError() override { return lastError_; }
    void SetLastError(platform::DWORD error) override { lastError_ = error; }
    void OutputDebugStringA(const char* text) override;
    void Sleep(platform::DWORD milliseconds) override;
    platform::LocalTime GetLocalTime() override { return clock_.LocalTimeNow(); }

    platform::HDEVINFO SetupDiGetClassDevsA(platform::ProcAddress entry,
                                            const platform::GUID* classGuid, const char* enumerator,
                                            platform::DWORD flags) override;
    platform::BOOL SetupDiEnumDeviceInterfaces(platform::ProcAddress entry, platform::HDEVINFO set,
                                               const platform::GUID* interfaceClassGuid,
                                               platform::DWORD memberIndex,
                                               platform::DeviceInterfaceData* data) override;
    platform::BOOL SetupDiGetDeviceInterfaceDetailA(platform::ProcAddress entry,
                                                    platform::HDEVINFO set,
                                                    platform::DeviceInterfaceData* data,
                                                    void* detail, platform::DWORD detailSize,
                                                    platform::DWORD* requiredSize) override;
    platform::BOOL SetupDiDestroyDeviceInfoList(platform::ProcAddress entry,
                                                platform::HDEVINFO set) override;
    platform::BOOL GetVersionExA(platform::ProcAddress entry,
                                 platform::OsVersionInfo* info) override;

    // WinUSB (sim_winusb.cpp), for boards bound to it.
    platform::BOOL WinUsb_Initialize(platform::ProcAddress entry, platform::HANDLE file,
                                     platform::WinUsbHandle* handle) override;
    platform::BOOL WinUsb_Free(platform::ProcAddress entry, platform::WinUsbHandle handle) override;
    platform::BOOL WinUsb_QueryInterfaceSettings(platform::ProcAddress entry,
                                                 platform::WinUsbHandle handle,
                                                 std::uint8_t alternate,
                                                 platform::UsbInterfaceDescriptor* out) override;
    platform::BOOL WinUsb_QueryPipe(platform::ProcAddress entry, platform::WinUsbHandle handle,
                                    std::uint8_t alternate, std::uint8_t index,
                                    platform::WinUsbPipeInformation* pipe) override;
    platform::BOOL WinUsb_SetPipePolicy(platform::ProcAddress entry, platform::WinUsbHandle handle,
                                        std::uint8_t pipe, platform::DWORD policy,
                                        platform::DWORD length, void* value) override;
    platform::BOOL WinUsb_ControlTransfer(platform::ProcAddress entry,
                                          platform::WinUsbHandle handle,
                                          platform::WinUsbSetupPacket setup, std::uint8_t* buffer,
                                          platform::DWORD length,
                                          platform::DWORD* transferred) override;
    platform::BOOL WinUsb_WritePipe(platform::ProcAddress entry, platform::WinUsbHandle handle,
                                    std::uint8_t pipe, std::uint8_t* buffer, platform::DWORD length,
                                    platform::DWORD* transferred) override;
    platform::BOOL WinUsb_ReadPipe(platform::ProcAddress entry, platform::WinUsbHandle handle,
                                   std::uint8_t pipe, std::uint8_t* buffer, platform::DWORD length,
                                   platform::DWORD* transferred) override;
    platform::BOOL WinUsb_ResetPipe(platform::ProcAddress entry, platform::WinUsbHandle handle,
                                    std::uint8_t pipe) override;
    // Open WinUSB interface handles, and what the boards refused of their transfers.
    std::size_t WinUsbHandleCount() const { return winUsb_.size(); }
    const std::vector<std::string>& UsbRefusals() const { return usbRefusals_; }

private:
    enum class Function {
        GetClassDevs,
        EnumDeviceInterfaces,
        GetDeviceInterfaceDetail,
        DestroyDeviceInfoList,
        GetVersionEx,
        WinUsbInitialize,
        WinUsbFree,
        WinUsbQueryInterfaceSettings,
        WinUsbQueryPipe,
        WinUsbSetPipePolicy,
        WinUsbControlTransfer,
        WinUsbWritePipe,
        WinUsbReadPipe,
        WinUsbResetPipe,
    };
    struct Module;
    struct Node {
        Board* board;
        std::string path;
        platform::GUID guid;
        bool present = true;
        std::uint32_t generation = 0;
        platform::DWORD goneError = platform::kErrorDeviceNotConnected;
    };
    struct OpenFile {
        std::size_t node;
        std::uint32_t generation;
        std::string name;
        bool overlapped = false;
    };
    // A WinUSB interface handle: on its file, with each pipe's time-out (0: none) and halt.
    struct WinUsbInterface {
        platform::HANDLE file;
        std::map<std::uint8_t, platform::DWORD> timeoutMs;
        std::map<std::uint8_t, bool> halted;
    };
    struct Snapshot {
        std::uint32_t serial;
        std::vector<std::size_t> nodes; // indices into nodes_, in list order
    };

    Module* FindModule(platform::HMODULE module);
    struct ExportList {
        std::array<std::pair<std::string_view, Function>, 9> items{};
        std::size_t count = 0;
        auto begin() const { return items.begin(); }
        auto end() const { return items.begin() + static_cast<std::ptrdiff_t>(count); }
    };
    ExportList Exports(const Module& module) const;
    // True when entry is the loaded entry point of function; counts and reports otherwise.
    bool CheckEntry(platform::ProcAddress entry, Function function);
    bool NodeAlive(const OpenFile& file) const;
    // The interface behind a WinUSB handle, checked as every WinUSB call checks it: the entry
    // point, the handle, and the device still there; nullptr with the last error set otherwise.
    WinUsbInterface* CheckWinUsb(platform::ProcAddress entry, Function function,
                                 platform::WinUsbHandle handle);
    Board* WinUsbBoard(const WinUsbInterface& usb);
    bool IsWinUsbNode(const Node& node) const;
    // A bulk transfer of WinUsb_WritePipe or WinUsb_ReadPipe.
    platform::BOOL WinUsbPipe(platform::ProcAddress entry, Function function,
                              platform::WinUsbHandle handle, std::uint8_t pipe,
                              std::uint8_t* buffer, platform::DWORD length,
                              platform::DWORD* transferred);
    void RecordTransfer(const Board& board, std::uint8_t endpoint, const std::uint8_t* setup,
                        const std::uint8_t* data, std::size_t size, bool ok);
    Snapshot* FindSnapshot(platform::HDEVINFO set);
    platform::BOOL Fail(platform::DWORD error);
    platform::BOOL Succeed();
    void Record(TrafficEvent&& event);
    void Due() {
        if (poller_) poller_();
    }

    VirtualClock& clock_;
    TrafficRecorder& recorder_;
    WindowsConfig config_;
    platform::DWORD lastError_ = 0;
    std::vector<std::unique_ptr<Module>> modules_;
    std::vector<Node> nodes_;
    std::map<platform::HANDLE, OpenFile> handles_;
    platform::HANDLE nextHandle_ = 0x7C;
    std::map<platform::HDEVINFO, Snapshot> snapshots_;
    std::uint32_t nextSnapshot_ = 1;
    std::size_t badEntryCalls_ = 0;
    std::vector<DebugLine> debug_;
    std::function<void()> poller_;
    IoControlObserver ioControlObserver_;
    std::uint64_t ioControlCount_ = 0;
    std::map<platform::WinUsbHandle, WinUsbInterface> winUsb_;
    platform::WinUsbHandle nextWinUsb_ = 0x00A70000;
    std::vector<std::string> usbRefusals_;
};

} // namespace flashwell::sim
