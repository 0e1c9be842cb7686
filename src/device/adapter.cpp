#include "device/adapter.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace flashwell::device {

namespace {

bool Contains(std::string_view path, std::string_view part) {
    return path.find(part) != std::string_view::npos;
}

bool ContainsAny(std::string_view path, std::initializer_list<std::string_view> parts) {
    return std::any_of(parts.begin(), parts.end(),
                       [&](std::string_view part) { return Contains(path, part); });
}

constexpr DWORD kSystemDirectorySize = 1000;

} // namespace

int ClassifyDevicePath(std::string_view path, int wanted, bool* matched) {
    bool known = false;
    int type = kDeviceNone;
    if (Contains(path, "\\?\\pci#")) {
        if (ContainsAny(path, {"vid_1057&pid_1801", "ven_1057&dev_1801"})) {
            known = true;
            type = wanted == kDevicePci ? kDevicePci : kDeviceNone;
        }
    } else if (Contains(path, "\\?\\usb#")) {
        if (ContainsAny(path, {"vid_1057&pid_1801", "ven_1057&dev_1801"})) {
            known = true;
            type = wanted == kDeviceUsb1801 ? kDeviceUsb1801 : kDeviceNone;
        } else if (ContainsAny(path, {"vid_1057&pid_1802", "ven_1057&dev_1802"})) {
            known = true;
            type = wanted == kDeviceUsb1802 ? kDeviceUsb1802 : kDeviceNone;
        } else if (ContainsAny(path, {"vid_04b4&pid_8613", "ven_04b4&dev_8613", "vid_0547&pid_2131",
                                      "ven_0547&dev_2131"})) {
            known = true;
            type = (wanted == kDeviceUsb1801 || wanted == kDeviceUsb1802) ? kDeviceEzUsbBoot
                                                                          : kDeviceNone;
        }
    }
    if (matched != nullptr) *matched = known;
    return type;
}

TAdapter::TAdapter(platform::OsPort& os) : os_(&os) {
    char directory[kSystemDirectorySize] = {};
    const DWORD length = os_->GetSystemDirectoryA(directory, kSystemDirectorySize);
    if (length == 0 || length >= kSystemDirectorySize) return;

    const std::string library = std::string(directory) + "\\SETUPAPI.DLL";
    SetupApiModule = os_->LoadLibraryA(library.c_str());
    if (SetupApiModule != 0) {
        EnumDeviceInterfaces = os_->GetProcAddress(SetupApiModule, "SetupDiEnumDeviceInterfaces");
        DestroyDeviceInfoList = os_->GetProcAddress(SetupApiModule, "SetupDiDestroyDeviceInfoList");
        GetClassDevs = os_->GetProcAddress(SetupApiModule, "SetupDiGetClassDevsA");
        GetDeviceInterfaceDetail =
            os_->GetProcAddress(SetupApiModule, "SetupDiGetDeviceInterfaceDetailA");
        // Older SETUPAPI versions export these two under their earlier names.
        if (EnumDeviceInterfaces == 0)
            EnumDeviceInterfaces =
                os_->GetProcAddress(SetupApiModule, "SetupDiEnumInterfaceDevice");
        if (GetDeviceInterfaceDetail == 0)
            GetDeviceInterfaceDetail =
                os_->GetProcAddress(SetupApiModule, "SetupDiGetInterfaceDeviceDetailA");
        if (EnumDeviceInterfaces == 0 || DestroyDeviceInfoList == 0 || GetClassDevs == 0 ||
            GetDeviceInterfaceDetail == 0) {
            // Half a binding is worse than none: nothing may call a missing entry point.
            os_->FreeLibrary(SetupApiModule);
            SetupApiModule = 0;
            EnumDeviceInterfaces = DestroyDeviceInfoList = GetClassDevs = GetDeviceInterfaceDetail =
                0;
        }
    }
}

DWORD TAdapter::Open(int boardIndex, int wantedType) {
    if (IsOpen()) {
        ++OpenCount;
        return 0;
    }
    OpenCount = 0;
    Handle = FindDevice(InterfaceGuid, boardIndex, wantedType);
    if (Handle == NoDevice) return kNoDeviceError;
    BoardIndex = boardIndex;
    OpenCount = 1;
    QueryVersions();
    return 0;
}

DWORD TAdapter::Close() {
    if (Handle != NoDevice && OpenCount > 0) {
        --OpenCount;
        if (OpenCount <= 0) {
            os_->CloseHandle(Handle);
            ResetState();
        }
    }
    return 0;
}

