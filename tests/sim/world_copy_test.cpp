// A copied machine goes on from where the original was, and the two stay apart from then on:
// the copy's programs and firmware work on the copy's board, not on the board they came from.
#include "sim_test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace flashwell::sim {
namespace {

using namespace testing;
using platform::HANDLE;

std::vector<std::uint8_t> Word(std::uint32_t w) {
    std::vector<std::uint8_t> packet{0x06, 0x05, 0x00, 0x01};
    const auto bytes = Le32Bytes(w);
    packet.insert(packet.end(), bytes.begin(), bytes.end());
    return packet;
}

// Asks the flash-access program for the SubID; the answer word is left in the DSP's FIFO.
void AskSubId(platform::OsPort& os, HANDLE h) {
    ASSERT_TRUE(WritePipe(os, h, {0x02, 0x01, 0x80 | 65, 0x00}));
    ASSERT_TRUE(WritePipe(os, h, Word(127)));
}

std::vector<std::uint8_t> TakeWord(platform::OsPort& os, HANDLE h) {
    EXPECT_TRUE(WritePipe(os, h, {0x07, 0x05, 0x00, 0x01}));
    return ReadPipe(os, h, 4);
}

// A board running the flash-access program (SubID 3), open, five seconds into the machine's life.
struct WorldCopy : ::testing::Test {
    SimWorld original;
    Board* board = nullptr;
    HANDLE h = 0;

    void SetUp() override {
        BoardConfig config;
        config.dspAtPowerUp = DspStartup::FlashAccess;
        config.subId = 3;
        board = &original.AddBoard(config);
        h = Open(original.Os(), board->DevicePath());
        ASSERT_NE(h, platform::kInvalidHandleValue);
        board->MutableEeprom()[0x100] = 0x11;
        original.Clock().Advance(5000);
    }
};

TEST_F(WorldCopy, GoesOnFromTheSamePointAndStaysApart) {
    Board& board = *this->board;
    // Work in flight at the moment of the copy: an answer word waiting in the DSP, the version
    // bytes waiting in the firmware.
    AskSubId(original.Os(), h);
    ASSERT_TRUE(WritePipe(original.Os(), h, {0x10}));

    SimWorld copy(original);
    Board& twin = copy.GetBoard(0);
    EXPECT_EQ(copy.Clock().NowMs(), 5000u);
    EXPECT_EQ(copy.Windows().IoControlCount(), original.Windows().IoControlCount());
    EXPECT_EQ(copy.Recorder().Events().size(), original.Recorder().Events().size());

    // The copy's handle is open on its own board, with the same answers queued.
    EXPECT_EQ(ReadPipe(copy.Os(), h, 3), (std::vector<std::uint8_t>{5, 8, 1}));
    EXPECT_EQ(ReadPipe(original.Os(), h, 3), (std::vector<std::uint8_t>{5, 8, 1}));
    EXPECT_EQ(TakeWord(copy.Os(), h), Le32Bytes(3));
    EXPECT_EQ(TakeWord(original.Os(), h), Le32Bytes(3));

    // The copied programs answer from the copied board.
    twin.MutableConfig().subId = 9;
    twin.MutableConfig().highSpeed = true;
    AskSubId(copy.Os(), h);
    AskSubId(original.Os(), h);
    EXPECT_EQ(TakeWord(copy.Os(), h), Le32Bytes(9));
    EXPECT_EQ(TakeWord(original.Os(), h), Le32Bytes(3));
    ASSERT_TRUE(WritePipe(copy.Os(), h, {0xFF}));
    ASSERT_TRUE(WritePipe(original.Os(), h, {0xFF}));
    EXPECT_EQ(ReadPipe(copy.Os(), h, 1), (std::vector<std::uint8_t>{0x80}));
    EXPECT_EQ(ReadPipe(original.Os(), h, 1), (std::vector<std::uint8_t>{0x00}));

    // Memories, time and the bus are each machine's own.
    ASSERT_TRUE(WritePipe(copy.Os(), h, {0x55, 0x01, 0x00, 0x22}));
    EXPECT_EQ(twin.Eeprom()[0x100], 0x22);
    EXPECT_EQ(board.Eeprom()[0x100], 0x11);
    copy.Clock().Advance(1000);
    EXPECT_EQ(original.Clock().NowMs(), 5000u);
    copy.Vanish(twin);
    EXPECT_FALSE(WritePipe(copy.Os(), h, {0x10}));
    EXPECT_EQ(copy.Os().GetLastError(), platform::kErrorDeviceNotConnected);
    EXPECT_TRUE(original.Windows().IsAttached(board));
    EXPECT_TRUE(WritePipe(original.Os(), h, {0x10}));

    // Re-enumeration and power cycles reach the copy's Windows, not the original's.
    copy.Reattach(twin);
    copy.PowerCycle(twin);
    EXPECT_TRUE(copy.Windows().IsAttached(twin));
    EXPECT_EQ(original.Windows().OpenHandleCount(board), 1u);
}

TEST_F(WorldCopy, AssignmentTakesTheOtherMachineBackWhereItWas) {
    Board& board = *this->board;

    SimWorld live(original);
    // The live machine goes its own way: pulled, rewritten, later, another SubID.
    Board& twin = live.GetBoard(0);
    ASSERT_TRUE(WritePipe(live.Os(), h, {0x55, 0x01, 0x00, 0x22}));
    twin.MutableConfig().subId = 9;
    live.Clock().Advance(1000);
    live.Vanish(twin);

    live = original;
    EXPECT_EQ(&live.GetBoard(0), &twin);
    EXPECT_EQ(live.Clock().NowMs(), 5000u);
    EXPECT_TRUE(live.Windows().IsAttached(twin));
    EXPECT_EQ(twin.Eeprom()[0x100], board.Eeprom()[0x100]);
    AskSubId(live.Os(), h);
    EXPECT_EQ(TakeWord(live.Os(), h), Le32Bytes(3));
    // ... and is its own machine again afterwards.
    twin.MutableConfig().highSpeed = true;
    ASSERT_TRUE(WritePipe(live.Os(), h, {0xFF}));
    EXPECT_EQ(ReadPipe(live.Os(), h, 1), (std::vector<std::uint8_t>{0x80}));
    ASSERT_TRUE(WritePipe(original.Os(), h, {0xFF}));
    EXPECT_EQ(ReadPipe(original.Os(), h, 1), (std::vector<std::uint8_t>{0x00}));
}

TEST_F(WorldCopy, RefusesProgramsItCannotCopy) {
    board->Dsp().LoadProgram(std::make_unique<DspProgram>());
    EXPECT_THROW(SimWorld{original}, std::logic_error);
}

} // namespace
} // namespace flashwell::sim
