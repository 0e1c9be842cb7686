#include "sim_test_support.h"

#include <gtest/gtest.h>

namespace flashwell::sim {
namespace {

using namespace testing;

// One discovery and one exchange as the tool makes them, checked event by event.
TEST(SimRecorder, KeepsEveryCallInOrderWithTimes) {
    SimWorld world;
    Board& board = world.AddBoard();
    platform::OsPort& os = world.Os();
    SetupApi api(os);
    ListPaths(os, api);
    const std::size_t mark = world.Recorder().Mark();
    const platform::HANDLE h = Open(os, board.DevicePath());
    os.Sleep(100);
    WritePipe(os, h, {0xFF});
    ReadPipe(os, h, 1);
    os.OutputDebugStringA("[ADAPTER0] protocol: 2");
    os.CloseHandle(h);

    const auto& events = world.Recorder().Events();
    std::vector<EventKind> kinds;
    for (const TrafficEvent& e : events)
        kinds.push_back(e.kind);
    const std::vector<EventKind> expected{EventKind::LoadLibrary,
                                          EventKind::GetProcAddress,
                                          EventKind::GetProcAddress,
                                          EventKind::GetProcAddress,
                                          EventKind::GetProcAddress,
                                          EventKind::GetClassDevs,
                                          EventKind::EnumDeviceInterfaces,
                                          EventKind::GetDeviceInterfaceDetail,
                                          EventKind::GetDeviceInterfaceDetail,
                                          EventKind::EnumDeviceInterfaces,
                                          EventKind::DestroyDeviceInfoList,
                                          EventKind::CreateFile,
                                          EventKind::Sleep,
                                          EventKind::IoControl,
                                          EventKind::IoControl,
                                          EventKind::DebugOutput,
                                          EventKind::CloseHandle};
    EXPECT_EQ(kinds, expected) << world.Recorder().Dump();

    EXPECT_EQ(events[0].name, "C:\\WINDOWS\\system32\\SETUPAPI.DLL");
    EXPECT_EQ(events[5].code, 0x12u);
    EXPECT_EQ(events[6].name, board.DevicePath());
    EXPECT_FALSE(events[7].ok);
    EXPECT_EQ(events[7].error, platform::kErrorInsufficientBuffer);
    EXPECT_FALSE(events[9].ok);
    EXPECT_EQ(events[9].error, platform::kErrorNoMoreItems);
    EXPECT_EQ(events[5].handle, events[10].handle);

    EXPECT_EQ(events[mark].timeMs, 0u);
    EXPECT_EQ(events[mark + 2].timeMs, 100u);
    EXPECT_EQ(events[mark + 2].Pipe(), 0u);
    EXPECT_EQ(events[mark + 3].output, std::vector<std::uint8_t>{0x00});
    EXPECT_EQ(events[mark + 4].name, "[ADAPTER0] protocol: 2");
    EXPECT_EQ(world.Recorder().OfKind(EventKind::IoControl, mark).size(), 2u);
    EXPECT_EQ(world.Recorder().SleptMs(mark), 100u);

    world.Recorder().Clear();
    EXPECT_EQ(world.Recorder().Size(), 0u);
}

} // namespace
} // namespace flashwell::sim
