// Runs the device layer against the real Windows API. On a machine without the board driver
// (CI runs it under wine) no board may be found, and nothing may crash on the way.
#include "device/adapter_usb.h"
#include "device/determine_os.h"
#include "platform/win32/win32_os_port.h"

#include <cstdio>
#include <string>

using namespace flashwell;

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++failures;
}

class SilentUi final : public platform::UiPort {
public:
    platform::MessageAnswer ShowMessage(platform::MessageKind, const std::string&,
                                        const std::string& text,
                                        platform::MessageButtons) override {
        lastText = text;
        ++shown;
        return platform::MessageAnswer::Ok;
    }
    void ProcessPendingMessages() override {}
    int shown = 0;
    std::string lastText;
};

} // namespace

int main() {
    if (sizeof(void*) == 4) {
        Check(sizeof(platform::DeviceInterfaceData) == 28, "interface data record is 28 bytes");
        Check(platform::kInterfaceDetailFixedSize == 5, "interface detail size field is 5");
    }

    platform::win32::Win32OsPort os;
    device::BoardTable boards(os);
    int hookCalls = 0;
    boards.SetOpenedHook([&](int) { ++hookCalls; });
    for (int index = 0; index <= 3; ++index) {
        const std::string what = "board " + std::to_string(index);
        Check(boards.OpenBoard(index) == 0, (what + ": OpenBoard returns 0").c_str());
        Check(!boards.IsBoardOpen(index), (what + ": not open").c_str());
        Check(boards.CloseBoard(index) == 0, (what + ": CloseBoard returns 0").c_str());
    }
    Check(hookCalls == 0, "no speed probe without a board");

    const device::TUSBAdapter* adapter = boards.Adapter(0);
    Check(adapter != nullptr, "the slot holds an adapter after the first OpenBoard");
    if (adapter != nullptr) {
        Check(adapter->SetupApiModule != 0, "SETUPAPI bound from the system directory");
        Check(adapter->GetClassDevs != 0 && adapter->EnumDeviceInterfaces != 0 &&
                  adapter->GetDeviceInterfaceDetail != 0 && adapter->DestroyDeviceInfoList != 0,
              "all four entry points bound");
        Check(adapter->Handle == device::NoDevice, "no device handle");
    }
    Check(boards.OpenBoard(17) == 0 && boards.Adapter(17) == nullptr, "index 17 is refused");

    std::string info;
    device::OsInformation(os, info);
    Check(info.find(" V ") != std::string::npos && info.find(" Platform-ID: ") != std::string::npos,
          ("OsInformation: " + info).c_str());

    SilentUi ui;
    Check(device::CheckDriverSupport(os, ui) == 0, "CheckDriverSupport returns 0");
    const bool supported = device::SupportsWdmDrivers(os);
    Check(supported ? ui.shown == 0 : ui.shown == 1, "the warning only on an unsupported system");

    std::printf("%s\n", failures == 0 ? "all native checks passed" : "native checks FAILED");
    return failures == 0 ? 0 : 1;
}
