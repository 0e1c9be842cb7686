// The simulated board takes time for its work: requests that come before it is ready are lost,
// as on the hardware. The host keeps its pauses; these tests send the same traffic without them
// and show that the board then does not do what was asked.
#include "boarddata/images/images.h"
#include "protocol_test_support.h"
#include "sim/scenario/scenario.h"

#include <array>
#include <vector>

namespace flashwell::testing {
namespace {

std::vector<std::uint32_t> FlashProgram() {
    std::vector<std::uint32_t> image(images::kDspImageBufferCells);
    image.resize(static_cast<std::size_t>(images::BuildFlashProgramImage(image.data())));
    return image;
}

TEST(BoardTiming, ProgramWordsBeforeTheLoaderIsReadyAreLost) {
    ProtocolWorld w;
    ASSERT_TRUE(w.Open());
    const auto image = FlashProgram();
    w.proto.TriggerHostCommand(0, 5);
    w.world.Os().Sleep(400);
    w.proto.Array_To_DSP(0, image.data(), static_cast<std::int32_t>(image.size()));
    w.world.Os().Sleep(1000);
    EXPECT_NE(w.board.DspRuns(), sim::DspProgramKind::FlashAccess);

    // With the loader's own pause the same words start the program.
    ProtocolWorld ok;
    ASSERT_TRUE(ok.Open());
    ok.proto.TriggerHostCommand(0, 5);
    ok.world.Os().Sleep(600);
    ok.proto.Array_To_DSP(0, image.data(), static_cast<std::int32_t>(image.size()));
    ok.world.Os().Sleep(1000);
    EXPECT_EQ(ok.board.DspRuns(), sim::DspProgramKind::FlashAccess);
}

TEST(BoardTiming, AFreshProgramTakesNoRequestBeforeItRuns) {
    ProtocolWorld w;
    ASSERT_TRUE(w.Open());
    const auto image = FlashProgram();
    ASSERT_TRUE(w.proto.LoadDspProgram(0, image.data(), static_cast<std::int32_t>(image.size())));
    w.world.Os().Sleep(500);
    // The bank switch is lost: the program is not running yet.
    EXPECT_EQ(w.proto.SelectFlashBank(0, 1), protocol::FailureWord);
    EXPECT_EQ(w.board.Flash().SelectedBank(), 0);
    w.world.Os().Sleep(500);
    EXPECT_EQ(w.proto.SelectFlashBank(0, 1), 0u);
    EXPECT_EQ(w.board.Flash().SelectedBank(), 1);
}

// Writes block 0 of the parameter block (address word 0) with the given pauses, the way
// WriteFlashBlock does, and returns the status word it reads.
std::int32_t WriteBlock(FlashWorld& w, std::span<const std::uint32_t> cells, unsigned prepareMs,
                        unsigned writeMs) {
    const std::array<std::uint32_t, 2> args{0, static_cast<std::uint32_t>(cells.size())};
    std::int32_t none = 0;
    w.proto.DspCallWithWord(0, 104, 2, args, {}, none);
    w.world.Os().Sleep(prepareMs);
    for (std::uint32_t c : cells)
        w.proto.WriteHostPortWord(0, c);
    w.world.Os().Sleep(writeMs);
    return w.proto.DSP_To_Long(0);
}

TEST(BoardTiming, BlockWordsWaitForThePreparedBlockAndTheStatusForTheWrite) {
    const std::vector<std::uint32_t> cells{0x11, 0x22, 0x33};
    FlashWorld early;
    const std::size_t mark = early.board.FlashOperations().size();
    // Words sent at once are lost; the block never completes.
    WriteBlock(early, cells, 0, 2000);
    EXPECT_EQ(early.board.FlashOperations().size(), mark);

    FlashWorld hasty;
    // The block is written but its status is not ready after 1000 ms: the word read is missing.
    EXPECT_EQ(static_cast<std::uint32_t>(WriteBlock(hasty, cells, 1000, 1000)),
              protocol::FailureWord);
    // Nor does the busy program take the next request.
    EXPECT_EQ(hasty.proto.SelectFlashBank(0, 1), protocol::FailureWord);
    EXPECT_EQ(hasty.board.Flash().SelectedBank(), 0);

    FlashWorld patient;
    EXPECT_EQ(WriteBlock(patient, cells, 1000, 2000), 0);
    const auto block = patient.board.Flash().Range(0, 0x1000, 3);
    EXPECT_EQ(std::vector<std::uint8_t>(block.begin(), block.end()),
              (std::vector<std::uint8_t>{0x11, 0x22, 0x33}));
}

TEST(BoardTiming, ScenarioDurationsTightenOrLoosenTheBoard) {
    const auto parsed = sim::ParseScenario(
        R"({"boards": [{"timing": {"blockWriteMs": 2500, "eepromWriteCycleMs": 5}}]})", "t.json");
    ASSERT_TRUE(parsed.scenario) << parsed.error;
    sim::SimWorld world;
    sim::ApplyScenario(world, *parsed.scenario);
    const sim::BoardTiming& timing = world.GetBoard(0).Config().timing;
    EXPECT_EQ(timing.blockWriteMs, 2500u);
    EXPECT_EQ(timing.eepromWriteCycleMs, 5u);
    EXPECT_EQ(timing.blockPrepareMs, sim::BoardTiming{}.blockPrepareMs);

    // A board slower than the host's pause: the status is not there when the host reads it.
    sim::BoardConfig slow;
    slow.timing = timing;
    FlashWorld w(slow);
    const std::vector<std::uint32_t> cells{0x44};
    EXPECT_EQ(static_cast<std::uint32_t>(WriteBlock(w, cells, 1000, 2000)), protocol::FailureWord);
}

} // namespace
} // namespace flashwell::testing
