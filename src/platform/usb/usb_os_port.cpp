#include "platform/usb/usb_os_port.h"

#include "platform/driver_interface.h"
#include "platform/wire.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

namespace flashwell::platform::usb {

namespace {

// The board driver's device interface class, under which the host looks for boards.
constexpr GUID kBoardClass = driver::kBoardInterfaceGuid;

constexpr HMODULE kSetupApiModule = 0x7E100000;
constexpr HMODULE kKernelModule = 0x7C800000;
constexpr ProcAddress kGetClassDevs = kSetupApiModule + 0x10;
constexpr ProcAddress kEnumInterfaces = kSetupApiModule + 0x20;
constexpr ProcAddress kInterfaceDetail = kSetupApiModule + 0x30;
constexpr ProcAddress kDestroyList = kSetupApiModule + 0x40;
constexpr ProcAddress kGetVersionEx = kKernelModule + 0x10;

bool SameTextIgnoringCase(const std::string& a, const char* b) {
    return EndsWithIgnoringCase(a, b);
}

} // namespace

DWORD WindowsErrorFor(int error) {
    switch (error) {
    case LIBUSB_SUCCESS:
        return kErrorSuccess;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return kErrorDeviceNotConnected;
    case LIBUSB_ERROR_BUSY:
        return kErrorBusy;
    case LIBUSB_ERROR_INVALID_PARAM:
        return kErrorInvalidParameter;
    case LIBUSB_ERROR_ACCESS:
        return kErrorAccessDenied;
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return kErrorInvalidFunction;
    default: // a stall, a time-out, an I/O error, an overflow
        return kErrorGenFailure;
    }
}

std::unique_ptr<UsbOsPort> UsbOsPort::Create(std::string& error, UsbOptions options) {
    libusb_context* context = nullptr;
    const int result = libusb_init(&context);
    if (result != LIBUSB_SUCCESS) {
        error = std::string("USB cannot be used: ") + libusb_strerror(result);
        return nullptr;
    }
    return std::unique_ptr<UsbOsPort>(new UsbOsPort(context, std::move(options)));
}

UsbOsPort::UsbOsPort(libusb_context* context, UsbOptions options)
    : context_(context), options_(std::move(options)) {
    mapping_.pipeEndpoints = options_.pipeEndpoints;
}

UsbOsPort::~UsbOsPort() {
    for (auto& [handle, device] : open_) {
        libusb_release_interface(device.handle, 0);
        libusb_close(device.handle);
    }
    libusb_exit(context_);
}

BOOL UsbOsPort::Fail(DWORD error) {
    lastError_ = error;
    return 0;
}

BOOL UsbOsPort::Succeed() {
    lastError_ = kErrorSuccess;
    return 1;
}

std::vector<ListedDevice> UsbOsPort::ListDevices() {
    std::vector<ListedDevice> found;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
        if (!IsListedIdentity(descriptor.idVendor, descriptor.idProduct)) continue;
        ListedDevice d;
        d.bus = libusb_get_bus_number(list[i]);
        std::uint8_t ports[8];
        const int depth = libusb_get_port_numbers(list[i], ports, sizeof ports);
        if (depth > 0) d.ports.assign(ports, ports + depth);
        d.vendor = descriptor.idVendor;
        d.product = descriptor.idProduct;
        d.path = DevicePathFor(d.vendor, d.product, d.bus, d.ports);
        found.push_back(std::move(d));
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
    // A stable order: by bus, then by port path.
    std::sort(found.begin(), found.end(), [](const ListedDevice& a, const ListedDevice& b) {
        return std::tie(a.bus, a.ports) < std::tie(b.bus, b.ports);
    });
    return found;
}

// ---- Kernel -------------------------------------------------------------------------------

DWORD UsbOsPort::GetSystemDirectoryA(char* buffer, DWORD size) {
    static constexpr char kDirectory[] = "C:\\WINDOWS\\system32";
    Succeed();
    if (buffer == nullptr || size < sizeof kDirectory) return sizeof kDirectory;
    std::memcpy(buffer, kDirectory, sizeof kDirectory);
    return sizeof kDirectory - 1;
}

HMODULE UsbOsPort::LoadLibraryA(const char* fileName) {
    const std::string name = fileName != nullptr ? fileName : "";
    if (SameTextIgnoringCase(name, "setupapi.dll") || SameTextIgnoringCase(name, "setupapi")) {
        Succeed();
        return kSetupApiModule;
    }
    if (SameTextIgnoringCase(name, "kernel32.dll") || SameTextIgnoringCase(name, "kernel32")) {
        Succeed();
        return kKernelModule;
    }
    Fail(kErrorModNotFound);
    return 0;
}

ProcAddress UsbOsPort::GetProcAddress(HMODULE module, const char* name) {
    const std::string n = name != nullptr ? name : "";
    ProcAddress entry = 0;
    if (module == kSetupApiModule) {
        if (n == "SetupDiGetClassDevsA") entry = kGetClassDevs;
        if (n == "SetupDiEnumDeviceInterfaces") entry = kEnumInterfaces;
        if (n == "SetupDiGetDeviceInterfaceDetailA") entry = kInterfaceDetail;
        if (n == "SetupDiDestroyDeviceInfoList") entry = kDestroyList;
    } else if (module == kKernelModule && n == "GetVersionExA") {
        entry = kGetVersionEx;
    }
    if (entry == 0)
        Fail(kErrorProcNotFound);
    else
        Succeed();
    return entry;
}

BOOL UsbOsPort::FreeLibrary(HMODULE module) {
    return module == kSetupApiModule || module == kKernelModule ? Succeed()
                                                                : Fail(kErrorModNotFound);
}

HANDLE UsbOsPort::CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                              DWORD creationDisposition, DWORD) {
    const std::string name = fileName != nullptr ? fileName : "";
    if (access != (kGenericRead | kGenericWrite) || shareMode != 0 ||
        creationDisposition != kOpenExisting) {
        Fail(kErrorInvalidParameter);
        return kInvalidHandleValue;
    }
    // The device is looked up afresh: it may have re-enumerated since it was listed.
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    libusb_device* device = nullptr;
    for (ssize_t i = 0; i < count && device == nullptr; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
        std::uint8_t ports[8];
        const int depth = libusb_get_port_numbers(list[i], ports, sizeof ports);
        const std::vector<std::uint8_t> path(ports, ports + std::max(depth, 0));
        if (DevicePathFor(descriptor.idVendor, descriptor.idProduct, libusb_get_bus_number(list[i]),
                          path) == name)
            device = list[i];
    }
    HANDLE result = kInvalidHandleValue;
    if (device == nullptr) {
        Fail(kErrorFileNotFound);
    } else {
        libusb_device_handle* handle = nullptr;
        int error = libusb_open(device, &handle);
        if (error == LIBUSB_SUCCESS) {
            libusb_set_auto_detach_kernel_driver(handle, 1);
            error = libusb_claim_interface(handle, 0);
            if (error != LIBUSB_SUCCESS) {
                libusb_close(handle);
                handle = nullptr;
            }
        }
        if (handle == nullptr && error == LIBUSB_ERROR_ACCESS &&
            std::find(accessDenied_.begin(), accessDenied_.end(), name) == accessDenied_.end())
            accessDenied_.push_back(name);
        if (handle == nullptr) {
            // Another program holding the interface is what an exclusive open meets on
            // Windows: a sharing violation, so the search skips the device.
            Fail(error == LIBUSB_ERROR_BUSY ? kErrorSharingViolation : WindowsErrorFor(error));
        } else {
            OpenDevice open;
            open.handle = handle;
            libusb_config_descriptor* config = nullptr;
            if (libusb_get_active_config_descriptor(device, &config) == LIBUSB_SUCCESS) {
                if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
                    // Interface 0's active setting: the first one, since none is ever chosen.
                    const libusb_interface_descriptor& setting = config->interface[0].altsetting[0];
                    for (int e = 0; e < setting.bNumEndpoints; ++e)
                        open.endpoints.push_back(setting.endpoint[e].bEndpointAddress);
                }
                libusb_free_config_descriptor(config);
            }
            result = nextHandle_;
            nextHandle_ += 4;
            open_[result] = std::move(open);
            Succeed();
        }
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
    return result;
}

