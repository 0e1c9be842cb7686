#include "platform/winusb/winusb_os_port.h"

#include "platform/driver_interface.h"

#include <cstring>

namespace flashwell::platform::winusb {

namespace {

constexpr GUID kBoardClass = driver::kBoardInterfaceGuid;
constexpr GUID kWinUsbClass = driver::kWinUsbInterfaceGuid;
constexpr char kWinUsbClassText[] = "{8c3a1f52-6d2e-4b7a-9e41-2f5c7d90ab13}";
// A snapshot's members beyond this many failed enumerations are not looked for.
constexpr DWORD kMostMembers = 64;

} // namespace

WinUsbOsPort::WinUsbOsPort(OsPort& windows, WinUsbOptions options)
    : ForwardingOsPort(windows), options_(std::move(options)) {
    Bind();
}

WinUsbOsPort::~WinUsbOsPort() {
    for (auto& [handle, device] : open_)
        Release(device);
    if (winUsb_ != 0) Inner().FreeLibrary(winUsb_);
    if (setupApi_ != 0) Inner().FreeLibrary(setupApi_);
}

bool WinUsbOsPort::IsWinUsbPath(const std::string& path) {
    return usb::EndsWithIgnoringCase(path, kWinUsbClassText);
}

BOOL WinUsbOsPort::Fail(DWORD error) {
    Inner().SetLastError(error);
    return 0;
}

BOOL WinUsbOsPort::Succeed() {
    Inner().SetLastError(kErrorSuccess);
    return 1;
}

void WinUsbOsPort::Bind() {
    // Both libraries from the system directory, never from wherever the search path leads.
    char directory[1000];
    const DWORD length = Inner().GetSystemDirectoryA(directory, sizeof directory);
    if (length == 0 || length >= sizeof directory) {
        unavailable_ = "the system directory cannot be found";
        return;
    }
    const std::string system(directory, length);
    setupApi_ = Inner().LoadLibraryA((system + "\\SETUPAPI.DLL").c_str());
    winUsb_ = Inner().LoadLibraryA((system + "\\WINUSB.DLL").c_str());
    if (setupApi_ == 0) {
        unavailable_ = "SETUPAPI.DLL cannot be loaded";
        return;
    }
    if (winUsb_ == 0) {
        unavailable_ = "winusb.dll is not on this Windows";
        return;
    }
    const struct {
        HMODULE module;
        const char* name;
        ProcAddress* entry;
    } wanted[] = {
        {setupApi_, "SetupDiGetClassDevsA", &entries_.getClassDevs},
        {setupApi_, "SetupDiEnumDeviceInterfaces", &entries_.enumInterfaces},
        {setupApi_, "SetupDiGetDeviceInterfaceDetailA", &entries_.interfaceDetail},
        {setupApi_, "SetupDiDestroyDeviceInfoList", &entries_.destroyList},
        {winUsb_, "WinUsb_Initialize", &entries_.initialize},
        {winUsb_, "WinUsb_Free", &entries_.free},
        {winUsb_, "WinUsb_QueryInterfaceSettings", &entries_.querySettings},
        {winUsb_, "WinUsb_QueryPipe", &entries_.queryPipe},
        {winUsb_, "WinUsb_SetPipePolicy", &entries_.setPolicy},
        {winUsb_, "WinUsb_ControlTransfer", &entries_.control},
        {winUsb_, "WinUsb_WritePipe", &entries_.writePipe},
        {winUsb_, "WinUsb_ReadPipe", &entries_.readPipe},
        {winUsb_, "WinUsb_ResetPipe", &entries_.resetPipe},
    };
    for (const auto& w : wanted) {
        *w.entry = Inner().GetProcAddress(w.module, w.name);
        if (*w.entry == 0 && unavailable_.empty())
            unavailable_ = std::string(w.module == winUsb_ ? "winusb.dll" : "SETUPAPI.DLL") +
                           " has no " + w.name;
    }
}

std::vector<std::string> WinUsbOsPort::ListWinUsbPaths() {
    std::vector<std::string> paths;
    if (!unavailable_.empty()) return paths;
    OsPort& os = Inner();
    const HDEVINFO set = os.SetupDiGetClassDevsA(entries_.getClassDevs, &kWinUsbClass, nullptr,
                                                 kDigcfPresent | kDigcfDeviceInterface);
    if (set == kInvalidDevInfo) return paths;
    std::vector<std::uint8_t> detail;
    for (DWORD i = 0; i < kMostMembers; ++i) {
        DeviceInterfaceData data{};
        data.cbSize = sizeof data;
        if (!os.SetupDiEnumDeviceInterfaces(entries_.enumInterfaces, set, &kWinUsbClass, i,
                                            &data)) {
            if (os.GetLastError() == kErrorNoMoreItems) break;
            continue;
        }
        DWORD required = 0;
        os.SetupDiGetDeviceInterfaceDetailA(entries_.interfaceDetail, set, &data, nullptr, 0,
                                            &required);
        if (required <= kInterfaceDetailPathOffset || required > 4096) continue;
        detail.assign(required, 0);
        const DWORD fixed = kInterfaceDetailFixedSize;
        std::memcpy(detail.data(), &fixed, sizeof fixed);
        if (!os.SetupDiGetDeviceInterfaceDetailA(entries_.interfaceDetail, set, &data,
                                                 detail.data(), required, nullptr))
            continue;
        detail.back() = 0;
        std::string path(reinterpret_cast<const char*>(detail.data()) + kInterfaceDetailPathOffset);
        // The INF binds only our four identities, but another INF may reuse the class.
        if (usb::IsListedPath(path)) paths.push_back(std::move(path));
    }
    os.SetupDiDestroyDeviceInfoList(entries_.destroyList, set);
    return paths;
}

// ---- SetupAPI: the board class, WinUSB's interfaces first ----------------------------------

HDEVINFO WinUsbOsPort::SetupDiGetClassDevsA(ProcAddress entry, const GUID* classGuid,
                                            const char* enumerator, DWORD flags) {
    if (classGuid == nullptr || !(*classGuid == kBoardClass))
        return Inner().SetupDiGetClassDevsA(entry, classGuid, enumerator, flags);
    Snapshot snapshot;
    std::vector<std::string> paths = ListWinUsbPaths();
    const bool none = paths.empty();
    snapshot.own = sets_.Create(std::move(paths));
    if (!options_.only) {
        // Last, so that when it fails and WinUSB has nothing, its error is the answer's.
        snapshot.legacy = Inner().SetupDiGetClassDevsA(entry, classGuid, enumerator, flags);
        if (snapshot.legacy == kInvalidDevInfo && none) {
            sets_.Destroy(snapshot.own);
            return kInvalidDevInfo;
        }
    }
    const HDEVINFO set = nextSnapshot_++;
    snapshots_[set] = snapshot;
    Succeed();
    return set;
}

BOOL WinUsbOsPort::SetupDiEnumDeviceInterfaces(ProcAddress entry, HDEVINFO set,
                                               const GUID* interfaceClassGuid, DWORD memberIndex,
                                               DeviceInterfaceData* data) {
    const auto it = snapshots_.find(set);
    if (it == snapshots_.end())
        return Inner().SetupDiEnumDeviceInterfaces(entry, set, interfaceClassGuid, memberIndex,
                                                   data);
    const auto own = static_cast<DWORD>(sets_.Size(it->second.own));
    if (memberIndex < own) {
        const DWORD error = sets_.Enumerate(it->second.own, memberIndex, data);
        return error == kErrorSuccess ? Succeed() : Fail(error);
    }
    if (it->second.legacy == kInvalidDevInfo) return Fail(kErrorNoMoreItems);
    return Inner().SetupDiEnumDeviceInterfaces(entry, it->second.legacy, interfaceClassGuid,
                                               memberIndex - own, data);
}

BOOL WinUsbOsPort::SetupDiGetDeviceInterfaceDetailA(ProcAddress entry, HDEVINFO set,
                                                    DeviceInterfaceData* data, void* detail,
                                                    DWORD detailSize, DWORD* requiredSize) {
    const auto it = snapshots_.find(set);
    if (it == snapshots_.end())
        return Inner().SetupDiGetDeviceInterfaceDetailA(entry, set, data, detail, detailSize,
                                                        requiredSize);
    if (data != nullptr && sets_.IsMember(*data)) {
        const DWORD error = sets_.Detail(it->second.own, data, detail, detailSize, requiredSize);
        return error == kErrorSuccess ? Succeed() : Fail(error);
    }
    if (it->second.legacy == kInvalidDevInfo) return Fail(kErrorInvalidParameter);
    return Inner().SetupDiGetDeviceInterfaceDetailA(entry, it->second.legacy, data, detail,
                                                    detailSize, requiredSize);
}

BOOL WinUsbOsPort::SetupDiDestroyDeviceInfoList(ProcAddress entry, HDEVINFO set) {
    const auto it = snapshots_.find(set);
    if (it == snapshots_.end()) return Inner().SetupDiDestroyDeviceInfoList(entry, set);
    BOOL ok = 1;
    if (it->second.legacy != kInvalidDevInfo)
        ok = Inner().SetupDiDestroyDeviceInfoList(entry, it->second.legacy);
    sets_.Destroy(it->second.own);
    snapshots_.erase(it);
    return ok != 0 ? Succeed() : 0;
}

// ---- Devices -------------------------------------------------------------------------------

HANDLE WinUsbOsPort::CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                                 DWORD creationDisposition, DWORD flagsAndAttributes) {
    const std::string name = fileName != nullptr ? fileName : "";
    if (!IsWinUsbPath(name)) {
        lastOpenedWinUsb_ = false;
        return Inner().CreateFileA(fileName, access, shareMode, creationDisposition,
                                   flagsAndAttributes);
    }
    lastOpenedWinUsb_ = true;
    if (!unavailable_.empty()) {
        Fail(kErrorFileNotFound);
        return kInvalidHandleValue;
    }
    if (access != (kGenericRead | kGenericWrite) || creationDisposition != kOpenExisting) {
        Fail(kErrorInvalidParameter);
        return kInvalidHandleValue;
    }
    OpenDevice device;
    // The host asks for an exclusive handle; WinUSB wants it overlapped on top.
    device.file = Inner().CreateFileA(fileName, access, shareMode, kOpenExisting,
                                      kFileAttributeNormal | kFileFlagOverlapped);
    if (device.file == kInvalidHandleValue) return kInvalidHandleValue;
    const DWORD error = Open(name, device);
    if (error != kErrorSuccess) {
        Release(device);
        Fail(error);
        return kInvalidHandleValue;
    }
    const HANDLE handle = nextHandle_;
    nextHandle_ += 4;
    open_[handle] = std::move(device);
    Succeed();
    return handle;
}

