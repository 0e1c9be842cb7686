#include "boarddata/images/images.h"
#include "protocol_test_support.h"
#include "testkit/packed_block.h"

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
    sim::SetParameterBlock(w.board, PackedBlock(original));
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
    sim::SetParameterBlock(w.board, PackedBlock(SampleRecord()));
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
    EXPECT_EQ(sim::Inspect(w.board).parameterBlock, PackedBlock(SampleRecord()));
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
    sim::SetParameterBlock(w.board, PackedBlock(SampleRecord()));
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

namespace flashwell::testing {
namespace {

// Every field the tool writes, read back from the board with the board's own field table: a
// field at a wrong place or in a wrong byte order is a wrong field on the board.
TEST(ParameterBlock, EveryFieldLandsAtItsPlaceOnTheBoard) {
    FlashWorld w;
    boarddata::FlashDataRecord r = boarddata::DefaultFlashDataRecord();
    for (std::size_t s = 0; s < 3; ++s) {
        auto& stamp = r.RevisionStamps[s];
        const auto v = static_cast<std::uint8_t>(0x10 * (s + 1));
        stamp.Code1 = {v, static_cast<std::uint8_t>(v + 1)};
        stamp.Code2 = {static_cast<std::uint8_t>(v + 2), static_cast<std::uint8_t>(v + 3)};
        stamp.Revision = {static_cast<std::uint8_t>(v + 4), static_cast<std::uint8_t>(v + 5)};
        stamp.Day = std::to_string(11 + s);
        stamp.Month = "0" + std::to_string(1 + s);
        stamp.Year = "199" + std::to_string(s);
    }
    for (std::size_t g = 0; g < 2; ++g) {
        auto& info = r.InfoGroups[g];
        info.Text6 = g == 0 ? "SIXCHR" : "six";
        info.ByteA = static_cast<std::uint8_t>(0xA0 + g);
        info.Text4 = g == 0 ? "FOUR" : "4";
        info.ByteB = static_cast<std::uint8_t>(0xB0 + g);
        for (std::size_t i = 0; i < 6; ++i)
            info.Values[i] = static_cast<std::uint32_t>(0x100000 * (g + 1) + 0x1011 * i);
    }
    r.MiscByte = 0x5C;
    r.MiscWord = 0x1234;
    r.MiscValue = 0xABCDEF;
    for (std::size_t c = 0; c < 6; ++c)
        r.ChannelGroups[c] = {static_cast<std::uint8_t>(c + 1), static_cast<std::uint8_t>(c + 7),
                              static_cast<std::uint16_t>(0x0100 * (c + 1) + c)};
    r.ProductName = "vexta/USB";
    r.Manufacturer = "Maker";
    r.Vendor = "Seller";
    r.Description = "Board";
    r.SerialNumber = "2003-K7A-1024-9-0221";
    r.Customer = "Customer";
    r.Reference = "REF";
    r.BoardDate = {"24", "12", "2006"};
    for (std::size_t i = 0; i < 10; ++i) {
        r.OptionBytes[i] = static_cast<std::uint8_t>(0x30 + i);
        r.FeatureFlags[i] = static_cast<std::uint8_t>(0x40 + i);
    }
    for (std::size_t i = 0; i < r.TableA.size(); ++i)
        r.TableA[i] = static_cast<std::uint8_t>(i + 1);
    for (std::size_t i = 0; i < r.TableB.size(); ++i)
        r.TableB[i] = static_cast<std::uint8_t>(i * 3 + 2);
    for (std::size_t i = 0; i < r.TableC.size(); ++i)
        r.TableC[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (std::size_t i = 0; i < r.QuadBytes.size(); ++i)
        r.QuadBytes[i] = static_cast<std::uint8_t>(0xC0 + i);
    for (std::size_t i = 0; i < 16; ++i) {
        r.WordTable[i] = static_cast<std::uint16_t>(0x0102 * (i + 1));
        r.ValueTable[i] = static_cast<std::uint32_t>(0x010203 * (i + 1));
    }
    for (std::size_t i = 0; i < r.TableD.size(); ++i)
        r.TableD[i] = static_cast<std::uint8_t>(0xFF - i);
    r.CurveHeader = 0x0A0B0C;
    for (std::size_t i = 0; i < r.Curve.size(); ++i)
        r.Curve[i] = static_cast<std::uint32_t>((i * 40503u + 17) & 0xFFFFFF);

    ProgressLog progress;
    ASSERT_EQ(w.proto.WriteFlashData(0, r, progress.Callback()), 0u);
    const sim::ParameterBlock b = sim::Inspect(w.board).parameterBlock;
    using sim::Number;
    using sim::Numbers;
    using sim::Raw;
    using sim::Text;
    const auto bytes = [](std::span<const std::uint8_t> s) {
        return std::vector<std::uint8_t>(s.begin(), s.end());
    };
    for (std::size_t s = 0; s < 3; ++s) {
        const std::string p = "RevisionStamps[" + std::to_string(s) + "].";
        const auto& stamp = r.RevisionStamps[s];
        EXPECT_EQ(bytes(Raw(b, p + "Code1")), bytes(stamp.Code1)) << s;
        EXPECT_EQ(bytes(Raw(b, p + "Code2")), bytes(stamp.Code2)) << s;
        EXPECT_EQ(bytes(Raw(b, p + "Revision")), bytes(stamp.Revision)) << s;
        EXPECT_EQ(Text(b, p + "Day"), stamp.Day);
        EXPECT_EQ(Text(b, p + "Month"), stamp.Month);
        EXPECT_EQ(Text(b, p + "Year"), stamp.Year);
    }
    for (std::size_t g = 0; g < 2; ++g) {
        const std::string p = "InfoGroups[" + std::to_string(g) + "].";
        const auto& info = r.InfoGroups[g];
        EXPECT_EQ(Text(b, p + "Text6"), info.Text6);
        EXPECT_EQ(Number(b, p + "ByteA"), info.ByteA);
        EXPECT_EQ(Text(b, p + "Text4"), info.Text4);
        EXPECT_EQ(Number(b, p + "ByteB"), info.ByteB);
        EXPECT_EQ(Numbers(b, p + "Values"),
                  std::vector<std::uint32_t>(info.Values.begin(), info.Values.end()));
    }
    EXPECT_EQ(Number(b, "MiscByte"), r.MiscByte);
    EXPECT_EQ(Number(b, "MiscWord"), r.MiscWord);
    EXPECT_EQ(Number(b, "MiscValue"), r.MiscValue);
    for (std::size_t c = 0; c < 6; ++c) {
        const std::string p = "ChannelGroups[" + std::to_string(c) + "].";
        EXPECT_EQ(Number(b, p + "Count"), r.ChannelGroups[c].Count) << c;
        EXPECT_EQ(Number(b, p + "Kind"), r.ChannelGroups[c].Kind) << c;
        EXPECT_EQ(Number(b, p + "Param"), r.ChannelGroups[c].Param) << c;
    }
    EXPECT_EQ(Text(b, "ProductName"), r.ProductName);
    EXPECT_EQ(Text(b, "Manufacturer"), r.Manufacturer);
    EXPECT_EQ(Text(b, "Vendor"), r.Vendor);
    EXPECT_EQ(Text(b, "Description"), r.Description);
    EXPECT_EQ(Text(b, "SerialNumber"), r.SerialNumber);
    EXPECT_EQ(Text(b, "Customer"), r.Customer);
    EXPECT_EQ(Text(b, "Reference"), r.Reference);
    EXPECT_EQ(Text(b, "BoardDate.Day"), r.BoardDate.Day);
    EXPECT_EQ(Text(b, "BoardDate.Month"), r.BoardDate.Month);
    EXPECT_EQ(Text(b, "BoardDate.Year"), r.BoardDate.Year);
    EXPECT_EQ(bytes(Raw(b, "OptionBytes")), bytes(r.OptionBytes));
    EXPECT_EQ(bytes(Raw(b, "FeatureFlags")), bytes(r.FeatureFlags));
    EXPECT_EQ(bytes(Raw(b, "TableA")), bytes(r.TableA));
    EXPECT_EQ(bytes(Raw(b, "TableB")), bytes(r.TableB));
    EXPECT_EQ(bytes(Raw(b, "TableC")), bytes(r.TableC));
    EXPECT_EQ(bytes(Raw(b, "QuadBytes")), bytes(r.QuadBytes));
    EXPECT_EQ(Numbers(b, "WordTable"),
              std::vector<std::uint32_t>(r.WordTable.begin(), r.WordTable.end()));
    EXPECT_EQ(Numbers(b, "ValueTable"),
              std::vector<std::uint32_t>(r.ValueTable.begin(), r.ValueTable.end()));
    EXPECT_EQ(bytes(Raw(b, "TableD")), bytes(r.TableD));
    EXPECT_EQ(Number(b, "CurveHeader"), r.CurveHeader);
    EXPECT_EQ(Numbers(b, "Curve"), std::vector<std::uint32_t>(r.Curve.begin(), r.Curve.end()));
}

// The flash-access program's address map: blocks start on block boundaries of their area, reads
// stay inside the window; anything else is refused and changes nothing.
TEST(FlashAccessProgram, RefusesAddressesOutsideItsMap) {
    FlashWorld w;
    const sim::ParameterBlock before = sim::Inspect(w.board).parameterBlock;
    const std::vector<std::uint32_t> cells(16, 0x00);
    EXPECT_FALSE(w.proto.WriteFlashBlock(0, 0x400, 16, cells.data()));
    EXPECT_FALSE(w.proto.WriteFlashBlock(0, 0x1E010, 16, cells.data()));
    const auto& ops = w.board.FlashOperations();
    ASSERT_GE(ops.size(), 2u);
    EXPECT_EQ(ops[ops.size() - 2].status, sim::FlashAccessDspProgram::kStatusRefused);
    EXPECT_EQ(ops.back().status, sim::FlashAccessDspProgram::kStatusRefused);
    EXPECT_EQ(sim::Inspect(w.board).parameterBlock, before);

    std::vector<std::uint32_t> read(16);
    EXPECT_FALSE(w.proto.ReadFlashCells(0, 0xCFFFF8, 16, read.data()));
    EXPECT_FALSE(w.proto.ReadFlashCells(0, 0xD3FFF8, 16, read.data()));
    EXPECT_TRUE(w.proto.ReadFlashCells(0, 0xD3FFF0, 16, read.data()));
}

// An erase answers only when the sector is erased: the host's read of its status waits that
// long, and the sector is erased before the status comes.
TEST(EraseFlashSector, StatusComesOnlyWhenTheSectorIsErased) {
    sim::BoardConfig slow;
    slow.timing.eraseMs = 1700;
    FlashWorld w(slow);
    const std::uint64_t before = w.world.Clock().NowMs();
    EXPECT_TRUE(w.proto.EraseFlashSector(0, 0xD02000));
    // The wait for the status, then the host's own 2000 ms after every erase.
    EXPECT_GE(w.world.Clock().NowMs() - before, 1700u + 2000u);
    EXPECT_LT(w.world.Clock().NowMs() - before, 1700u + 2000u + 500u);
    EXPECT_TRUE(sim::Inspect(w.board).parameterBlockErased);
}

} // namespace
} // namespace flashwell::testing
