// A view of the machine in which only the named places are boards: every other device interface
// is left out of the listing, so the program never opens, loads or resets it. A place is the
// instance part of a device path ("6&2c24ce2e&0&1"; bus and port path "1-2.3" on USB), which
// stays the same while a board re-enumerates under another identity.
#pragma once

#include "platform/forwarding_os_port.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace flashwell::cli {

std::string LowerCase(std::string text);

// The place of a device path; the whole path, lower-cased, when it has no instance part.
std::string PlaceOf(const std::string& devicePath);

// The device paths of the board class as the program would list them, in order, without opening
// any (the board interface, and WinUSB's where the port lists it).
std::vector<std::string> ListDevicePaths(platform::OsPort& os);

// With no places every board is seen, and only the boards in use are noted.
class PlaceFilterOsPort final : public platform::ForwardingOsPort {
public:
    PlaceFilterOsPort(platform::OsPort& inner, std::set<std::string> places)
        : ForwardingOsPort(inner), places_(std::move(places)) {}

    platform::ProcAddress GetProcAddress(platform::HMODULE module, const char* name) override;
    platform::BOOL SetupDiEnumDeviceInterfaces(platform::ProcAddress entry, platform::HDEVINFO set,
                                               const platform::GUID* interfaceClassGuid,
                                               platform::DWORD memberIndex,
                                               platform::DeviceInterfaceData* data) override;
    platform::BOOL SetupDiDestroyDeviceInfoList(platform::ProcAddress entry,
                                                platform::HDEVINFO set) override;
    platform::HANDLE CreateFileA(const char* fileName, platform::DWORD access,
                                 platform::DWORD shareMode, platform::DWORD creationDisposition,
                                 platform::DWORD flagsAndAttributes) override;

    // Boards another program holds: their opens were refused as shared.
    bool InUse() const { return !inUse_.empty(); }
    const std::set<std::string>& InUsePlaces() const { return inUse_; }

private:
    std::string PathOf(platform::HDEVINFO set, platform::DeviceInterfaceData& data);

    std::set<std::string> places_;
    platform::ProcAddress detailEntry_ = 0;
    // Per listing: the members of the inner listing that are named places, in order.
    std::map<platform::HDEVINFO, std::vector<platform::DWORD>> members_;
    std::set<std::string> inUse_;
};

} // namespace flashwell::cli
