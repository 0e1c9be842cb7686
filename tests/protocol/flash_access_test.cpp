#include "boarddata/images/images.h"
#include "protocol_test_support.h"

#include <algorithm>
#include <array>

namespace flashwell::testing {
namespace {

using protocol::FailureWord;

boarddata::FlashDataRecord SampleRecord() {
    boarddata::FlashDataRecord r = boarddata::DefaultFlashDataRecord();
    r.ProductName = "vexta/USB";
    r.SerialNumber = "A-1234";
    r.HardwareRevision() = {3, 1};
    r.BoardDate = {"12", "05", "2007"};
    for (std::size_t i = 0; i < r.TableC.size(); ++i)
        r.TableC[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return r;
}

TEST(LoadDspProgram, FlashProgramTravelsIn151PacketsAfterTheCommandAndPause) {
    ProtocolWorld w;
    ASSERT_TRUE(w.Open());
    std::vector<std::uint32_t> image(images::kDspImageBufferCells);
    const int n = images::BuildFlashProgramImage(image.data());
    const std::size_t mark = w.Mark();
    EXPECT_TRUE(w.proto.LoadDspProgram(0, image.data(), n));

    const auto writes = w.Writes(mark);
    ASSERT_EQ(writes.size(), 152u);
    EXPECT_EQ(writes[0], (Bytes{0x02, 0x01, 0x85}));
    std::vector<std::uint32_t> sent;
    for (std::size_t p = 1; p < writes.size(); ++p) {
        const std::size_t words = p < 151 ? 15 : 12;
        ASSERT_EQ(writes[p].size(), 4 + 4 * words) << p;
        EXPECT_EQ(writes[p][0], 0x06);
        EXPECT_EQ(writes[p][1], 0x05);
        EXPECT_EQ(writes[p][3], words);
        for (std::size_t i = 0; i < words; ++i)
            sent.push_back(std::uint32_t{writes[p][4 + 4 * i]} | writes[p][5 + 4 * i] << 8 |
                           writes[p][6 + 4 * i] << 16 | std::uint32_t{writes[p][7 + 4 * i]} << 24);
    }
    EXPECT_EQ(sent, std::vector<std::uint32_t>(image.begin(), image.begin() + n));
    // The pauses lie between the command and the first word packet.
    EXPECT_EQ(w.Sleeps(mark), (std::vector<std::uint64_t>{100, 500}));
    const auto& events = w.Rec().Events();
    const auto firstSleep =
        std::find_if(events.begin() + static_cast<std::ptrdiff_t>(mark), events.end(),
                     [](const auto& e) { return e.kind == sim::EventKind::Sleep; });
    ASSERT_NE(firstSleep, events.end());
    EXPECT_EQ(firstSleep[1].kind, sim::EventKind::Sleep);
    EXPECT_EQ(firstSleep[2].Pipe(), 0u);
    EXPECT_EQ(w.board.DspRuns(), sim::DspProgramKind::FlashAccess);

    // A board that is not open gets nothing.
    const std::size_t before = w.Mark();
    EXPECT_FALSE(w.proto.LoadDspProgram(1, image.data(), n));
    EXPECT_EQ(w.Mark(), before);
}

// A chunk of the program refused on the way leaves the DSP with a broken program: the load
// fails, though the chunks after it still go out.
TEST(LoadDspProgram, RefusedChunkFailsTheLoad) {
    ProtocolWorld w;
    ASSERT_TRUE(w.Open());
    std::vector<std::uint32_t> image(images::kDspImageBufferCells);
    const int n = images::BuildFlashProgramImage(image.data());
    // The host command and four chunks pass; the fifth chunk is refused, the board stays open.
    w.board.AddFault({sim::kIoctlPipeWrite, 5, platform::kErrorBusy, true});
    const std::size_t mark = w.Mark();
    const std::uint32_t writesBefore = w.board.RequestCount(sim::kIoctlPipeWrite);
    EXPECT_FALSE(w.proto.LoadDspProgram(0, image.data(), n));
    EXPECT_EQ(w.DebugLines(mark), std::vector<std::string>{"Fehler: Array_To_DSP fehlgeschlagen"});
    EXPECT_EQ(w.board.RequestCount(sim::kIoctlPipeWrite) - writesBefore, 152u);
}

// The boot program step: load the boot program over the running flash-access program and wait
// the step's 4000 ms; the program has written itself into the boot area by then.
TEST(LoadDspProgram, BootProgramWritesItselfWithinTheStepsWait) {
    for (bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted);
        FlashWorld w({}, 21);
        std::vector<std::uint32_t> image(images::kDspImageBufferCells);
        const int n = images::BuildBootProgramImage(image.data());
        EXPECT_TRUE(w.proto.LoadDspProgram(0, image.data(), n));
        EXPECT_EQ(OfVector(DecodeRequests(w.Writes()), 5).size(), 1u);
        EXPECT_EQ(w.board.DspRuns(), sim::DspProgramKind::BootProgram);
        if (interrupted) {
            w.world.Os().Sleep(800);
            w.world.PowerCycle(w.board);
            EXPECT_EQ(sim::Inspect(w.board).bootProgram, sim::BootAreaContent::Erased);
            continue;
        }
        for (int i = 0; i < 5; ++i)
            w.world.Os().Sleep(800);
        const sim::BoardReport r = sim::Inspect(w.board);
        EXPECT_EQ(r.bootProgram, sim::BootAreaContent::BootProgram);
        // The rest of bank 0 is untouched.
        EXPECT_EQ(r.fpga, sim::FpgaContent::Other);
    }
}

TEST(ParameterBlock, WrittenBlockIsReadBackFromTheFlash) {
    ProtocolWorld w;
    const boarddata::FlashDataRecord original = SampleRecord();
    sim::SetParameterBlock(w.board, original);
    ASSERT_TRUE(w.Open());
    std::vector<std::uint32_t> image(images::kDspImageBufferCells);
    w.proto.LoadDspProgram(0, image.data(), images::BuildFlashProgramImage(image.data()));
    w.world.Os().Sleep(1000);

    boarddata::FlashDataRecord read;
    w.proto.ReadFlashData(read, 0);
    ASSERT_TRUE(w.proto.FlashDataFromBoard(0));
    EXPECT_EQ(read, original);

    boarddata::FlashDataRecord changed = read;
    changed.ProductName = "vexta/USB 32";
    changed.FeatureFlags[2] |= boarddata::kCounter32ModeMask;
    ProgressLog progress;
    const std::size_t mark = w.Mark();
    EXPECT_EQ(w.proto.WriteFlashData(0, changed, progress.Callback()), 0u);
    EXPECT_EQ(progress.positions, (std::vector<std::int32_t>{0, 25, 50, 75, 100, 0}));

    boarddata::FlashDataBlock expected;
    expected.fill(0xFF);
    boarddata::PackFlashData(changed, expected);
    const auto requests = OfVector(DecodeRequests(w.Writes(mark)), 104);
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0].words, (std::vector<std::uint32_t>{3, 0xD02000}));
    const std::array<std::uint32_t, 4> addresses{0x0, 0x800, 0x1000, 0x1800};
    const std::array<std::uint32_t, 4> counts{2048, 2048, 2048, 1030};
    for (std::size_t b = 0; b < 4; ++b) {
        const auto& words = requests[b + 1].words;
        ASSERT_EQ(words.size(), 3 + counts[b]) << b;
        EXPECT_EQ(words[0], 2u);
        EXPECT_EQ(words[1], addresses[b]);
        EXPECT_EQ(words[2], counts[b]);
        EXPECT_TRUE(std::equal(words.begin() + 3, words.end(),
                               expected.begin() + static_cast<std::ptrdiff_t>(addresses[b])))
            << "block " << b;
    }