DWORD WinUsbOsPort::Open(const std::string&, OpenDevice& device) {
    OsPort& os = Inner();
    if (!os.WinUsb_Initialize(entries_.initialize, device.file, &device.usb)) {
        device.usb = 0;
        return os.GetLastError();
    }
    UsbInterfaceDescriptor setting{};
    if (!os.WinUsb_QueryInterfaceSettings(entries_.querySettings, device.usb, 0, &setting))
        return os.GetLastError();
    DWORD timeout = options_.controlTimeoutMs;
    if (!os.WinUsb_SetPipePolicy(entries_.setPolicy, device.usb, 0, kPipeTransferTimeout,
                                 sizeof timeout, &timeout))
        return os.GetLastError();
    for (std::uint8_t i = 0; i < setting.bNumEndpoints; ++i) {
        WinUsbPipeInformation pipe{};
        if (!os.WinUsb_QueryPipe(entries_.queryPipe, device.usb, 0, i, &pipe))
            return os.GetLastError();
        device.endpoints.push_back(pipe.PipeId);
        timeout = options_.bulkTimeoutMs;
        if (!os.WinUsb_SetPipePolicy(entries_.setPolicy, device.usb, pipe.PipeId,
                                     kPipeTransferTimeout, sizeof timeout, &timeout))
            return os.GetLastError();
    }
    return kErrorSuccess;
}

