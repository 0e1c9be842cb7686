// Host-side shortcuts for driving the simulated Windows the way the tool does.
#pragma once

#include "sim/board_driver.h"
#include "sim/sim_world.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace flashwell::sim::testing {

inline constexpr platform::DWORD kOpenAccess = platform::kGenericRead | platform::kGenericWrite;

// The four SetupAPI entry points, bound as the tool binds them.
struct SetupApi {
    platform::HMODULE module = 0;
    platform::ProcAddress getClassDevs = 0, enumInterfaces = 0, getDetail = 0, destroy = 0;

    explicit SetupApi(platform::OsPort& os) {
        char dir[1000];
        os.GetSystemDirectoryA(dir, sizeof dir);
        module = os.LoadLibraryA((std::string(dir) + "\\SETUPAPI.DLL").c_str());
        enumInterfaces = os.GetProcAddress(module, "SetupDiEnumDeviceInterfaces");
        destroy = os.GetProcAddress(module, "SetupDiDestroyDeviceInfoList");
        getClassDevs = os.GetProcAddress(module, "SetupDiGetClassDevsA");
        getDetail = os.GetProcAddress(module, "SetupDiGetDeviceInterfaceDetailA");
    }
};

// Device paths of a fresh snapshot, in list order.
inline std::vector<std::string> ListPaths(platform::OsPort& os, const SetupApi& api) {
    std::vector<std::string> paths;
    const platform::HDEVINFO set =
        os.SetupDiGetClassDevsA(api.getClassDevs, &kBoardInterfaceGuid, nullptr, 0x12);
    for (platform::DWORD i = 0;; ++i) {
        platform::DeviceInterfaceData data{};
        data.cbSize = sizeof data;
        if (!os.SetupDiEnumDeviceInterfaces(api.enumInterfaces, set, &kBoardInterfaceGuid, i,
                                            &data))
            break;
        platform::DWORD required = 0;
        os.SetupDiGetDeviceInterfaceDetailA(api.getDetail, set, &data, nullptr, 0, &required);
        std::vector<char> detail(required);
        const platform::DWORD fixed = platform::kInterfaceDetailFixedSize;
        std::memcpy(detail.data(), &fixed, sizeof fixed);
        os.SetupDiGetDeviceInterfaceDetailA(api.getDetail, set, &data, detail.data(), required,
                                            nullptr);
        paths.emplace_back(detail.data() + platform::kInterfaceDetailPathOffset);
    }
    os.SetupDiDestroyDeviceInfoList(api.destroy, set);
    return paths;
}

inline platform::HANDLE Open(platform::OsPort& os, const std::string& name) {
    return os.CreateFileA(name.c_str(), kOpenAccess, 0, platform::kOpenExisting, 0);
}

// Pipe requests as the tool sends them.
inline bool WritePipe(platform::OsPort& os, platform::HANDLE h, std::vector<std::uint8_t> data) {
    std::uint32_t pipe = 0;
    platform::DWORD n = 0;
    return os.DeviceIoControl(h, kIoctlPipeWrite, &pipe, 4, data.data(),
                              static_cast<platform::DWORD>(data.size()), &n) != 0;
}

inline std::vector<std::uint8_t> ReadPipe(platform::OsPort& os, platform::HANDLE h,
                                          std::size_t length) {
    std::uint32_t pipe = 1;
    std::vector<std::uint8_t> buffer(length);
    platform::DWORD n = 0;
    if (!os.DeviceIoControl(h, kIoctlPipeRead, &pipe, 4, buffer.data(),
                            static_cast<platform::DWORD>(length), &n))
        return {};
    buffer.resize(n);
    return buffer;
}

inline std::vector<std::uint8_t> Le32Bytes(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

} // namespace flashwell::sim::testing
