#include "device_test_support.h"

using namespace flashwell;
using namespace flashwell::testing;

TEST(BoardTable, IndicesOutsideTheTableAreRefused) {
    DeviceWorld w;
    w.world.AddBoard();
    for (int index : {-1, 17}) {
        EXPECT_EQ(w.boards.OpenBoard(index), 0);
        EXPECT_EQ(w.boards.CloseBoard(index), 0);
        EXPECT_FALSE(w.boards.IsBoardOpen(index));
        EXPECT_EQ(w.boards.DropBoardOnDeviceLoss(index), 0);
        EXPECT_EQ(w.boards.Adapter(index), nullptr);
    }
    EXPECT_EQ(w.rec().Size(), 0u);
}

TEST(BoardTable, NestedOpensSearchAndQueryOnce) {
    DeviceWorld w;
    w.world.AddBoard();
    int probes = 0;
    w.boards.SetOpenedHook([&](int board) {
        EXPECT_EQ(board, 0);
        ++probes;
    });
    EXPECT_EQ(w.boards.OpenBoard(0), 1);
    EXPECT_EQ(w.boards.OpenBoard(0), 1);
    EXPECT_EQ(w.Count(EventKind::GetClassDevs), 1u);
    EXPECT_EQ(w.rec().CountRequests(device::ioctl::DriverVersion), 1u);
    EXPECT_EQ(probes, 2); // the probe itself answers from its own state the second time

    EXPECT_EQ(w.boards.CloseBoard(0), 1);
    EXPECT_TRUE(w.boards.IsBoardOpen(0));
    EXPECT_EQ(w.Count(EventKind::CloseHandle), 0u);
    EXPECT_EQ(w.boards.CloseBoard(0), 0);
    EXPECT_FALSE(w.boards.IsBoardOpen(0));
    EXPECT_EQ(w.Count(EventKind::CloseHandle), 1u);
    EXPECT_EQ(w.world.Windows().OpenHandleCount(), 0u);
    EXPECT_EQ(w.boards.CloseBoard(0), 0);
    EXPECT_EQ(w.boards.CloseBoard(5), 0) << "never opened";
}

TEST(BoardTable, DeviceLossClosesOnlyForGoneErrors) {
    DeviceWorld w;
    w.world.AddBoard();
    ASSERT_EQ(w.boards.OpenBoard(0), 1);
    ASSERT_EQ(w.boards.OpenBoard(0), 1);
    w.world.Os().SetLastError(platform::kErrorInvalidParameter);
    w.boards.DropBoardOnDeviceLoss(0);
    EXPECT_TRUE(w.boards.IsBoardOpen(0));
    w.world.Os().SetLastError(platform::kErrorDeviceNotConnected);
    w.boards.DropBoardOnDeviceLoss(0);
    EXPECT_FALSE(w.boards.IsBoardOpen(0)) << "whatever the nesting";
    EXPECT_EQ(w.boards.CloseBoard(0), 0);
    EXPECT_EQ(w.world.Windows().OpenHandleCount(), 0u);
}

TEST(BoardTable, MissingBoardIsFoundOnceAttached) {
    DeviceWorld w;
    EXPECT_EQ(w.boards.OpenBoard(0), 0);
    ASSERT_NE(w.boards.Adapter(0), nullptr);
    EXPECT_FALSE(w.boards.IsBoardOpen(0));
    w.world.AddBoard();
    EXPECT_EQ(w.boards.OpenBoard(0), 1);
}

TEST(BoardTable, UnpluggedBoardIsSearchedAnewAfterReattach) {
    DeviceWorld w;
    sim::Board& board = w.world.AddBoard();
    ASSERT_EQ(w.boards.OpenBoard(0), 1);
    w.world.Vanish(board, platform::kErrorDeviceNotConnected);
    std::uint8_t status[1] = {0xFF};
    EXPECT_EQ(w.boards.Adapter(0)->Transfer(status, 1, 1), -99);
    EXPECT_FALSE(w.boards.IsBoardOpen(0));
    EXPECT_EQ(w.boards.OpenBoard(0), 0);
    w.world.Reattach(board);
    EXPECT_EQ(w.boards.OpenBoard(0), 1);
}

TEST(BoardTable, FirmwareVersionSurvivesAFailedQuery) {
    DeviceWorld w;
    sim::BoardConfig config;
    config.firmwareVersion = {5, 7, 3};
    sim::Board& board = w.world.AddBoard(config);
    ASSERT_EQ(w.boards.OpenBoard(0), 1);
    EXPECT_EQ(w.boards.Adapter(0)->FirmwareVersion, 0x050703u);
    EXPECT_EQ(w.boards.Adapter(0)->Protocol, 1);
    w.boards.CloseBoard(0);

    // Reads fail with a "busy" error that keeps the device open: the version stays.
    board.AddFault({device::ioctl::ReadPipe, 0, platform::kErrorBusy, false});
    ASSERT_EQ(w.boards.OpenBoard(0), 1);
    EXPECT_EQ(w.boards.Adapter(0)->FirmwareVersion, 0x050703u);
    EXPECT_EQ(w.boards.Adapter(0)->Protocol, 1);
    EXPECT_TRUE(w.boards.IsBoardOpen(0));
}

TEST(BoardTable, RejectedVersionRequestClosesButOpenReportsSuccess) {
    DeviceWorld w;
    sim::BoardConfig config;
    config.interfaceVersion.reset(); // an old driver fails the request with error 1
    w.world.AddBoard(config);
    int probes = 0;
    w.boards.SetOpenedHook([&](int) { ++probes; });
    EXPECT_EQ(w.boards.OpenBoard(0), 1);
    EXPECT_FALSE(w.boards.IsBoardOpen(0));
    EXPECT_EQ(probes, 0);
    // Later steps of the query find the adapter closed and send nothing.
    EXPECT_EQ(w.rec().CountRequests(device::ioctl::WritePipe), 0u);
    EXPECT_EQ(w.rec().CountRequests(device::ioctl::BoardInfo), 0u);
}

TEST(BoardTable, Index16OpensLikeAnyOther) {
    DeviceWorld w;
    for (int i = 0; i < 17; ++i)
        w.world.AddBoard();
    EXPECT_EQ(w.boards.OpenBoard(16), 1);
    EXPECT_TRUE(w.boards.IsBoardOpen(16));
    EXPECT_EQ(w.boards.CloseBoard(16), 0);
}