void WinUsbOsPort::Release(OpenDevice& device) {
    if (device.usb != 0) Inner().WinUsb_Free(entries_.free, device.usb);
    if (device.file != kInvalidHandleValue) Inner().CloseHandle(device.file);
    device.usb = 0;
    device.file = kInvalidHandleValue;
}

BOOL WinUsbOsPort::CloseHandle(HANDLE handle) {
    const auto it = open_.find(handle);
    if (it == open_.end()) return Inner().CloseHandle(handle);
    Release(it->second);
    open_.erase(it);
    return Succeed();
}

BOOL WinUsbOsPort::DeviceIoControl(HANDLE handle, DWORD code, void* inBuffer, DWORD inSize,
                                   void* outBuffer, DWORD outSize, DWORD* bytesReturned) {
    if (open_.count(handle) == 0)
        return Inner().DeviceIoControl(handle, code, inBuffer, inSize, outBuffer, outSize,
                                       bytesReturned);
    DWORD returned = 0;
    const DWORD error = usb::MapIoControl(*this, handle, options_.mapping, code,
                                          static_cast<const std::uint8_t*>(inBuffer), inSize,
                                          static_cast<std::uint8_t*>(outBuffer), outSize, returned);
    if (bytesReturned != nullptr) *bytesReturned = error == kErrorSuccess ? returned : 0;
    return error == kErrorSuccess ? Succeed() : Fail(error);
}

