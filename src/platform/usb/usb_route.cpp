#include "platform/usb/usb_route.h"

#include "platform/driver_interface.h"
#include "platform/wire.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace flashwell::platform::usb {

namespace {

// The route's answer to the driver-version request; nothing in the host depends on the numbers.
constexpr std::uint16_t kRouteVersion[3] = {1, 0, 0};

// The EZ-USB controller takes a firmware load of at most one control packet per request.
constexpr std::size_t kLoadChunk = 64;
constexpr std::uint8_t kFirmwareLoadRequest = 0xA0;
// bmRequestType: vendor request to the device, with the direction bit.
constexpr std::uint8_t kVendorToDevice = 0x40;
constexpr std::uint8_t kDirectionIn = 0x80;
constexpr std::uintptr_t kMemberMark = 0x5E7A0000;

DWORD VendorRequest(UsbTransport& transport, UsbTransport::Device device,
                    const std::uint8_t* record, std::uint8_t* data, DWORD size, DWORD& returned) {
    const driver::VendorRequestRecord r = driver::VendorRequestRecord::ReadFrom(record);
    // Without a data buffer the record's own data byte is the request's one byte of data.
    std::uint8_t own = r.data;
    std::uint8_t* bytes = data != nullptr && size > 0 ? data : &own;
    const std::uint16_t capacity = data != nullptr && size > 0
                                       ? static_cast<std::uint16_t>(std::min<DWORD>(size, 0xFFFF))
                                       : std::uint16_t{1};
    WinUsbSetupPacket setup{};
    setup.RequestType =
        static_cast<std::uint8_t>(kVendorToDevice | (r.direction != 0 ? kDirectionIn : 0));
    setup.Request = r.request;
    setup.Value = r.value;
    setup.Index = r.index;
    setup.Length = std::min(r.length, capacity);
    DWORD transferred = 0;
    const DWORD error = transport.Control(device, setup, bytes, transferred);
    if (error != kErrorSuccess) return error;
    returned = bytes == data ? transferred : 0;
    return kErrorSuccess;
}

DWORD PipeTransfer(UsbTransport& transport, UsbTransport::Device device,
                   const MappingOptions& options, std::uint32_t pipe, bool in, std::uint8_t* data,
                   DWORD size, DWORD& returned) {
    std::optional<std::uint8_t> endpoint;
    if (const auto it = options.pipeEndpoints.find(pipe); it != options.pipeEndpoints.end())
        endpoint = it->second;
    else
        endpoint = transport.Endpoint(device, pipe);
    if (!endpoint || ((*endpoint & kDirectionIn) != 0) != in) return kErrorInvalidParameter;
    return transport.Bulk(device, *endpoint, data, size, returned);
}

DWORD LoadMemory(UsbTransport& transport, UsbTransport::Device device, std::uint16_t address,
                 const std::uint8_t* data, DWORD size) {
    std::array<std::uint8_t, kLoadChunk> chunk;
    for (DWORD done = 0; done < size;) {
        const DWORD n = std::min<DWORD>(kLoadChunk, size - done);
        std::memcpy(chunk.data(), data + done, n);
        WinUsbSetupPacket setup{};
        setup.RequestType = kVendorToDevice;
        setup.Request = kFirmwareLoadRequest;
        setup.Value = static_cast<std::uint16_t>(address + done);
        setup.Length = static_cast<std::uint16_t>(n);
        DWORD transferred = 0;
        const DWORD error = transport.Control(device, setup, chunk.data(), transferred);
        if (error != kErrorSuccess) return error;
        if (transferred != n) return kErrorGenFailure;
        done += n;
    }
    return kErrorSuccess;
}

} // namespace

