#include "sim_test_support.h"

#include <gtest/gtest.h>

namespace flashwell::sim {
namespace {

using namespace testing;
using platform::DWORD;
using platform::HANDLE;
using platform::kInvalidHandleValue;

TEST(SimKernel, ExclusiveOpenAndHandleTable) {
    SimWorld world;
    Board& board = world.AddBoard();
    platform::OsPort& os = world.Os();
    const HANDLE h = Open(os, board.DevicePath());
    ASSERT_NE(h, kInvalidHandleValue);
    EXPECT_NE(h, 6u);
    EXPECT_EQ(os.GetLastError(), 0u);

    EXPECT_EQ(Open(os, board.DevicePath()), kInvalidHandleValue);
    EXPECT_EQ(os.GetLastError(), platform::kErrorAccessDenied);
    // Device names are not case-sensitive for the object manager.
    std::string upper = board.DevicePath();
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(Open(os, upper), kInvalidHandleValue);
    EXPECT_EQ(os.GetLastError(), platform::kErrorAccessDenied);

    EXPECT_TRUE(os.CloseHandle(h));
    EXPECT_FALSE(os.CloseHandle(h));
    EXPECT_EQ(os.GetLastError(), platform::kErrorInvalidHandle);
    const HANDLE again = Open(os, upper);
    EXPECT_NE(again, kInvalidHandleValue);
    EXPECT_NE(again, h);

    EXPECT_EQ(Open(os, "\\\\?\\usb#vid_1057&pid_1801#nothing#{x}"), kInvalidHandleValue);
    EXPECT_EQ(os.GetLastError(), platform::kErrorFileNotFound);

    const auto opens = world.Recorder().OfKind(EventKind::CreateFile);
    ASSERT_EQ(opens.size(), 5u);
    EXPECT_EQ(opens[0].access, 0xC0000000u);
    EXPECT_EQ(opens[0].shareMode, 0u);
    EXPECT_EQ(opens[0].creationDisposition, 3u);
    EXPECT_EQ(opens[0].board, 0);
    EXPECT_EQ(world.Recorder().OfKind(EventKind::CloseHandle).size(), 2u);
}

// The driver's devices open only as the tool must open them: read and write, exclusive, an
// existing device, synchronous.
TEST(SimKernel, DeviceOpenParametersAreChecked) {
    SimWorld world;
    Board& board = world.AddBoard();
    platform::OsPort& os = world.Os();
    const std::string path = board.DevicePath();
    struct Variant {
        DWORD access, share, creation, flags, error;
    };
    for (const Variant v :
         {Variant{0x80000000, 0, 3, 0, 5}, Variant{0x40000000, 0, 3, 0, 5},
          Variant{0xC0000000, 1, 3, 0, 32}, Variant{0xC0000000, 3, 3, 0, 32},
          Variant{0xC0000000, 0, 4, 0, 87}, Variant{0xC0000000, 0, 1, 0, 87},
          Variant{0xC0000000, 0, 3, 0x40000000, 87}, Variant{0xC0000000, 0, 3, 0x80, 87}}) {
        EXPECT_EQ(os.CreateFileA(path.c_str(), v.access, v.share, v.creation, v.flags),
                  platform::kInvalidHandleValue);
        EXPECT_EQ(os.GetLastError(), v.error);
    }
    EXPECT_NE(os.CreateFileA(path.c_str(), 0xC0000000, 0, 3, 0), platform::kInvalidHandleValue);
}

TEST(SimKernel, SymbolicNamesPerProduct) {
    SimWorld world;
    BoardConfig usb;
    usb.symbolicNumber = 0;
    usb.pathOpenError = platform::kErrorAccessDenied;
    Board& a = world.AddBoard(usb);
    BoardConfig travio;
    travio.kind = DeviceKind::UsbBoard1802;
    travio.symbolicNumber = 3;
    world.AddBoard(travio);
    BoardConfig boot;
    boot.kind = DeviceKind::EzUsbBoot2131;
    boot.symbolicNumber = 1;
    world.AddBoard(boot);
    platform::OsPort& os = world.Os();

    EXPECT_EQ(a.SymbolicName(), "\\\\.\\OV4USB-0");
    EXPECT_EQ(Open(os, a.DevicePath()), kInvalidHandleValue);
    EXPECT_EQ(os.GetLastError(), platform::kErrorAccessDenied);
    const HANDLE h = Open(os, "\\\\.\\OV4USB-0");
    EXPECT_NE(h, kInvalidHandleValue);
    // The symbolic name and the path lead to the same device, still exclusive.
    a.MutableConfig().pathOpenError = 0;
    EXPECT_EQ(Open(os, a.DevicePath()), kInvalidHandleValue);

    EXPECT_NE(Open(os, "\\\\.\\TRAVIO-3"), kInvalidHandleValue);
    EXPECT_EQ(Open(os, "\\\\.\\OV4USB-3"), kInvalidHandleValue);
    EXPECT_EQ(os.GetLastError(), platform::kErrorFileNotFound);
    // A controller in boot state has no symbolic name.
    EXPECT_EQ(Open(os, "\\\\.\\OV4USB-1"), kInvalidHandleValue);
}

TEST(SimKernel, VanishAndReattach) {
    SimWorld world;
    BoardConfig c;
    c.symbolicNumber = 0;
    Board& board = world.AddBoard(c);
    platform::OsPort& os = world.Os();
    const HANDLE h = Open(os, board.DevicePath());
    DWORD n = 0;
    std::uint8_t version[6];
    ASSERT_TRUE(os.DeviceIoControl(h, kIoctlDriverVersion, nullptr, 0, version, 6, &n));

    world.Vanish(board, platform::kErrorGenFailure);
    EXPECT_FALSE(world.Windows().IsAttached(board));
    n = 99;
    EXPECT_FALSE(os.DeviceIoControl(h, kIoctlDriverVersion, nullptr, 0, version, 6, &n));
    EXPECT_EQ(os.GetLastError(), platform::kErrorGenFailure);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(Open(os, board.DevicePath()), kInvalidHandleValue);
    EXPECT_EQ(os.GetLastError(), platform::kErrorFileNotFound);
    EXPECT_EQ(Open(os, "\\\\.\\OV4USB-0"), kInvalidHandleValue);

    world.Reattach(board);
    // The old handle stays dead; a new open works although the old one was never closed.
    EXPECT_FALSE(os.DeviceIoControl(h, kIoctlDriverVersion, nullptr, 0, version, 6, &n));
    EXPECT_EQ(os.GetLastError(), platform::kErrorGenFailure);
    const HANDLE fresh = Open(os, board.DevicePath());
    ASSERT_NE(fresh, kInvalidHandleValue);
    EXPECT_TRUE(os.DeviceIoControl(fresh, kIoctlDriverVersion, nullptr, 0, version, 6, &n));
    EXPECT_TRUE(os.CloseHandle(h));
    EXPECT_EQ(world.Windows().OpenHandleCount(board), 1u);

    SetupApi api(os);
    EXPECT_EQ(ListPaths(os, api), std::vector<std::string>{board.DevicePath()});
}

TEST(SimKernel, ReattachKeepsListPlaceAndNewIdentityAppends) {
    SimWorld world;
    Board& first = world.AddBoard();
    Board& second = world.AddBoard();
    platform::OsPort& os = world.Os();
    SetupApi api(os);
    world.Vanish(first);
    world.Reattach(first);
    EXPECT_EQ(ListPaths(os, api),
              (std::vector<std::string>{first.DevicePath(), second.DevicePath()}));

    world.Vanish(first);
    first.MutableConfig().kind = DeviceKind::EzUsbBoot8613;
    world.Reattach(first);
    EXPECT_EQ(ListPaths(os, api),
              (std::vector<std::string>{second.DevicePath(), first.DevicePath()}));
}

TEST(SimKernel, VersionInfoAndItsFailures) {
    WorldOptions o;
    o.windows.version.dwMajorVersion = 4;
    o.windows.version.dwMinorVersion = 10;
    o.windows.version.dwBuildNumber = 0x040A08AE;
    o.windows.version.dwPlatformId = 1;
    SimWorld world(o);
    platform::OsPort& os = world.Os();
    const auto kernel = os.LoadLibraryA("KERNEL32.DLL");
    ASSERT_NE(kernel, 0u);
    const auto entry = os.GetProcAddress(kernel, "GetVersionExA");
    ASSERT_NE(entry, 0u);
    platform::OsVersionInfo info{};
    info.dwOSVersionInfoSize = 148;
    ASSERT_TRUE(os.GetVersionExA(entry, &info));
    EXPECT_EQ(info.dwMajorVersion, 4u);
    EXPECT_EQ(info.dwBuildNumber, 0x040A08AEu);
    EXPECT_EQ(info.dwOSVersionInfoSize, 148u);
    info.dwOSVersionInfoSize = 0;
    EXPECT_FALSE(os.GetVersionExA(entry, &info));
    EXPECT_FALSE(os.GetVersionExA(entry + 1, &info));

    world.Windows().Config().getVersionExError = platform::kErrorInvalidParameter;
    info.dwOSVersionInfoSize = 148;
    EXPECT_FALSE(os.GetVersionExA(entry, &info));
    EXPECT_EQ(os.GetLastError(), platform::kErrorInvalidParameter);

    world.Windows().Config().kernelExportsGetVersionEx = false;
    EXPECT_EQ(os.GetProcAddress(kernel, "GetVersionExA"), 0u);
    EXPECT_EQ(os.GetLastError(), platform::kErrorProcNotFound);
}

TEST(SimKernel, DebugOutputSleepAndLocalTime) {
    SimWorld world;
    platform::OsPort& os = world.Os();
    os.OutputDebugStringA("[ADAPTER0] protocol: 1");
    os.SetLastError(87);
    os.Sleep(600);
    EXPECT_EQ(os.GetLastError(), 87u);
    os.OutputDebugStringA("Fehler: Array_To_DSP fehlgeschlagen");
    const auto& lines = world.Windows().DebugOutput();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].timeMs, 0u);
    EXPECT_EQ(lines[1].timeMs, 600u);
    EXPECT_EQ(lines[1].text, "Fehler: Array_To_DSP fehlgeschlagen");
    EXPECT_EQ(world.Recorder().SleptMs(), 600u);
    const platform::LocalTime t = os.GetLocalTime();
    EXPECT_EQ(t.Hour, 9);
    EXPECT_EQ(t.Minute, 30);
    EXPECT_EQ(t.Milliseconds, 600);
}

} // namespace
} // namespace flashwell::sim
