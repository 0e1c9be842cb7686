#include "sim_test_support.h"

#include <gtest/gtest.h>

namespace flashwell::sim {
namespace {

using namespace testing;
using platform::DWORD;

const char* const kFirstPath =
    "\\\\?\\usb#vid_1057&pid_1801#6&2c24ce2e&0&1#{36fc9e60-c465-11cf-8056-444553540000}";

TEST(SimSetupApi, BindsEntryPointsAndCountsLoads) {
    SimWorld world;
    platform::OsPort& os = world.Os();
    char dir[1000];
    EXPECT_EQ(os.GetSystemDirectoryA(dir, sizeof dir), 19u);
    EXPECT_STREQ(dir, "C:\\WINDOWS\\system32");

    SetupApi api(os);
    EXPECT_NE(api.module, 0u);
    const std::vector<platform::ProcAddress> entries{api.getClassDevs, api.enumInterfaces,
                                                     api.getDetail, api.destroy};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_NE(entries[i], 0u);
        for (std::size_t j = 0; j < i; ++j)
            EXPECT_NE(entries[i], entries[j]);
    }
    EXPECT_EQ(os.GetProcAddress(api.module, "SetupDiEnumInterfaceDevice"), 0u);
    EXPECT_EQ(os.GetLastError(), platform::kErrorProcNotFound);
    EXPECT_EQ(world.Windows().LoadCount("SETUPAPI.DLL"), 1);
    EXPECT_TRUE(os.FreeLibrary(api.module));
    EXPECT_EQ(world.Windows().LoadCount("SETUPAPI.DLL"), 0);
    EXPECT_FALSE(os.FreeLibrary(api.module));
    // An unloaded library's entry points are dead.
    EXPECT_EQ(os.SetupDiGetClassDevsA(api.getClassDevs, &kBoardInterfaceGuid, nullptr, 0x12),
              platform::kInvalidDevInfo);
}

TEST(SimSetupApi, LibraryVariants) {
    {
        WorldOptions o;
        o.windows.setupApi.present = false;
        SimWorld world(o);
        EXPECT_EQ(world.Os().LoadLibraryA("C:\\WINDOWS\\system32\\SETUPAPI.DLL"), 0u);
        EXPECT_EQ(world.Os().GetLastError(), platform::kErrorModNotFound);
    }
    {
        WorldOptions o;
        o.windows.setupApi.fallbackNamesOnly = true;
        SimWorld world(o);
        SetupApi api(world.Os());
        EXPECT_EQ(api.enumInterfaces, 0u);
        EXPECT_EQ(api.getDetail, 0u);
        platform::OsPort& os = world.Os();
        const auto oldEnum = os.GetProcAddress(api.module, "SetupDiEnumInterfaceDevice");
        const auto oldDetail = os.GetProcAddress(api.module, "SetupDiGetInterfaceDeviceDetailA");
        EXPECT_NE(oldEnum, 0u);
        EXPECT_NE(oldDetail, 0u);
        world.AddBoard();
        api.enumInterfaces = oldEnum;
        api.getDetail = oldDetail;
        EXPECT_EQ(ListPaths(os, api), std::vector<std::string>{kFirstPath});
    }
    {
        WorldOptions o;
        o.windows.setupApi.missingExports = {"SetupDiDestroyDeviceInfoList"};
        SimWorld world(o);
        SetupApi api(world.Os());
        EXPECT_EQ(api.destroy, 0u);
        EXPECT_NE(api.getClassDevs, 0u);
    }
}

TEST(SimSetupApi, WrongEntryPointFailsWithoutEffect) {
    SimWorld world;
    world.AddBoard();
    platform::OsPort& os = world.Os();
    SetupApi api(os);
    EXPECT_EQ(os.SetupDiGetClassDevsA(api.enumInterfaces, &kBoardInterfaceGuid, nullptr, 0x12),
              platform::kInvalidDevInfo);
    EXPECT_EQ(os.SetupDiGetClassDevsA(0, &kBoardInterfaceGuid, nullptr, 0x12),
              platform::kInvalidDevInfo);
    EXPECT_EQ(world.Windows().LiveSnapshots(), 0u);
    const auto set = os.SetupDiGetClassDevsA(api.getClassDevs, &kBoardInterfaceGuid, nullptr, 0x12);
    platform::DeviceInterfaceData data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(
        os.SetupDiEnumDeviceInterfaces(api.getDetail, set, &kBoardInterfaceGuid, 0, &data));
    EXPECT_FALSE(os.SetupDiDestroyDeviceInfoList(api.getClassDevs, set));
    EXPECT_EQ(world.Windows().LiveSnapshots(), 1u);
    EXPECT_EQ(world.Windows().BadEntryCalls(), 4u);
    EXPECT_TRUE(os.SetupDiDestroyDeviceInfoList(api.destroy, set));
    EXPECT_EQ(world.Windows().LiveSnapshots(), 0u);
}

TEST(SimSetupApi, EnumerationListsPresentInterfacesInOrder) {
    SimWorld world;
    world.AddBoard();
    BoardConfig boot;
    boot.kind = DeviceKind::EzUsbBoot8613;
    boot.instanceId = "5&1a2b3c&0&2";
    world.AddBoard(boot);
    BoardConfig pci;
    pci.kind = DeviceKind::PciBoard;
    world.AddBoard(pci);
    BoardConfig other;
    other.interfaceGuid.Data1 = 0x12345678;
    world.AddBoard(other);
    SetupApi api(world.Os());
    const auto paths = ListPaths(world.Os(), api);
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], kFirstPath);
    EXPECT_EQ(paths[1],
              "\\\\?\\usb#vid_04b4&pid_8613#5&1a2b3c&0&2#{36fc9e60-c465-11cf-8056-444553540000}");
    EXPECT_EQ(paths[2].rfind("\\\\?\\pci#ven_1057&dev_1801", 0), 0u);
    EXPECT_EQ(world.Windows().LiveSnapshots(), 0u);
}

