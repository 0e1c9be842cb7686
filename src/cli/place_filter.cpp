#include "cli/place_filter.h"

#include "platform/driver_interface.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace flashwell::cli {

using namespace platform;

namespace {

// The device path of one member of a listing; empty when it cannot be had.
std::string DetailPath(OsPort& os, ProcAddress entry, HDEVINFO set, DeviceInterfaceData& data) {
    DWORD required = 0;
    os.SetupDiGetDeviceInterfaceDetailA(entry, set, &data, nullptr, 0, &required);
    if (required <= kInterfaceDetailPathOffset || required > 64 * 1024) return {};
    std::vector<std::uint8_t> detail(required + 1, 0);
    const DWORD fixedSize = kInterfaceDetailFixedSize;
    std::memcpy(detail.data(), &fixedSize, sizeof fixedSize);
    if (!os.SetupDiGetDeviceInterfaceDetailA(entry, set, &data, detail.data(), required, nullptr))
        return {};
    const char* text = reinterpret_cast<const char*>(detail.data() + kInterfaceDetailPathOffset);
    return std::string(text, strnlen(text, required - kInterfaceDetailPathOffset));
}

bool IsDetailName(const char* name) {
    return name != nullptr && (std::strcmp(name, "SetupDiGetDeviceInterfaceDetailA") == 0 ||
                               std::strcmp(name, "SetupDiGetInterfaceDeviceDetailA") == 0);
}

} // namespace

std::string LowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string PlaceOf(const std::string& devicePath) {
    const std::size_t first = devicePath.find('#');
    const std::size_t second =
        first == std::string::npos ? std::string::npos : devicePath.find('#', first + 1);
    const std::size_t third =
        second == std::string::npos ? std::string::npos : devicePath.find('#', second + 1);
    if (third == std::string::npos) return LowerCase(devicePath);
    return LowerCase(devicePath.substr(second + 1, third - second - 1));
}

std::vector<std::string> ListDevicePaths(OsPort& os) {
    std::vector<std::string> paths;
    const HMODULE setupApi = os.LoadLibraryA("SETUPAPI.DLL");
    if (setupApi == 0) return paths;
    const ProcAddress getClassDevs = os.GetProcAddress(setupApi, "SetupDiGetClassDevsA");
    const ProcAddress enumInterfaces = os.GetProcAddress(setupApi, "SetupDiEnumDeviceInterfaces");
    const ProcAddress detail = os.GetProcAddress(setupApi, "SetupDiGetDeviceInterfaceDetailA");
    const ProcAddress destroy = os.GetProcAddress(setupApi, "SetupDiDestroyDeviceInfoList");
    if (getClassDevs != 0 && enumInterfaces != 0 && detail != 0 && destroy != 0) {
        const GUID guid = driver::kBoardInterfaceGuid;
        const HDEVINFO set = os.SetupDiGetClassDevsA(getClassDevs, &guid, nullptr,
                                                     kDigcfPresent | kDigcfDeviceInterface);
        if (set != kInvalidDevInfo && set != 0) {
            for (DWORD member = 0;; ++member) {
                DeviceInterfaceData data{};
                data.cbSize = sizeof(DeviceInterfaceData);
                if (!os.SetupDiEnumDeviceInterfaces(enumInterfaces, set, &guid, member, &data))
                    break;
                paths.push_back(DetailPath(os, detail, set, data));
            }
            os.SetupDiDestroyDeviceInfoList(destroy, set);
        }
    }
    os.FreeLibrary(setupApi);
    return paths;
}

ProcAddress PlaceFilterOsPort::GetProcAddress(HMODULE module, const char* name) {
    const ProcAddress entry = ForwardingOsPort::GetProcAddress(module, name);
    if (IsDetailName(name) && entry != 0) detailEntry_ = entry;
    return entry;
}

std::string PlaceFilterOsPort::PathOf(HDEVINFO set, DeviceInterfaceData& data) {
    return DetailPath(*this, detailEntry_, set, data);
}

BOOL PlaceFilterOsPort::SetupDiEnumDeviceInterfaces(ProcAddress entry, HDEVINFO set,
                                                    const GUID* interfaceClassGuid,
                                                    DWORD memberIndex, DeviceInterfaceData* data) {
    if (data == nullptr || detailEntry_ == 0 || places_.empty())
        return ForwardingOsPort::SetupDiEnumDeviceInterfaces(entry, set, interfaceClassGuid,
                                                             memberIndex, data);
    auto known = members_.find(set);
    if (known == members_.end()) {
        // The listing as the program will see it, worked out once per listing.
        std::vector<DWORD> members;
        for (DWORD member = 0;; ++member) {
            DeviceInterfaceData probe{};
            probe.cbSize = data->cbSize;
            if (!ForwardingOsPort::SetupDiEnumDeviceInterfaces(entry, set, interfaceClassGuid,
                                                               member, &probe))
                break;
            if (places_.count(PlaceOf(PathOf(set, probe))) != 0) members.push_back(member);
        }
        known = members_.emplace(set, std::move(members)).first;
    }
    if (memberIndex >= known->second.size()) {
        SetLastError(kErrorNoMoreItems);
        return 0;
    }
    return ForwardingOsPort::SetupDiEnumDeviceInterfaces(entry, set, interfaceClassGuid,
                                                         known->second[memberIndex], data);
}

BOOL PlaceFilterOsPort::SetupDiDestroyDeviceInfoList(ProcAddress entry, HDEVINFO set) {
    members_.erase(set);
    return ForwardingOsPort::SetupDiDestroyDeviceInfoList(entry, set);
}

HANDLE PlaceFilterOsPort::CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                                      DWORD creationDisposition, DWORD flagsAndAttributes) {
    // Nothing outside the named places is opened; the driver's numbered names ("\\.\OV4USB-0")
    // count boards the view does not show, so they could name another board.
    if (fileName == nullptr || (!places_.empty() && places_.count(PlaceOf(fileName)) == 0)) {
        SetLastError(kErrorFileNotFound);
        return kInvalidHandleValue;
    }
    const HANDLE handle = ForwardingOsPort::CreateFileA(fileName, access, shareMode,
                                                        creationDisposition, flagsAndAttributes);
    if (handle == kInvalidHandleValue) {
        const DWORD error = GetLastError();
        if (error == kErrorSharingViolation || error == kErrorAccessDenied)
            inUse_.insert(PlaceOf(fileName));
        SetLastError(error);
    }
    return handle;
}

} // namespace flashwell::cli