    boarddata::FlashDataRecord again;
    w.proto.ReadFlashData(again, 0);
    EXPECT_EQ(again, changed);
    EXPECT_EQ(sim::Inspect(w.board).parameterBlock, expected);
}

TEST(ParameterBlock, FailedEraseWritesNothingAndKeepsTheCache) {
    FlashWorld w;
    sim::SetParameterBlock(w.board, SampleRecord());
    boarddata::FlashDataRecord read;
    w.proto.ReadFlashData(read, 0);
    w.board.Faults().failErases = {1};
    ProgressLog progress;
    const std::size_t mark = w.Mark();
    boarddata::FlashDataRecord changed = read;
    changed.ProductName = "other";
    EXPECT_EQ(w.proto.WriteFlashData(0, changed, progress.Callback()), FailureWord);
    EXPECT_EQ(progress.positions, (std::vector<std::int32_t>{0, 0}));
    EXPECT_EQ(OfVector(DecodeRequests(w.Writes(mark)), 104).size(), 1u);
    EXPECT_EQ(sim::Inspect(w.board).parameterRecord, SampleRecord());
    const std::size_t cached = w.Mark();
    w.proto.ReadFlashData(read, 0);
    EXPECT_EQ(w.Mark(), cached);
}

TEST(ReadFlashCells, AnyFailedTransferFailsTheRead) {
    FlashWorld w;
    boarddata::FlashDataBlock zeros{};
    sim::SetParameterBlock(w.board, zeros);
    std::vector<std::uint32_t> cells(100);

    ASSERT_TRUE(w.proto.ReadFlashCells(0, 0xD01000, 100, cells.data()));
    EXPECT_TRUE(std::all_of(cells.begin(), cells.end(), [](auto c) { return c == 0; }));

    // A failed pipe read clears its chunk to 0, which looks like flash content.
    w.board.AddFault({sim::kIoctlPipeRead, 3, platform::kErrorBusy, true});
    EXPECT_FALSE(w.proto.ReadFlashCells(0, 0xD01000, 100, cells.data()));

    // A chunk whose request never went out is never read: its cells are not flash bytes.
    w.board.ClearFaults();
    w.board.AddFault({sim::kIoctlPipeWrite, 3, platform::kErrorBusy, true});
    EXPECT_FALSE(w.proto.ReadFlashCells(0, 0xD01000, 100, cells.data()));
    EXPECT_EQ(cells[30], 0u); // the first cell not reached, cut to 8 bits
    for (std::size_t i = 31; i < 45; ++i)
        EXPECT_EQ(cells[i], FailureWord) << i;

    // A word the board failed to deliver.
    w.board.ClearFaults();
    w.board.FailAnswerWords({50});
    EXPECT_FALSE(w.proto.ReadFlashCells(0, 0xD01000, 100, cells.data()));
}