BOOL UsbOsPort::CloseHandle(HANDLE handle) {
    const auto it = open_.find(handle);
    if (it == open_.end()) return Fail(kErrorInvalidHandle);
    libusb_release_interface(it->second.handle, 0);
    libusb_close(it->second.handle);
    open_.erase(it);
    return Succeed();
}

DWORD UsbOsPort::Control(Device device, const WinUsbSetupPacket& setup, std::uint8_t* data,
                         DWORD& transferred) {
    const int result = libusb_control_transfer(open_.at(device).handle, setup.RequestType,
                                               setup.Request, setup.Value, setup.Index, data,
                                               setup.Length, options_.controlTimeoutMs);
    if (result < 0) return WindowsErrorFor(result);
    transferred = static_cast<DWORD>(result);
    return kErrorSuccess;
}

std::optional<std::uint8_t> UsbOsPort::Endpoint(Device device, std::uint32_t n) {
    const OpenDevice& open = open_.at(device);
    if (n >= open.endpoints.size()) return std::nullopt;
    return open.endpoints[n];
}

DWORD UsbOsPort::Bulk(Device device, std::uint8_t endpoint, std::uint8_t* data, DWORD size,
                      DWORD& transferred) {
    int done = 0;
    const int result = libusb_bulk_transfer(open_.at(device).handle, endpoint, data,
                                            static_cast<int>(size), &done, options_.bulkTimeoutMs);
    transferred = static_cast<DWORD>(std::max(done, 0));
    return result < 0 ? WindowsErrorFor(result) : kErrorSuccess;
}

