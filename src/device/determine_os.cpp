#include "device/determine_os.h"

#include "device/adapter.h"

namespace flashwell::device {

const char* const kWdmWarningText =
    "*** ACHTUNG ***\r\nDiese Treiberversion ben\xF6tigt f\xFCr die korrekte Funktion\r\n"
    "einen installierten Systemtreiber (QV_NTRET.SYS). Dieser Treiber\r\n"
    "ist ein WDM-Treiber und ist nur unter Windows 98SE, Millenium, Windows 2000\r\n"
    "sowie Windows XP lauff\xE4hig.\r\n"
    "Ihr Betriebssystem unterst\xFCtzt keine WDM-Treiber. Bitte fragen Sie\r\n"
    "beim Hersteller nach einer passenden Treiberversion f\xFCr Ihr Betriebssystem\r\n"
    "\r\nOS-Information: ";

namespace {

constexpr std::uint32_t kPlatformWin32Nt = 2;
constexpr int kEnumerationAttempts = 7;

// GetVersionExA is looked up on every call: very old systems lack it.
bool QueryVersion(platform::OsPort& os, platform::OsVersionInfo& info) {
    const platform::HMODULE kernel = os.LoadLibraryA("KERNEL32.DLL");
    if (kernel == 0) return false;
    const platform::ProcAddress entry = os.GetProcAddress(kernel, "GetVersionExA");
    if (entry == 0) return false;
    info = {};
    info.dwOSVersionInfoSize = sizeof(platform::OsVersionInfo);
    return os.GetVersionExA(entry, &info) != 0;
}

} // namespace

bool SupportsWdmDrivers(platform::OsPort& os) {
    platform::OsVersionInfo info{};
    if (!QueryVersion(os, info)) return false;
    switch (info.dwMajorVersion) {
    case 3:
        return false;
    case 4:
        if (info.dwPlatformId == kPlatformWin32Nt) return false;
        if (info.dwMinorVersion == 10) return (info.dwBuildNumber & 0xFFFF) > 1998;
        return info.dwMinorVersion > 10;
    case 5:
    case 6:
    case 7:
    case 8:
    case 9:
        return true;
    default:
        return false;
    }
}

void OsInformation(platform::OsPort& os, std::string& text) {
    platform::OsVersionInfo info{};
    if (!QueryVersion(os, info)) {
        text = "No information availiable";
        return;
    }
    info.szCSDVersion[sizeof info.szCSDVersion - 1] = '\0';
    text = std::string(info.szCSDVersion) + " V " + std::to_string(info.dwMajorVersion) + "." +
           std::to_string(info.dwMinorVersion) + "." + std::to_string(info.dwBuildNumber) +
           " Platform-ID: " + std::to_string(info.dwPlatformId);
}

int CheckDriverSupport(platform::OsPort& os, platform::UiPort& ui) {
    if (!SupportsWdmDrivers(os)) {
        std::string information;
        OsInformation(os, information);
        ui.ShowMessage(platform::MessageKind::Plain, platform::kApplicationTitle,
                       std::string(kWdmWarningText) + information, platform::MessageButtons::Ok);
        return 0;
    }

    char directory[1000] = {};
    const platform::DWORD length = os.GetSystemDirectoryA(directory, sizeof directory);
    if (length == 0 || length >= sizeof directory) return 0;
    const std::string library = std::string(directory) + "\\SETUPAPI.DLL";
    const platform::HMODULE setupApi = os.LoadLibraryA(library.c_str());
    if (setupApi == 0) return 0;

    const platform::ProcAddress getClassDevs = os.GetProcAddress(setupApi, "SetupDiGetClassDevsA");
    platform::ProcAddress enumInterfaces =
        os.GetProcAddress(setupApi, "SetupDiEnumDeviceInterfaces");
    if (enumInterfaces == 0)
        enumInterfaces = os.GetProcAddress(setupApi, "SetupDiEnumInterfaceDevice");
    platform::ProcAddress detail = os.GetProcAddress(setupApi, "SetupDiGetDeviceInterfaceDetailA");
    if (detail == 0) detail = os.GetProcAddress(setupApi, "SetupDiGetInterfaceDeviceDetailA");
    const platform::ProcAddress destroy =
        os.GetProcAddress(setupApi, "SetupDiDestroyDeviceInfoList");
    if (getClassDevs == 0 || enumInterfaces == 0 || detail == 0 || destroy == 0) return 0;

    const platform::GUID guid = BoardInterfaceGuid;
    const platform::HDEVINFO snapshot = os.SetupDiGetClassDevsA(
        getClassDevs, &guid, nullptr, platform::kDigcfPresent | platform::kDigcfDeviceInterface);
    if (snapshot == platform::kInvalidDevInfo || snapshot == 0) return 0;

    // One listed interface is enough to know the driver is at work. With none after seven
    // attempts the snapshot is released all the same, so nothing is left behind.
    for (int member = 0; member < kEnumerationAttempts; ++member) {
        platform::DeviceInterfaceData data{};
        data.cbSize = sizeof data;
        if (os.SetupDiEnumDeviceInterfaces(enumInterfaces, snapshot, &guid,
                                           static_cast<platform::DWORD>(member), &data))
            break;
    }
    os.SetupDiDestroyDeviceInfoList(destroy, snapshot);
    return 0;
}

} // namespace flashwell::device
