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

// This backend's answer to the driver-version request: major 1, minor 0, build 0 of the
// "usb" backend; nothing in the host depends on the numbers.
constexpr std::uint16_t kBackendVersion[3] = {1, 0, 0};

// The EZ-USB controller takes a firmware load of at most one control packet per request.
constexpr std::size_t kLoadChunk = 64;
constexpr std::uint8_t kFirmwareLoadRequest = 0xA0;
// bmRequestType parts (libusb's enumerations do not mix in C++20).
constexpr std::uint8_t kDirectionIn = static_cast<std::uint8_t>(LIBUSB_ENDPOINT_IN);
constexpr std::uint8_t kDirectionOut = static_cast<std::uint8_t>(LIBUSB_ENDPOINT_OUT);
constexpr std::uint8_t kVendorToDevice = static_cast<std::uint8_t>(LIBUSB_REQUEST_TYPE_VENDOR) |
                                         static_cast<std::uint8_t>(LIBUSB_RECIPIENT_DEVICE);

bool SameTextIgnoringCase(const std::string& a, const char* b) {
    const std::size_t n = std::strlen(b);
    if (a.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[a.size() - n + i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::uint32_t Le32(const void* bytes) {
    return wire::GetLE32(static_cast<const std::uint8_t*>(bytes));
}

} // namespace

std::string DevicePathFor(std::uint16_t vendor, std::uint16_t product, std::uint8_t bus,
                          const std::vector<std::uint8_t>& ports) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", vendor, product);
    std::string path = "\\\\?\\usb#";
    path += ids;
    path += '#';
    path += std::to_string(bus);
    path += '-';
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (i > 0) path += '.';
        path += std::to_string(ports[i]);
    }
    if (ports.empty()) path += '0';
    path += "#{36fc9e60-c465-11cf-8056-444553540000}";
    return path;
}

bool IsListedIdentity(std::uint16_t vendor, std::uint16_t product) {
    return (vendor == 0x1057 && (product == 0x1801 || product == 0x1802)) ||
           (vendor == 0x04B4 && product == 0x8613) || (vendor == 0x0547 && product == 0x2131);
}

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
    chunk_.reserve(kLoadChunk);
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

DWORD UsbOsPort::VendorRequest(OpenDevice& device, const std::uint8_t* record, std::uint8_t* data,
                               DWORD size, DWORD& returned) {
    const driver::VendorRequestRecord r = driver::VendorRequestRecord::ReadFrom(record);
    const std::uint8_t request = r.request;
    const std::uint16_t value = r.value, index = r.index, length = r.length;
    const bool in = r.direction != 0;
    // Without a data buffer the record's own data byte is the request's one byte of data.
    std::uint8_t own = r.data;
    std::uint8_t* bytes = data != nullptr && size > 0 ? data : &own;
    const std::uint16_t capacity = data != nullptr && size > 0
                                       ? static_cast<std::uint16_t>(std::min<DWORD>(size, 0xFFFF))
                                       : std::uint16_t{1};
    const std::uint16_t n = std::min(length, capacity);
    const std::uint8_t type = (in ? kDirectionIn : kDirectionOut) | kVendorToDevice;
    const int result = libusb_control_transfer(device.handle, type, request, value, index, bytes, n,
                                               options_.controlTimeoutMs);
    if (result < 0) return WindowsErrorFor(result);
    returned = bytes == data ? static_cast<DWORD>(result) : 0;
    return kErrorSuccess;
}

DWORD UsbOsPort::PipeTransfer(OpenDevice& device, std::uint32_t pipe, bool in, std::uint8_t* data,
                              DWORD size, DWORD& returned) {
    std::uint8_t endpoint = 0;
    if (const auto it = options_.pipeEndpoints.find(pipe); it != options_.pipeEndpoints.end())
        endpoint = it->second;
    else if (pipe < device.endpoints.size())
        endpoint = device.endpoints[pipe];
    else
        return kErrorInvalidParameter;
    if (((endpoint & LIBUSB_ENDPOINT_IN) != 0) != in) return kErrorInvalidParameter;
    int transferred = 0;
    const int result = libusb_bulk_transfer(device.handle, endpoint, data, static_cast<int>(size),
                                            &transferred, options_.bulkTimeoutMs);
    returned = static_cast<DWORD>(std::max(transferred, 0));
    return result < 0 ? WindowsErrorFor(result) : kErrorSuccess;
}

DWORD UsbOsPort::LoadMemory(OpenDevice& device, std::uint16_t address, const std::uint8_t* data,
                            DWORD size) {
    for (DWORD done = 0; done < size;) {
        const DWORD n = std::min<DWORD>(kLoadChunk, size - done);
        chunk_.assign(data + done, data + done + n);
        const int result = libusb_control_transfer(
            device.handle, kDirectionOut | kVendorToDevice, kFirmwareLoadRequest,
            static_cast<std::uint16_t>(address + done), 0, chunk_.data(),
            static_cast<std::uint16_t>(n), options_.controlTimeoutMs);
        if (result < 0) return WindowsErrorFor(result);
        if (static_cast<DWORD>(result) != n) return kErrorGenFailure;
        done += n;
    }
    return kErrorSuccess;
}