TEST(SimSetupApi, SnapshotKeepsTheListOfItsTime) {
    SimWorld world;
    Board& first = world.AddBoard();
    platform::OsPort& os = world.Os();
    SetupApi api(os);
    const auto old = os.SetupDiGetClassDevsA(api.getClassDevs, &kBoardInterfaceGuid, nullptr, 0x12);
    world.AddBoard();
    world.Vanish(first);

    platform::DeviceInterfaceData data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(
        os.SetupDiEnumDeviceInterfaces(api.enumInterfaces, old, &kBoardInterfaceGuid, 0, &data));
    EXPECT_EQ(data.InterfaceClassGuid, kBoardInterfaceGuid);
    EXPECT_FALSE(
        os.SetupDiEnumDeviceInterfaces(api.enumInterfaces, old, &kBoardInterfaceGuid, 1, &data));
    EXPECT_EQ(os.GetLastError(), platform::kErrorNoMoreItems);

    const auto paths = ListPaths(os, api);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_NE(paths[0].find("0&2#"), std::string::npos);
    EXPECT_EQ(world.Windows().LiveSnapshots(), 1u);
    EXPECT_TRUE(os.SetupDiDestroyDeviceInfoList(api.destroy, old));
    EXPECT_FALSE(os.SetupDiDestroyDeviceInfoList(api.destroy, old));
    EXPECT_EQ(os.GetLastError(), platform::kErrorInvalidHandle);
}

