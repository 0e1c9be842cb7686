#include "device/determine_os.h"
#include "device_test_support.h"
#include "testkit/fake_ui.h"

#include <cstring>

using namespace flashwell;
using namespace flashwell::testing;

namespace {

sim::WorldOptions Version(DWORD major, DWORD minor, DWORD build, DWORD platformId,
                          const char* csd = "Service Pack 2") {
    sim::WorldOptions options;
    auto& v = options.windows.version;
    v.dwMajorVersion = major;
    v.dwMinorVersion = minor;
    v.dwBuildNumber = build;
    v.dwPlatformId = platformId;
    std::memset(v.szCSDVersion, 0, sizeof v.szCSDVersion);
    std::strncpy(v.szCSDVersion, csd, sizeof v.szCSDVersion - 1);
    return options;
}

} // namespace

TEST(SupportsWdmDrivers, ByWindowsVersion) {
    struct Case {
        DWORD major, minor, build, platformId;
        bool supported;
    };
    const Case cases[] = {
        {4, 10, 1998, 1, false},
        {4, 10, 2222, 1, true},
        {4, 10, 0x0A0007CE, 1, false}, // 9x builds keep version bits above the low 16
        {4, 10, 0x040A08AE, 1, true},
        {4, 90, 3000, 1, true},
        {4, 0, 950, 1, false},
        {4, 0, 1381, 2, false},
        {3, 51, 1057, 2, false},
        {5, 0, 2195, 2, true},
        {5, 1, 2600, 2, true},
        {6, 1, 7601, 2, true},
        {9, 0, 1, 2, true},
        {10, 0, 19045, 2, false},
        {2, 0, 0, 2, false},
    };
    for (const Case& c : cases) {
        DeviceWorld w(Version(c.major, c.minor, c.build, c.platformId));
        EXPECT_EQ(device::SupportsWdmDrivers(w.world.Os()), c.supported)
            << c.major << "." << c.minor << "." << c.build;
    }
}

TEST(OsInformation, DescribesTheVersion) {
    DeviceWorld w(Version(4, 10, 0x0A0007CF, 1, " A "));
    std::string text;
    device::OsInformation(w.world.Os(), text);
    EXPECT_EQ(text, " A  V 4.10.167774159 Platform-ID: 1");

    DeviceWorld empty(Version(5, 1, 2600, 2, ""));
    device::OsInformation(empty.world.Os(), text);
    EXPECT_EQ(text, " V 5.1.2600 Platform-ID: 2");
}

TEST(CheckDriverSupport, WarnsOnUnsupportedSystems) {
    DeviceWorld w(Version(4, 10, 1998, 1, ""));
    FakeUi ui;
    EXPECT_EQ(device::CheckDriverSupport(w.world.Os(), ui), 0);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].buttons, platform::MessageButtons::Ok);
    EXPECT_EQ(ui.shown[0].title, "Flashwell");
    EXPECT_EQ(ui.shown[0].text,
              std::string(device::kWdmWarningText) + " V 4.10.1998 Platform-ID: 1");
    EXPECT_NE(ui.shown[0].text.find("ben\xF6tigt f\xFCr"), std::string::npos);
    EXPECT_EQ(w.Count(EventKind::GetClassDevs), 0u);
}

TEST(CheckDriverSupport, MissingGetVersionExCountsAsUnsupported) {
    sim::WorldOptions options;
    options.windows.getVersionExError = platform::kErrorInvalidParameter;
    DeviceWorld w(options);
    FakeUi ui;
    device::CheckDriverSupport(w.world.Os(), ui);
    ASSERT_EQ(ui.shown.size(), 1u);
    const std::string& text = ui.shown[0].text;
    const std::string tail = "OS-Information: No information availiable";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST(CheckDriverSupport, LooksAtOneInterfaceAndOpensNothing) {
    DeviceWorld w;
    w.world.AddBoard();
    w.world.AddBoard();
    FakeUi ui;
    EXPECT_EQ(device::CheckDriverSupport(w.world.Os(), ui), 0);
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_EQ(w.Count(EventKind::EnumDeviceInterfaces), 1u);
    EXPECT_EQ(w.Count(EventKind::DestroyDeviceInfoList), 1u);
    EXPECT_EQ(w.Count(EventKind::CreateFile), 0u);
    EXPECT_EQ(w.world.Windows().LiveSnapshots(), 0u);
}

TEST(CheckDriverSupport, NoInterfaceSevenAttemptsThenReleased) {
    DeviceWorld w;
    FakeUi ui;
    EXPECT_EQ(device::CheckDriverSupport(w.world.Os(), ui), 0);
    EXPECT_EQ(w.Count(EventKind::EnumDeviceInterfaces), 7u);
    EXPECT_EQ(w.world.Windows().LiveSnapshots(), 0u);
    EXPECT_EQ(w.Count(EventKind::CreateFile), 0u);
}

TEST(CheckDriverSupport, IncompleteSetupApiIsSilent) {
    sim::WorldOptions options;
    options.windows.setupApi.missingExports = {"SetupDiGetClassDevsA"};
    DeviceWorld w(options);
    w.world.AddBoard();
    FakeUi ui;
    EXPECT_EQ(device::CheckDriverSupport(w.world.Os(), ui), 0);
    EXPECT_EQ(w.Count(EventKind::GetClassDevs), 0u);
    EXPECT_TRUE(ui.shown.empty());
}
