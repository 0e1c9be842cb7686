#include "device_test_support.h"
#include "platform/forwarding_os_port.h"

using namespace flashwell;
using namespace flashwell::testing;

TEST(Classify, PathsByTypeWanted) {
    const std::string usb1801 = "\\\\?\\usb#vid_1057&pid_1801#6&1#{x}";
    const std::string usb1802 = "\\\\?\\usb#vid_1057&pid_1802#6&1#{x}";
    const std::string pci = "\\\\?\\pci#ven_1057&dev_1801#3&1#{x}";
    const std::string boot = "\\\\?\\usb#vid_04b4&pid_8613#5&1#{x}";
    const std::string oldBoot = "\\\\?\\usb#vid_0547&pid_2131#5&1#{x}";
    EXPECT_EQ(device::ClassifyDevicePath(usb1801, 2), 2);
    EXPECT_EQ(device::ClassifyDevicePath(usb1801, 3), 0);
    EXPECT_EQ(device::ClassifyDevicePath(usb1802, 3), 3);
    EXPECT_EQ(device::ClassifyDevicePath(usb1802, 2), 0);
    EXPECT_EQ(device::ClassifyDevicePath(pci, 1), 1);
    EXPECT_EQ(device::ClassifyDevicePath(pci, 2), 0);
    EXPECT_EQ(device::ClassifyDevicePath(boot, 2), 100);
    EXPECT_EQ(device::ClassifyDevicePath(oldBoot, 3), 100);
    EXPECT_EQ(device::ClassifyDevicePath(boot, 1), 0);
    EXPECT_EQ(device::ClassifyDevicePath("\\\\?\\usb#VID_1057&PID_1801#6&1", 2), 0);
    EXPECT_EQ(device::ClassifyDevicePath("\\\\?\\hid#vid_1057&pid_1801#6&1", 2), 0);
}

TEST(Binding, LoadsSetupApiFromTheSystemDirectory) {
    DeviceWorld w;
    device::TUSBAdapter adapter(w.world.Os());
    EXPECT_NE(adapter.SetupApiModule, 0u);
    EXPECT_NE(adapter.EnumDeviceInterfaces, 0u);
    EXPECT_NE(adapter.DestroyDeviceInfoList, 0u);
    EXPECT_NE(adapter.GetClassDevs, 0u);
    EXPECT_NE(adapter.GetDeviceInterfaceDetail, 0u);
    const auto loads = w.rec().OfKind(EventKind::LoadLibrary);
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_EQ(loads[0].name, "C:\\WINDOWS\\system32\\SETUPAPI.DLL");
    EXPECT_EQ(adapter.Handle, device::NoDevice);
    EXPECT_EQ(adapter.InterfaceGuid, device::BoardInterfaceGuid);
}

TEST(Binding, FallbackNamesFindTheBoard) {
    sim::WorldOptions options;
    options.windows.setupApi.fallbackNamesOnly = true;
    DeviceWorld w(options);
    w.world.AddBoard();
    EXPECT_EQ(w.boards.OpenBoard(0), 1);
    EXPECT_EQ(w.world.Windows().BadEntryCalls(), 0u);
}

TEST(Binding, IncompleteLibraryIsUnloadedAndNothingIsCalled) {
    sim::WorldOptions options;
    options.windows.setupApi.missingExports = {"SetupDiDestroyDeviceInfoList"};
    DeviceWorld w(options);
    w.world.AddBoard();
    EXPECT_EQ(w.boards.OpenBoard(0), 0);
    const device::TUSBAdapter* adapter = w.boards.Adapter(0);
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(adapter->SetupApiModule, 0u);
    EXPECT_EQ(w.world.Windows().LoadCount("SETUPAPI.DLL"), 0);
    EXPECT_EQ(w.Count(EventKind::GetClassDevs), 0u);
    EXPECT_EQ(w.Count(EventKind::CreateFile), 0u);
}

TEST(Binding, NoSystemDirectoryNoLibrary) {
    sim::WorldOptions options;
    options.windows.systemDirectoryError = platform::kErrorInvalidParameter;
    DeviceWorld w(options);
    w.world.AddBoard();
    EXPECT_EQ(w.boards.OpenBoard(0), 0);
    EXPECT_EQ(w.Count(EventKind::LoadLibrary), 0u);
}