DWORD TAdapter::ForceClose() {
    if (Handle != NoDevice && OpenCount > 0) {
        os_->CloseHandle(Handle);
        ResetState();
    }
    return 0;
}

void TAdapter::SetDevicePath(std::string_view path) {
    // Paths beyond the field's 263 characters are cut; the search itself opens the full path.
    const std::size_t n = std::min(path.size(), kDevicePathSize - 1);
    std::memcpy(DevicePath.data(), path.data(), n);
    DevicePath[n] = '\0';
}

namespace {
constexpr DWORD kMaxInterfaceDetailSize = 64 * 1024;
} // namespace

HANDLE TAdapter::FindDevice(platform::GUID guid, int boardIndex, int wantedType) {
    HANDLE result = NoDevice;
    if (SetupApiModule == 0) return result; // no usable binding: nothing can be listed

    const platform::HDEVINFO snapshot = os_->SetupDiGetClassDevsA(
        GetClassDevs, &guid, nullptr, platform::kDigcfPresent | platform::kDigcfDeviceInterface);
    if (snapshot == platform::kInvalidDevInfo || snapshot == 0) return result;

    DWORD member = 0;
    int passedOver = 0;
    bool found = false;
    while (!found) {
        platform::DeviceInterfaceData data{};
        data.cbSize = sizeof(platform::DeviceInterfaceData);
        if (!os_->SetupDiEnumDeviceInterfaces(EnumDeviceInterfaces, snapshot, &guid, member, &data))
            break;

        DWORD required = 0;
        os_->SetupDiGetDeviceInterfaceDetailA(GetDeviceInterfaceDetail, snapshot, &data, nullptr, 0,
                                              &required);
        std::string path;
        // A device path never comes near this size: a larger one is a fault of the driver (or of
        // a recorded session), and allocating it could exhaust the memory. No path, no match.
        if (required > platform::kInterfaceDetailPathOffset &&
            required <= kMaxInterfaceDetailSize) {
            // The detail record lives only for this iteration.
            std::vector<std::uint8_t> detail(required + 1, 0);
            const DWORD fixedSize = platform::kInterfaceDetailFixedSize;
            std::memcpy(detail.data(), &fixedSize, sizeof fixedSize);
            os_->SetupDiGetDeviceInterfaceDetailA(GetDeviceInterfaceDetail, snapshot, &data,
                                                  detail.data(), required, nullptr);
            const char* text =
                reinterpret_cast<const char*>(detail.data() + platform::kInterfaceDetailPathOffset);
            path.assign(text, strnlen(text, required - platform::kInterfaceDetailPathOffset));
        }

        bool matched = false;
        const int type = ClassifyDevicePath(path, wantedType, &matched);
        if (matched) SetDevicePath(path);

        HANDLE handle = platform::kInvalidHandleValue;
        const auto open = [&](const std::string& name) {
            return os_->CreateFileA(name.c_str(), platform::kGenericRead | platform::kGenericWrite,
                                    0, platform::kOpenExisting, 0);
        };
        if (type != kDeviceNone) handle = open(path);
        if (handle == platform::kInvalidHandleValue && Contains(path, "\\usb#") &&
            (type == kDeviceUsb1801 || type == kDeviceUsb1802)) {
            const std::string name =
                std::string(type == kDeviceUsb1801 ? "\\\\.\\OV4USB-" : "\\\\.\\TRAVIO-") +
                std::to_string(passedOver);
            SetDevicePath(name);
            handle = open(name);
        }

        if (handle != platform::kInvalidHandleValue) {
            if (passedOver == boardIndex) {
                found = true;
                DeviceType = type;
                result = handle;
            } else {
                ++passedOver;
                os_->CloseHandle(handle);
            }
        }
        ++member;
    }
    os_->SetupDiDestroyDeviceInfoList(DestroyDeviceInfoList, snapshot);
    return result;
}

bool TAdapter::IoControl(DWORD code, void* inBuffer, DWORD inSize, void* outBuffer, DWORD outSize,
                         DWORD* bytesReturned) {
    if (!IsOpen()) return false;
    DWORD returned = 0;
    if (os_->DeviceIoControl(Handle, code, inBuffer, inSize, outBuffer, outSize,
                             bytesReturned != nullptr ? bytesReturned : &returned))
        return true;
    HandleIoError();
    return false;
}

void TAdapter::HandleIoError() {
    const DWORD error = os_->GetLastError();
    if (error == platform::kErrorInvalidParameter || error == platform::kErrorBusyDrive ||
        error == platform::kErrorBusy)
        return;
    ForceClose();
    // Callers read the request's error after this; closing the handle must not hide it.
    os_->SetLastError(error);
}

} // namespace flashwell::device