DWORD MapIoControl(UsbTransport& transport, UsbTransport::Device device,
                   const MappingOptions& options, DWORD code, const std::uint8_t* in, DWORD inSize,
                   std::uint8_t* out, DWORD outSize, DWORD& returned) {
    returned = 0;
    switch (code) {
    case driver::ioctl::VendorRequest:
        if (inSize != driver::VendorRequestRecord::kSize || in == nullptr)
            return kErrorInvalidParameter;
        return VendorRequest(transport, device, in, out, outSize, returned);
    case driver::ioctl::ReadPipe:
    case driver::ioctl::WritePipe:
        if (inSize != 4 || in == nullptr) return kErrorInvalidParameter;
        return PipeTransfer(transport, device, options, wire::GetLE32(in),
                            code == driver::ioctl::ReadPipe, out, outSize, returned);
    case driver::ioctl::LoadMemory: {
        if (inSize != 2 || in == nullptr || out == nullptr || outSize == 0)
            return kErrorInvalidParameter;
        const DWORD error = LoadMemory(
            transport, device, static_cast<std::uint16_t>(in[0] | in[1] << 8), out, outSize);
        if (error == kErrorSuccess) returned = outSize;
        return error;
    }
    case driver::ioctl::DriverVersion:
        if (out == nullptr || outSize < 6) return kErrorInvalidParameter;
        for (int i = 0; i < 3; ++i) {
            out[2 * i] = static_cast<std::uint8_t>(kRouteVersion[i]);
            out[2 * i + 1] = static_cast<std::uint8_t>(kRouteVersion[i] >> 8);
        }
        returned = 6;
        return kErrorSuccess;
    case driver::ioctl::InterfaceVersion:
    case driver::ioctl::BoardInfo:
        // Without them the host keeps the device open and uses the packet forms.
        return kErrorInvalidParameter;
    default:
        return kErrorInvalidFunction;
    }
}

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

bool IsListedPath(const std::string& path) {
    std::string lower = path;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = lower.find("vid_");
    if (at == std::string::npos || lower.compare(at + 8, 5, "&pid_") != 0) return false;
    unsigned vendor = 0, product = 0;
    if (std::sscanf(lower.c_str() + at, "vid_%4x&pid_%4x", &vendor, &product) != 2) return false;
    return IsListedIdentity(static_cast<std::uint16_t>(vendor),
                            static_cast<std::uint16_t>(product));
}

bool EndsWithIgnoringCase(const std::string& name, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    if (name.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) !=
            std::tolower(static_cast<unsigned char>(suffix[i])))
            return false;
    return true;
}

HDEVINFO InterfaceSets::Create(std::vector<std::string> paths) {
    const HDEVINFO set = next_++;
    sets_[set] = std::move(paths);
    return set;
}

std::size_t InterfaceSets::Size(HDEVINFO set) const {
    const auto it = sets_.find(set);
    return it == sets_.end() ? 0 : it->second.size();
}

DWORD InterfaceSets::Enumerate(HDEVINFO set, DWORD memberIndex, DeviceInterfaceData* data) const {
    const auto it = sets_.find(set);
    if (it == sets_.end() || data == nullptr || data->cbSize != sizeof(DeviceInterfaceData))
        return kErrorInvalidParameter;
    if (memberIndex >= it->second.size()) return kErrorNoMoreItems;
    data->InterfaceClassGuid = driver::kBoardInterfaceGuid;
    data->Flags = 1; // SPINT_ACTIVE
    data->Reserved = kMemberMark + memberIndex;
    return kErrorSuccess;
}

bool InterfaceSets::IsMember(const DeviceInterfaceData& data) const {
    return data.Reserved >= kMemberMark && data.Reserved < kMemberMark + 0x10000;
}

DWORD InterfaceSets::Detail(HDEVINFO set, const DeviceInterfaceData* data, void* detail,
                            DWORD detailSize, DWORD* requiredSize) const {
    const auto it = sets_.find(set);
    if (it == sets_.end() || data == nullptr || !IsMember(*data) ||
        data->Reserved - kMemberMark >= it->second.size())
        return kErrorInvalidParameter;
    const std::string& path = it->second[data->Reserved - kMemberMark];
    const auto needed = static_cast<DWORD>(kInterfaceDetailPathOffset + path.size() + 1);
    if (requiredSize != nullptr) *requiredSize = needed;
    if (detail == nullptr || detailSize < needed) return kErrorInsufficientBuffer;
    if (wire::GetLE32(static_cast<const std::uint8_t*>(detail)) != kInterfaceDetailFixedSize)
        return kErrorInvalidParameter;
    std::memcpy(static_cast<char*>(detail) + kInterfaceDetailPathOffset, path.c_str(),
                path.size() + 1);
    return kErrorSuccess;
}

} // namespace flashwell::platform::usb