BOOL UsbOsPort::DeviceIoControl(HANDLE handle, DWORD code, void* inBuffer, DWORD inSize,
                                void* outBuffer, DWORD outSize, DWORD* bytesReturned) {
    DWORD returned = 0;
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (open_.count(handle) == 0) return Fail(kErrorInvalidHandle);
    const DWORD error =
        MapIoControl(*this, handle, mapping_, code, static_cast<const std::uint8_t*>(inBuffer),
                     inSize, static_cast<std::uint8_t*>(outBuffer), outSize, returned);
    if (bytesReturned != nullptr) *bytesReturned = error == kErrorSuccess ? returned : 0;
    return error == kErrorSuccess ? Succeed() : Fail(error);
}

void UsbOsPort::OutputDebugStringA(const char*) {
    // No debugger listens here; the program's run log keeps these lines.
}

void UsbOsPort::Sleep(DWORD milliseconds) {
    if (options_.sleep) {
        options_.sleep(milliseconds);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

LocalTime UsbOsPort::GetLocalTime() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm parts{};
    localtime_r(&seconds, &parts);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    return LocalTime{static_cast<std::uint16_t>(parts.tm_year + 1900),
                     static_cast<std::uint16_t>(parts.tm_mon + 1),
                     static_cast<std::uint16_t>(parts.tm_wday),
                     static_cast<std::uint16_t>(parts.tm_mday),
                     static_cast<std::uint16_t>(parts.tm_hour),
                     static_cast<std::uint16_t>(parts.tm_min),
                     static_cast<std::uint16_t>(parts.tm_sec),
                     static_cast<std::uint16_t>(ms)};
}

// ---- SetupAPI -----------------------------------------------------------------------------

HDEVINFO UsbOsPort::SetupDiGetClassDevsA(ProcAddress entry, const GUID* classGuid, const char*,
                                         DWORD) {
    if (entry != kGetClassDevs) {
        Fail(kErrorInvalidParameter);
        return kInvalidDevInfo;
    }
    // Only the board class has interfaces here; the list is read afresh for every snapshot,
    // so re-enumerated and reconnected devices are seen.
    std::vector<std::string> paths;
    if (classGuid != nullptr && *classGuid == kBoardClass)
        for (ListedDevice& d : ListDevices())
            paths.push_back(std::move(d.path));
    Succeed();
    return sets_.Create(std::move(paths));
}

BOOL UsbOsPort::SetupDiEnumDeviceInterfaces(ProcAddress entry, HDEVINFO set, const GUID*,
                                            DWORD memberIndex, DeviceInterfaceData* data) {
    if (entry != kEnumInterfaces) return Fail(kErrorInvalidParameter);
    const DWORD error = sets_.Enumerate(set, memberIndex, data);
    return error == kErrorSuccess ? Succeed() : Fail(error);
}

BOOL UsbOsPort::SetupDiGetDeviceInterfaceDetailA(ProcAddress entry, HDEVINFO set,
                                                 DeviceInterfaceData* data, void* detail,
                                                 DWORD detailSize, DWORD* requiredSize) {
    if (entry != kInterfaceDetail) return Fail(kErrorInvalidParameter);
    const DWORD error = sets_.Detail(set, data, detail, detailSize, requiredSize);
    return error == kErrorSuccess ? Succeed() : Fail(error);
}

BOOL UsbOsPort::SetupDiDestroyDeviceInfoList(ProcAddress entry, HDEVINFO set) {
    if (entry != kDestroyList || !sets_.Destroy(set)) return Fail(kErrorInvalidParameter);
    return Succeed();
}

BOOL UsbOsPort::GetVersionExA(ProcAddress entry, OsVersionInfo* info) {
    if (entry != kGetVersionEx || info == nullptr ||
        info->dwOSVersionInfoSize != sizeof(OsVersionInfo))
        return Fail(kErrorInvalidParameter);
    // The backend takes the board driver's place, so the host's check of the systems that
    // driver runs on must pass: it answers as the newest of them.
    info->dwMajorVersion = 5;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 2600;
    info->dwPlatformId = 2;
    std::snprintf(info->szCSDVersion, sizeof info->szCSDVersion, "USB backend");
    return Succeed();
}

} // namespace flashwell::platform::usb