TEST(FindDevice, OpensTheFirstBoardExclusively) {
    DeviceWorld w;
    sim::Board& board = w.world.AddBoard();
    ASSERT_EQ(w.boards.OpenBoard(0), 1);
    const device::TUSBAdapter* adapter = w.boards.Adapter(0);
    EXPECT_EQ(adapter->DeviceType, 2);
    EXPECT_EQ(adapter->DevicePathText(), board.DevicePath());
    const auto opens = w.rec().OfKind(EventKind::CreateFile);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].name, board.DevicePath());
    EXPECT_EQ(opens[0].access, 0xC0000000u);
    EXPECT_EQ(opens[0].shareMode, 0u);
    EXPECT_EQ(opens[0].creationDisposition, 3u);
    EXPECT_EQ(opens[0].flagsAndAttributes, 0u);
    EXPECT_EQ(w.world.Windows().LiveSnapshots(), 0u);
    // The device is held exclusively: a second program cannot open it.
    device::BoardTable other(w.world.Os());
    EXPECT_EQ(other.OpenBoard(0), 0);
}

TEST(FindDevice, IndexBeyondTheBoardsOpensAndClosesEachOnce) {
    DeviceWorld w;
    w.world.AddBoard();
    EXPECT_EQ(w.boards.OpenBoard(1), 0);
    EXPECT_EQ(w.Count(EventKind::CreateFile), 1u);
    EXPECT_EQ(w.Count(EventKind::CloseHandle), 1u);
    EXPECT_EQ(w.world.Windows().OpenHandleCount(), 0u);
    EXPECT_EQ(w.world.Windows().LiveSnapshots(), 0u);
}

TEST(FindDevice, BootStateControllersCountOtherProductsDoNot) {
    DeviceWorld w;
    w.world.AddBoard(OfKind(sim::DeviceKind::PciBoard));
    w.world.AddBoard(OfKind(sim::DeviceKind::UsbBoard1802));
    sim::Board& boot = w.world.AddBoard(OfKind(sim::DeviceKind::EzUsbBoot8613));
    sim::Board& board = w.world.AddBoard();
    w.world.AddBoard(OfKind(sim::DeviceKind::EzUsbBoot2131));

    // Each board is closed again before the next is looked for, as the board scan does.
    ASSERT_EQ(w.boards.OpenBoard(0), 1);
    EXPECT_EQ(w.boards.Adapter(0)->DeviceType, 100);
    EXPECT_EQ(w.boards.Adapter(0)->DevicePathText(), boot.DevicePath());
    w.boards.CloseBoard(0);
    ASSERT_EQ(w.boards.OpenBoard(1), 1);
    EXPECT_EQ(w.boards.Adapter(1)->DeviceType, 2);
    EXPECT_EQ(w.boards.Adapter(1)->DevicePathText(), board.DevicePath());
    w.boards.CloseBoard(1);
    ASSERT_EQ(w.boards.OpenBoard(2), 1);
    EXPECT_EQ(w.boards.Adapter(2)->DeviceType, 100);
    w.boards.CloseBoard(2);
    EXPECT_EQ(w.boards.OpenBoard(3), 0);
    for (const auto& name : w.Opened())
        EXPECT_EQ(name.find("pid_1802"), std::string::npos) << name;
}

TEST(FindDevice, CapitalIdentifiersDoNotMatch) {
    DeviceWorld w;
    w.world.AddBoard(WithPath(
        "\\\\?\\usb#VID_1057&PID_1801#6&2c24ce2e&0&1#{36fc9e60-c465-11cf-8056-444553540000}"));
    EXPECT_EQ(w.boards.OpenBoard(0), 0);
    EXPECT_EQ(w.Count(EventKind::CreateFile), 0u);
}