BOOL UsbOsPort::DeviceIoControl(HANDLE handle, DWORD code, void* inBuffer, DWORD inSize,
                                void* outBuffer, DWORD outSize, DWORD* bytesReturned) {
    DWORD returned = 0;
    if (bytesReturned != nullptr) *bytesReturned = 0;
    const auto it = open_.find(handle);
    if (it == open_.end()) return Fail(kErrorInvalidHandle);
    OpenDevice& device = it->second;
    auto* out = static_cast<std::uint8_t*>(outBuffer);
    const auto* in = static_cast<const std::uint8_t*>(inBuffer);
    DWORD error = kErrorSuccess;
    switch (code) {
    case driver::ioctl::VendorRequest:
        error = inSize != driver::VendorRequestRecord::kSize || in == nullptr
                    ? kErrorInvalidParameter
                    : VendorRequest(device, in, out, outSize, returned);
        break;
    case driver::ioctl::ReadPipe:
    case driver::ioctl::WritePipe:
        error = inSize != 4 || in == nullptr
                    ? kErrorInvalidParameter
                    : PipeTransfer(device, Le32(in), code == driver::ioctl::ReadPipe, out, outSize,
                                   returned);
        break;
    case driver::ioctl::LoadMemory:
        if (inSize != 2 || in == nullptr || out == nullptr || outSize == 0) {
            error = kErrorInvalidParameter;
        } else {
            error =
                LoadMemory(device, static_cast<std::uint16_t>(in[0] | in[1] << 8), out, outSize);
            if (error == kErrorSuccess) returned = outSize;
        }
        break;
    case driver::ioctl::DriverVersion:
        if (out == nullptr || outSize < 6) {
            error = kErrorInvalidParameter;
        } else {
            for (int i = 0; i < 3; ++i) {
                out[2 * i] = static_cast<std::uint8_t>(kBackendVersion[i]);
                out[2 * i + 1] = static_cast<std::uint8_t>(kBackendVersion[i] >> 8);
            }
            returned = 6;
        }
        break;
    case driver::ioctl::InterfaceVersion:
    case driver::ioctl::BoardInfo:
        // Without them the host keeps the device open and uses the packet forms.
        error = kErrorInvalidParameter;
        break;
    case driver::ioctl::WriteHostRegister:
    case driver::ioctl::HostCommand:
    default:
        error = kErrorInvalidFunction;
        break;
    }
    if (bytesReturned != nullptr) *bytesReturned = returned;
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
    const HDEVINFO set = nextSnapshot_++;
    // Only the board class has interfaces here; the list is read afresh for every snapshot,
    // so re-enumerated and reconnected devices are seen.
    snapshots_[set] = classGuid != nullptr && *classGuid == kBoardClass
                          ? ListDevices()
                          : std::vector<ListedDevice>{};
    Succeed();
    return set;
}

BOOL UsbOsPort::SetupDiEnumDeviceInterfaces(ProcAddress entry, HDEVINFO set, const GUID*,
                                            DWORD memberIndex, DeviceInterfaceData* data) {
    const auto it = snapshots_.find(set);
    if (entry != kEnumInterfaces || it == snapshots_.end() || data == nullptr ||
        data->cbSize != sizeof(DeviceInterfaceData))
        return Fail(kErrorInvalidParameter);
    if (memberIndex >= it->second.size()) return Fail(kErrorNoMoreItems);
    data->InterfaceClassGuid = kBoardClass;
    data->Flags = 1; // SPINT_ACTIVE
    data->Reserved = memberIndex;
    return Succeed();
}

BOOL UsbOsPort::SetupDiGetDeviceInterfaceDetailA(ProcAddress entry, HDEVINFO set,
                                                 DeviceInterfaceData* data, void* detail,
                                                 DWORD detailSize, DWORD* requiredSize) {
    const auto it = snapshots_.find(set);
    if (entry != kInterfaceDetail || it == snapshots_.end() || data == nullptr ||
        data->Reserved >= it->second.size())
        return Fail(kErrorInvalidParameter);
    const std::string& path = it->second[data->Reserved].path;
    const auto needed = static_cast<DWORD>(kInterfaceDetailPathOffset + path.size() + 1);
    if (requiredSize != nullptr) *requiredSize = needed;
    if (detail == nullptr || detailSize < needed) return Fail(kErrorInsufficientBuffer);
    if (Le32(detail) != kInterfaceDetailFixedSize) return Fail(kErrorInvalidParameter);
    std::memcpy(static_cast<char*>(detail) + kInterfaceDetailPathOffset, path.c_str(),
                path.size() + 1);
    return Succeed();
}

BOOL UsbOsPort::SetupDiDestroyDeviceInfoList(ProcAddress entry, HDEVINFO set) {
    if (entry != kDestroyList || snapshots_.erase(set) == 0) return Fail(kErrorInvalidParameter);
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