TEST(SimSetupApi, RecordSizesAreChecked) {
    SimWorld world;
    world.AddBoard();
    platform::OsPort& os = world.Os();
    SetupApi api(os);
    const auto set = os.SetupDiGetClassDevsA(api.getClassDevs, &kBoardInterfaceGuid, nullptr, 0x12);
    // The published sizes, not the sizes of the types the host happens to declare.
    const DWORD interfaceDataSize = sizeof(void*) == 4 ? 28 : 32;
    const DWORD detailFixedSize = sizeof(void*) == 4 ? 5 : 8;
    platform::DeviceInterfaceData data{};
    data.cbSize = interfaceDataSize - 1;
    EXPECT_FALSE(
        os.SetupDiEnumDeviceInterfaces(api.enumInterfaces, set, &kBoardInterfaceGuid, 0, &data));
    EXPECT_EQ(os.GetLastError(), 1784u);
    data.cbSize = interfaceDataSize + 4;
    EXPECT_FALSE(
        os.SetupDiEnumDeviceInterfaces(api.enumInterfaces, set, &kBoardInterfaceGuid, 0, &data));
    EXPECT_EQ(os.GetLastError(), 1784u);
    data.cbSize = interfaceDataSize;
    ASSERT_TRUE(
        os.SetupDiEnumDeviceInterfaces(api.enumInterfaces, set, &kBoardInterfaceGuid, 0, &data));

    DWORD required = 0;
    EXPECT_FALSE(
        os.SetupDiGetDeviceInterfaceDetailA(api.getDetail, set, &data, nullptr, 0, &required));
    EXPECT_EQ(os.GetLastError(), platform::kErrorInsufficientBuffer);
    const std::string path = kFirstPath;
    EXPECT_EQ(required, 4 + path.size() + 1);

    std::vector<char> detail(required, 'x');
    // The size of the whole record, or the 64-bit value in a 32-bit build, is refused.
    DWORD wrong = sizeof(void*) == 4 ? 8 : 5;
    std::memcpy(detail.data(), &wrong, 4);
    EXPECT_FALSE(os.SetupDiGetDeviceInterfaceDetailA(api.getDetail, set, &data, detail.data(),
                                                     required, nullptr));
    EXPECT_EQ(os.GetLastError(), 1784u);
    wrong = required;
    std::memcpy(detail.data(), &wrong, 4);
    EXPECT_FALSE(os.SetupDiGetDeviceInterfaceDetailA(api.getDetail, set, &data, detail.data(),
                                                     required, nullptr));
    EXPECT_EQ(os.GetLastError(), 1784u);

    DWORD fixed = detailFixedSize;
    std::memcpy(detail.data(), &fixed, 4);
    EXPECT_FALSE(os.SetupDiGetDeviceInterfaceDetailA(api.getDetail, set, &data, detail.data(),
                                                     required - 1, nullptr));
    EXPECT_EQ(os.GetLastError(), platform::kErrorInsufficientBuffer);
    EXPECT_TRUE(os.SetupDiGetDeviceInterfaceDetailA(api.getDetail, set, &data, detail.data(),
                                                    required, nullptr));
    EXPECT_EQ(std::string(detail.data() + 4), path);

    const auto otherSet =
        os.SetupDiGetClassDevsA(api.getClassDevs, &kBoardInterfaceGuid, nullptr, 0x12);
    EXPECT_FALSE(os.SetupDiGetDeviceInterfaceDetailA(api.getDetail, otherSet, &data, detail.data(),
                                                     required, nullptr));
    EXPECT_EQ(os.GetLastError(), platform::kErrorInvalidParameter);
}

TEST(SimSetupApi, ClassDevsFlagsAndGuid) {
    SimWorld world;
    Board& b = world.AddBoard();
    platform::OsPort& os = world.Os();
    SetupApi api(os);
    platform::GUID other = kBoardInterfaceGuid;
    other.Data4[7] = 1;
    const auto set = os.SetupDiGetClassDevsA(api.getClassDevs, &other, nullptr, 0x12);
    ASSERT_NE(set, platform::kInvalidDevInfo);
    platform::DeviceInterfaceData data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(os.SetupDiEnumDeviceInterfaces(api.enumInterfaces, set, &other, 0, &data));
    EXPECT_EQ(os.GetLastError(), platform::kErrorNoMoreItems);

    world.Vanish(b);
    const auto all = os.SetupDiGetClassDevsA(api.getClassDevs, &kBoardInterfaceGuid, nullptr, 0x10);
    EXPECT_TRUE(
        os.SetupDiEnumDeviceInterfaces(api.enumInterfaces, all, &kBoardInterfaceGuid, 0, &data));
    EXPECT_EQ(data.Flags, 0u);
    EXPECT_EQ(os.SetupDiGetClassDevsA(api.getClassDevs, nullptr, nullptr, 0x12),
              platform::kInvalidDevInfo);
    EXPECT_EQ(os.GetLastError(), platform::kErrorInvalidParameter);
}

} // namespace
} // namespace flashwell::sim
