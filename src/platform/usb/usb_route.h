// What every route that stands in for the board driver over USB shares: the driver's I/O
// control requests turned into USB transfers, and the board class's interface list that SetupAPI
// would give. Each route is then only a transport underneath (libusb, WinUSB).
//
// Request mapping (docs/usb-backend.md has the details and the time-outs):
//   0x222014 vendor request      -> control transfer from the 10-byte record
//   0x22204E / 0x222051 pipe I/O -> bulk transfer on the pipe's endpoint
//   0x22206D memory load         -> vendor request 0xA0 at the address, in 64-byte chunks
//   0x222074 driver version      -> the route's own version words
//   0x222E00, 0x222258           -> refused with 87 (the host then uses the packet forms)
//   0x222E08, 0x222E28           -> refused with 1
#pragma once

#include "platform/os_port.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace flashwell::platform::usb {

// One opened device as a route's transport reaches it.
class UsbTransport {
public:
    using Device = std::uintptr_t;
    virtual ~UsbTransport() = default;
    // A control transfer of `setup` with its data stage in `data` (setup.Length bytes); the
    // Windows error, 0 when it went through.
    virtual DWORD Control(Device device, const WinUsbSetupPacket& setup, std::uint8_t* data,
                          DWORD& transferred) = 0;
    // The endpoint address of the device's n-th endpoint of interface 0, in descriptor order,
    // as the board driver numbers its pipes.
    virtual std::optional<std::uint8_t> Endpoint(Device device, std::uint32_t n) = 0;
    virtual DWORD Bulk(Device device, std::uint8_t endpoint, std::uint8_t* data, DWORD size,
                       DWORD& transferred) = 0;
};

struct MappingOptions {
    // An entry names the endpoint address of a pipe instead of its place in the descriptors,
    // for a firmware whose descriptors list its endpoints in another order.
    std::map<std::uint32_t, std::uint8_t> pipeEndpoints;
};

// The driver's request `code` carried out on `device`; returns the Windows error (0: done).
DWORD MapIoControl(UsbTransport& transport, UsbTransport::Device device,
                   const MappingOptions& options, DWORD code, const std::uint8_t* in, DWORD inSize,
                   std::uint8_t* out, DWORD outSize, DWORD& returned);

// Device paths of the driver's form, for a device at this bus and port path.
std::string DevicePathFor(std::uint16_t vendor, std::uint16_t product, std::uint8_t bus,
                          const std::vector<std::uint8_t>& ports);
// Whether a device with these identifiers is one of ours: the board, its partner product, or an
// EZ-USB controller in boot state.
bool IsListedIdentity(std::uint16_t vendor, std::uint16_t product);
// The same read off a device path's "vid_XXXX&pid_YYYY" part.
bool IsListedPath(const std::string& path);

// Device-information sets of the board class as a route lists them: each set is the paths of
// one snapshot. A member's Reserved field carries a mark of this list, so that a route that
// also passes on another list's members can tell its own.
class InterfaceSets {
public:
    HDEVINFO Create(std::vector<std::string> paths);
    bool Owns(HDEVINFO set) const { return sets_.count(set) != 0; }
    std::size_t Size(HDEVINFO set) const;
    // Windows errors, 0 on success.
    DWORD Enumerate(HDEVINFO set, DWORD memberIndex, DeviceInterfaceData* data) const;
    bool IsMember(const DeviceInterfaceData& data) const;
    DWORD Detail(HDEVINFO set, const DeviceInterfaceData* data, void* detail, DWORD detailSize,
                 DWORD* requiredSize) const;
    bool Destroy(HDEVINFO set) { return sets_.erase(set) != 0; }

private:
    std::map<HDEVINFO, std::vector<std::string>> sets_;
    HDEVINFO next_ = 0x5E70;
};

// Whether `name` ends in `suffix`, ignoring case, as Windows compares device paths.
bool EndsWithIgnoringCase(const std::string& name, const char* suffix);

} // namespace flashwell::platform::usb