DWORD WinUsbOsPort::LastTransferError() {
    switch (const DWORD error = Inner().GetLastError()) {
    // What an unplugged device's calls fail with: the documentation names none, and each of
    // these is seen; all mean the board is gone.
    case kErrorBadCommand:
    case kErrorGenFailure:
    case kErrorDeviceNotConnected:
    case kErrorFileNotFound:
        return kErrorDeviceNotConnected;
    case kErrorBusy:
    case kErrorInvalidParameter:
        return error;
    default: // a time-out (ERROR_SEM_TIMEOUT), an aborted transfer: the board stopped answering
        return kErrorGenFailure;
    }
}

DWORD WinUsbOsPort::Control(Device device, const WinUsbSetupPacket& setup, std::uint8_t* data,
                            DWORD& transferred) {
    DWORD done = 0;
    if (!Inner().WinUsb_ControlTransfer(entries_.control, open_.at(device).usb, setup, data,
                                        setup.Length, &done))
        return LastTransferError();
    transferred = done;
    return kErrorSuccess;
}

std::optional<std::uint8_t> WinUsbOsPort::Endpoint(Device device, std::uint32_t n) {
    const OpenDevice& open = open_.at(device);
    if (n >= open.endpoints.size()) return std::nullopt;
    return open.endpoints[n];
}

DWORD WinUsbOsPort::Bulk(Device device, std::uint8_t endpoint, std::uint8_t* data, DWORD size,
                         DWORD& transferred) {
    const WinUsbHandle usb = open_.at(device).usb;
    DWORD done = 0;
    const BOOL ok =
        (endpoint & 0x80) != 0
            ? Inner().WinUsb_ReadPipe(entries_.readPipe, usb, endpoint, data, size, &done)
            : Inner().WinUsb_WritePipe(entries_.writePipe, usb, endpoint, data, size, &done);
    transferred = done;
    if (ok) return kErrorSuccess;
    const DWORD error = LastTransferError();
    // A stalled endpoint fails every transfer until its pipe is reset; the host's next attempt
    // (after it opens the board again) must find it working.
    Inner().WinUsb_ResetPipe(entries_.resetPipe, usb, endpoint);
    return error;
}

BOOL WinUsbOsPort::GetVersionExA(ProcAddress entry, OsVersionInfo* info) {
    const BOOL ok = Inner().GetVersionExA(entry, info);
    if (ok && info != nullptr && (options_.only || lastOpenedWinUsb_)) {
        // The check of the systems the legacy driver runs on does not concern a board reached
        // through WinUSB: the route answers as the newest of them, as the libusb route does.
        info->dwMajorVersion = 5;
        info->dwMinorVersion = 1;
        info->dwPlatformId = 2;
    }
    return ok;
}

} // namespace flashwell::platform::winusb