TEST(FindDevice, BoardHeldOpenMovesTheOthersDown) {
    DeviceWorld w;
    w.world.AddBoard();
    sim::Board& second = w.world.AddBoard();
    ASSERT_EQ(w.boards.OpenBoard(0), 1);
    // Board 0 holds the first device exclusively, so the search for 1 cannot open it.
    ASSERT_EQ(w.boards.OpenBoard(1), 0);
    w.boards.CloseBoard(0);
    ASSERT_EQ(w.boards.OpenBoard(1), 1);
    EXPECT_EQ(w.boards.Adapter(1)->DevicePathText(), second.DevicePath());
}

TEST(FindDevice, UnopenableBoardIsSkippedAndNotCounted) {
    DeviceWorld w;
    sim::BoardConfig busy;
    busy.pathOpenError = platform::kErrorAccessDenied;
    w.world.AddBoard(busy);
    sim::Board& second = w.world.AddBoard();
    ASSERT_EQ(w.boards.OpenBoard(0), 1);
    EXPECT_EQ(w.boards.Adapter(0)->DevicePathText(), second.DevicePath());
}

TEST(FindDevice, SymbolicNamesCountPassedOverBoards) {
    DeviceWorld w;
    sim::BoardConfig first;
    first.pathOpenError = platform::kErrorFileNotFound;
    first.symbolicNumber = 0;
    sim::BoardConfig second = first;
    second.symbolicNumber = 1;
    w.world.AddBoard(first);
    w.world.AddBoard(second);

    ASSERT_EQ(w.boards.OpenBoard(1), 1);
    EXPECT_EQ(w.boards.Adapter(1)->DevicePathText(), "\\\\.\\OV4USB-1");
    const auto names = w.Opened();
    ASSERT_EQ(names.size(), 4u);
    EXPECT_EQ(names[1], "\\\\.\\OV4USB-0");
    EXPECT_EQ(names[3], "\\\\.\\OV4USB-1");
}

TEST(FindDevice, BootStateControllerHasNoSymbolicName) {
    DeviceWorld w;
    sim::BoardConfig boot = OfKind(sim::DeviceKind::EzUsbBoot8613);
    boot.pathOpenError = platform::kErrorFileNotFound;
    w.world.AddBoard(boot);
    EXPECT_EQ(w.boards.OpenBoard(0), 0);
    EXPECT_EQ(w.Count(EventKind::CreateFile), 1u);
}

TEST(FindDevice, OverlongDevicePathIsCutNotOverflowed) {
    DeviceWorld w;
    const std::string path = "\\\\?\\usb#vid_1057&pid_1801#" + std::string(300, 'a') +
                             "#{36fc9e60-c465-11cf-8056-444553540000}";
    w.world.AddBoard(WithPath(path));
    // The board is still usable: the search opens the full path it was given.
    ASSERT_EQ(w.boards.OpenBoard(0), 1);
    const std::string kept = w.boards.Adapter(0)->DevicePathText();
    EXPECT_EQ(kept.size(), 263u);
    EXPECT_EQ(kept, path.substr(0, 263));
    EXPECT_EQ(w.Opened().at(0), path);
}

// A driver (or a damaged recorded session) that asks for an absurd detail record: nothing that
// size is allocated, the interface is passed over, and the next board is found.
TEST(FindDevice, AbsurdDetailSizeIsNotAllocated) {
    class InflatedDetail final : public platform::ForwardingOsPort {
    public:
        using ForwardingOsPort::ForwardingOsPort;
        platform::BOOL SetupDiGetDeviceInterfaceDetailA(platform::ProcAddress entry,
                                                        platform::HDEVINFO set,
                                                        platform::DeviceInterfaceData* data,
                                                        void* detail, DWORD detailSize,
                                                        DWORD* requiredSize) override {
            const platform::BOOL ok = Inner().SetupDiGetDeviceInterfaceDetailA(
                entry, set, data, detail, detailSize, requiredSize);
            if (detail == nullptr && requiredSize != nullptr && ++calls == 1)
                *requiredSize = 0x7FFFFFF0;
            return ok;
        }
        int calls = 0;
    };
    sim::SimWorld world;
    world.AddBoard({});
    world.AddBoard({});
    InflatedDetail os(world.Os());
    device::BoardTable boards(os);
    ASSERT_EQ(boards.OpenBoard(0), 1);
    EXPECT_EQ(boards.Adapter(0)->DevicePathText(), world.GetBoard(1).DevicePath());
}
