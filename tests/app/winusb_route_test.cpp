// The WinUSB route against the simulated Windows: the same run as through the driver, boards
// pulled in the middle of a transfer, a board another program holds, a Windows without
// winusb.dll, and what the simulated WinUSB refuses.
#include "platform/winusb/winusb_os_port.h"
#include "sim/board_contents.h"
#include "sim/board_driver.h"
#include "sim/scenario/scenario.h"
#include "testkit/app_world.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace flashwell;
using namespace flashwell::testing;

namespace {

// The whole program with the WinUSB route in front of the simulated Windows.
struct WinUsbWorld {
    explicit WinUsbWorld(bool winUsbBoard = true, bool only = false, bool winUsbPresent = true)
        : only(only) {
        world.Windows().Config().winUsbPresent = winUsbPresent;
        sim::Scenario scenario = sim::DefaultScenario();
        scenario.boards.at(0).driver = winUsbBoard ? "winusb" : "legacy";
        sim::ApplyScenario(world, scenario);
        board = &world.GetBoard(0);
        Restart();
    }
    // The program started afresh on the same machine and data folder.
    void Restart() {
        form.reset();
        protocol.reset();
        boards.reset();
        platform::winusb::WinUsbOptions options;
        options.only = only;
        route = std::make_unique<platform::winusb::WinUsbOsPort>(world.Os(), options);
        boards = std::make_unique<device::BoardTable>(*route);
        protocol = std::make_unique<protocol::BoardProtocol>(*boards, ui);
    }
    app::TForm1& Start() {
        form = std::make_unique<app::TForm1>(
            app::Services{*route, *boards, *protocol, ui, backups.store});
        form->FormCreate();
        return *form;
    }
    bool Logged(const std::string& line) const {
        const auto& lines = form->Memo1.lines;
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    // Pulls the board (its WinUSB calls then fail with `error`) at the `after`-th request of
    // `code` once the log shows `mark`.
    void PullAt(const std::string& mark, platform::DWORD code, int after, platform::DWORD error) {
        board->MutableConfig().winUsbGoneError = error;
        world.Windows().SetIoControlObserver(
            [=, this, seen = 0](std::uint64_t, platform::DWORD c) mutable {
                if (c == code && Logged(mark) && seen++ == after) world.Vanish(*board);
            });
    }

    bool only;
    TempBackups backups;
    sim::SimWorld world;
    sim::Board* board = nullptr;
    std::unique_ptr<platform::winusb::WinUsbOsPort> route;
    std::unique_ptr<device::BoardTable> boards;
    ScriptedAppUi ui;
    std::unique_ptr<protocol::BoardProtocol> protocol;
    std::unique_ptr<app::TForm1> form;
};

bool Updated(sim::Board& board) {
    board.PowerCycle();
    const sim::BoardReport r = sim::Inspect(board);
    return r.runsBoardFirmware && r.eepromIsBootImage && r.fpga == sim::FpgaContent::Rev12 &&
           r.bootProgram == sim::BootAreaContent::BootProgram;
}

} // namespace

// The same board, once through the driver and once bound to WinUSB: the same log, the same
// virtual time, the same images; on WinUSB every driver request became USB transfers.
TEST(WinUsbRoute, FullUpdateIsTheDriverRoutesRun) {
    WinUsbWorld driver(false), winUsb(true);
    driver.world.Recorder().SetEnabled(false);
    driver.Start().Button1Click();
    winUsb.Start().Button1Click();
    EXPECT_EQ(winUsb.form->Memo1.lines, driver.form->Memo1.lines);
    EXPECT_EQ(winUsb.form->LastOutcome, app::RunOutcome::Succeeded);
    EXPECT_EQ(winUsb.world.Clock().NowMs(), driver.world.Clock().NowMs());
    EXPECT_TRUE(Updated(*winUsb.board));
    EXPECT_EQ(sim::Inspect(*winUsb.board).parameterBlock,
              sim::Inspect(*driver.board).parameterBlock);
    EXPECT_EQ(winUsb.world.Windows().WinUsbHandleCount(), 0u) << "every interface freed";
    EXPECT_TRUE(winUsb.world.Windows().UsbRefusals().empty());
    EXPECT_EQ(winUsb.world.Windows().BadEntryCalls(), 0u);
    std::size_t transfers = 0, ioControls = 0;
    for (const sim::TrafficEvent& e : winUsb.world.Recorder().Events()) {
        transfers += e.kind == sim::EventKind::UsbTransfer;
        ioControls += e.kind == sim::EventKind::IoControl;
    }
    EXPECT_GT(transfers, 1000u);
    EXPECT_EQ(ioControls, 0u) << "no driver request reaches a WinUSB device";
}

// Pulled in the middle of a flash block and of the EEPROM write, with each error an unplugged
// WinUSB device is seen to give: the run fails and says so, frees what it opened, and the next
// run, after the board is plugged in again, brings it up to date.
TEST(WinUsbRoute, BoardPulledMidTransferFailsAndTheNextRunRepairsIt) {
    struct Cut {
        const char* mark;
        platform::DWORD code;
        int after;
    };
    for (const Cut cut : {Cut{"   Write data", sim::kIoctlPipeWrite, 40},
                          Cut{"try with delay (0) ...", sim::kIoctlPipeWrite, 200}}) {
        for (const platform::DWORD error : {platform::kErrorBadCommand, platform::kErrorGenFailure,
                                            platform::kErrorDeviceNotConnected}) {
            SCOPED_TRACE(std::string(cut.mark) + ", error " + std::to_string(error));
            WinUsbWorld w(getenv("LEGACY") == nullptr);
            w.Start();
            w.PullAt(cut.mark, cut.code, cut.after, error);
            w.form->Button1Click();
            w.world.Windows().SetIoControlObserver(nullptr);
            EXPECT_EQ(w.form->LastOutcome, app::RunOutcome::Failed);
            EXPECT_EQ(w.ui.boxes.shown.back().text, app::kErrorText);
            EXPECT_EQ(w.world.Windows().WinUsbHandleCount(), 0u);

            // Plugged in again: the technician does what the program's lines say.
            w.world.Reconnect(*w.board);
            w.world.PowerCycle(*w.board);
            w.Restart();
            w.Start();
            const std::string restore = "   Restore it with: flashwell --restore \"";
            for (const std::string& line : w.form->Memo1.lines)
                if (line.rfind(restore, 0) == 0) {
                    const std::size_t end = line.find('"', restore.size());
                    w.form->RestoreFromFile(line.substr(restore.size(), end - restore.size()));
                    w.world.PowerCycle(*w.board);
                    w.Restart();
                    w.Start();
                    break;
                }
            if (w.form->RadioButtons[0]->enabled) w.form->Button1Click();
            EXPECT_EQ(w.form->LastOutcome, app::RunOutcome::Succeeded);
            EXPECT_TRUE(Updated(*w.board));
        }
    }
}

// A board whose WinUSB device another program has open is passed over and gets no request;
// without winusb.dll the driver's boards are still found and WinUSB's are not, and a route
// that was asked for WinUSB only says why it finds nothing.
TEST(WinUsbRoute, BusyBoardAndMissingWinUsbArePassedOver) {
    {
        WinUsbWorld w;
        const std::string path = w.board->DevicePath();
        const platform::HANDLE other =
            w.world.Os().CreateFileA(path.c_str(), platform::kGenericRead | platform::kGenericWrite,
                                     0, platform::kOpenExisting, platform::kFileFlagOverlapped);
        ASSERT_NE(other, platform::kInvalidHandleValue);
        w.world.Recorder().Clear();
        w.Start();
        EXPECT_FALSE(w.form->BoardPresent(0));
        EXPECT_EQ(w.world.Windows().WinUsbHandleCount(), 0u);
        for (const sim::TrafficEvent& e : w.world.Recorder().Events())
            EXPECT_NE(e.kind, sim::EventKind::UsbTransfer) << e.ToString();
    }
    {
        WinUsbWorld legacy(false, false, false);
        EXPECT_FALSE(legacy.route->Unavailable().empty());
        legacy.Start();
        EXPECT_TRUE(legacy.form->BoardPresent(0));
        WinUsbWorld bound(true, false, false);
        bound.Start();
        EXPECT_FALSE(bound.form->BoardPresent(0));
        WinUsbWorld only(false, true, true);
        only.Start();
        EXPECT_FALSE(only.form->BoardPresent(0)) << "--winusb passes over the driver's boards";
    }
}

// What the simulated WinUSB refuses, as WinUSB does: a handle not opened overlapped, pipes not
// of the interface or of the other direction; and how it fails: a time-out after the pipe's
// policy, a stall until the pipe is reset, reads shorter than asked.
TEST(SimulatedWinUsb, RefusesAndFailsAsWinUsbDoes) {
    sim::SimWorld world;
    sim::BoardConfig config;
    config.winUsb = true;
    sim::Board& board = world.AddBoard(config);
    platform::OsPort& os = world.Os();
    const platform::HMODULE dll = os.LoadLibraryA("C:\\WINDOWS\\system32\\WINUSB.DLL");
    ASSERT_NE(dll, 0u);
    const auto entry = [&](const char* name) { return os.GetProcAddress(dll, name); };
    const std::string path = board.DevicePath();
    const auto open = [&](platform::DWORD flags) {
        return os.CreateFileA(path.c_str(), platform::kGenericRead | platform::kGenericWrite, 0,
                              platform::kOpenExisting, flags);
    };

    platform::HANDLE file = open(0);
    platform::WinUsbHandle usb = 0;
    EXPECT_FALSE(os.WinUsb_Initialize(entry("WinUsb_Initialize"), file, &usb));
    EXPECT_EQ(os.GetLastError(), platform::kErrorInvalidHandle);
    EXPECT_EQ(open(platform::kFileFlagOverlapped), platform::kInvalidHandleValue)
        << "one handle of a device at a time";
    EXPECT_EQ(os.GetLastError(), platform::kErrorAccessDenied);
    os.CloseHandle(file);
    file = open(platform::kFileFlagOverlapped);
    ASSERT_TRUE(os.WinUsb_Initialize(entry("WinUsb_Initialize"), file, &usb));

    std::uint8_t buffer[64] = {};
    platform::DWORD done = 0;
    platform::DWORD timeout = 250;
    const struct {
        bool ok;
        platform::DWORD error;
    } refusals[] = {
        {os.WinUsb_SetPipePolicy(entry("WinUsb_SetPipePolicy"), usb, 0x81,
                                 platform::kPipeTransferTimeout, 4, &timeout) != 0,
         platform::kErrorInvalidParameter},
        {os.WinUsb_SetPipePolicy(entry("WinUsb_SetPipePolicy"), usb, 0x86,
                                 platform::kPipeTransferTimeout, 2, &timeout) != 0,
         platform::kErrorInvalidParameter},
        {os.WinUsb_ReadPipe(entry("WinUsb_ReadPipe"), usb, 0x02, buffer, 64, &done) != 0,
         platform::kErrorInvalidParameter},
        {os.WinUsb_WritePipe(entry("WinUsb_WritePipe"), usb, 0x86, buffer, 64, &done) != 0,
         platform::kErrorInvalidParameter},
    };
    for (const auto& r : refusals)
        EXPECT_FALSE(r.ok);
    EXPECT_EQ(os.GetLastError(), platform::kErrorInvalidParameter);

    // The firmware's version query, read back in two pieces shorter than asked for.
    ASSERT_TRUE(os.WinUsb_SetPipePolicy(entry("WinUsb_SetPipePolicy"), usb, 0x86,
                                        platform::kPipeTransferTimeout, 4, &timeout));
    std::uint8_t query[1] = {0x10};
    ASSERT_TRUE(os.WinUsb_WritePipe(entry("WinUsb_WritePipe"), usb, 0x02, query, 1, &done));
    EXPECT_EQ(done, 1u);
    ASSERT_TRUE(os.WinUsb_ReadPipe(entry("WinUsb_ReadPipe"), usb, 0x86, buffer, 64, &done));
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(buffer[0], 5);

    // A board that stops answering: the read fails after the pipe's 250 ms.
    board.AddFault(sim::FaultRule{sim::kIoctlPipeRead, 0, platform::kErrorSemTimeout, true});
    const std::uint64_t before = world.Clock().NowMs();
    EXPECT_FALSE(os.WinUsb_ReadPipe(entry("WinUsb_ReadPipe"), usb, 0x86, buffer, 64, &done));
    EXPECT_EQ(os.GetLastError(), platform::kErrorSemTimeout);
    EXPECT_EQ(world.Clock().NowMs() - before, 250u);

    // A stall halts the endpoint until its pipe is reset.
    board.ClearFaults();
    board.AddFault(sim::FaultRule{sim::kIoctlPipeWrite, 0, platform::kErrorGenFailure, true});
    EXPECT_FALSE(os.WinUsb_WritePipe(entry("WinUsb_WritePipe"), usb, 0x02, query, 1, &done));
    EXPECT_FALSE(os.WinUsb_WritePipe(entry("WinUsb_WritePipe"), usb, 0x02, query, 1, &done))
        << "still halted";
    EXPECT_EQ(os.GetLastError(), platform::kErrorGenFailure);
    ASSERT_TRUE(os.WinUsb_ResetPipe(entry("WinUsb_ResetPipe"), usb, 0x02));
    EXPECT_TRUE(os.WinUsb_WritePipe(entry("WinUsb_WritePipe"), usb, 0x02, query, 1, &done));

    // The driver's requests mean nothing to a WinUSB device.
    platform::DWORD returned = 0;
    std::uint8_t version[6];
    EXPECT_FALSE(
        os.DeviceIoControl(file, sim::kIoctlDriverVersion, nullptr, 0, version, 6, &returned));
    EXPECT_EQ(os.GetLastError(), platform::kErrorInvalidFunction);
}