TEST(ReadFlashData, UndeliveredCellGivesTheDefaultRecordOnce) {
    FlashWorld w;
    sim::SetParameterBlock(w.board, SampleRecord());
    w.board.FailAnswerWords({4000});
    boarddata::FlashDataRecord read;
    w.proto.ReadFlashData(read, 0);
    EXPECT_EQ(read, boarddata::DefaultFlashDataRecord());
    EXPECT_FALSE(w.proto.FlashDataFromBoard(0));
    const std::size_t mark = w.Mark();
    w.proto.ReadFlashData(read, 0);
    EXPECT_EQ(w.Mark(), mark);
}

TEST(WriteFlashBlock, RefusedBlockStopsTheParameterWrite) {
    FlashWorld w;
    boarddata::FlashDataRecord read;
    w.proto.ReadFlashData(read, 0);
    w.board.Faults().failBlockWrites = {3};
    ProgressLog progress;
    EXPECT_EQ(w.proto.WriteFlashData(0, SampleRecord(), progress.Callback()), FailureWord);
    ASSERT_EQ(w.ui.shown.size(), 1u);
    EXPECT_EQ(w.ui.shown[0].text, "Fehler beim Schreiben des 3. Blockes");
    EXPECT_EQ(w.ui.shown[0].kind, platform::MessageKind::Error);
    EXPECT_EQ(progress.positions, (std::vector<std::int32_t>{0, 25, 50, 75, 0}));
    // Blocks 1 and 2 arrived, block 3 was refused whole, block 4 was never sent.
    const sim::BoardReport r = sim::Inspect(w.board);
    boarddata::FlashDataBlock expected;
    expected.fill(0xFF);
    boarddata::PackFlashData(SampleRecord(), expected);
    EXPECT_TRUE(
        std::equal(r.parameterBlock.begin(), r.parameterBlock.begin() + 0x1000, expected.begin()));
    EXPECT_TRUE(std::all_of(r.parameterBlock.begin() + 0x1000, r.parameterBlock.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
    // The cache no longer claims to know the block.
    const std::size_t mark = w.Mark();
    w.proto.ReadFlashData(read, 0);
    EXPECT_GT(w.Mark(), mark);
}

// The status that ends a block write must arrive whole: an empty answer is no 0.
TEST(WriteFlashBlock, StatusCutShortIsNoSuccess) {
    FlashWorld w;
    const std::vector<std::uint32_t> cells(16, 0xA5);
    ASSERT_TRUE(w.proto.EraseFlashSector(0, protocol::address::ParameterBlockErase));
    ASSERT_TRUE(w.proto.WriteFlashBlock(0, 0, 16, cells.data()));

    ASSERT_TRUE(w.proto.EraseFlashSector(0, protocol::address::ParameterBlockErase));
    CutNextRead::Install(w.board, 0);
    const std::size_t mark = w.Mark();
    EXPECT_FALSE(w.proto.WriteFlashBlock(0, 0, 16, cells.data()));
    EXPECT_EQ(w.DebugLines(mark),
              std::vector<std::string>{"Fehler: IRQ DSP_To_Long fehlgeschlagen"});
}

} // namespace
} // namespace flashwell::testing
