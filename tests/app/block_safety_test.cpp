// The parameter block through device loss, refused writes and restores: whatever happens in the
// middle of its write, a copy of what the board held is on the disk and goes back on the board.
#include "app/block_backup.h"
#include "app/block_mark.h"
#include "app/board_summary.h"
#include "boarddata/images/images.h"
#include "sim/board_contents.h"
#include "sim/controller_firmware.h"
#include "sim/scenario/scenario.h"
#include "testkit/app_world.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

using namespace flashwell;
using flashwell::testing::AppWorld;

struct DefaultBoard : AppWorld {
    DefaultBoard() {
        sim::ApplyScenario(world, sim::DefaultScenario());
        board = &world.GetBoard(0);
        original = sim::Inspect(*board).parameterBlock;
    }
    void OnlyParameterBlock() {
        for (app::Control* b : {&form->CheckBox1, &form->CheckBox2, &form->CheckBox3,
                                &form->CheckBox4, &form->CheckBox6})
            b->checked = b == &form->CheckBox6;
    }
    std::string LoggedAfter(const std::string& prefix) const {
        for (const std::string& line : Log())
            if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
        return {};
    }
    // Writes after the last erase of the parameter block's sector; -1 before that erase.
    int BlocksSinceErase() const {
        int writes = -1;
        for (const sim::FlashOperation& op : board->FlashOperations()) {
            if (op.kind == sim::FlashOperation::Kind::Erase && op.address == 0xD02000)
                writes = 0;
            else if (op.kind == sim::FlashOperation::Kind::Write && writes >= 0)
                ++writes;
        }
        return writes;
    }

    // The board is pulled once `point` blocks are written after the erase; true when it was.
    bool PullAfterBlocks(int point) {
        bool cut = false;
        world.Windows().SetIoControlObserver([&](std::uint64_t, platform::DWORD) {
            if (!cut && BlocksSinceErase() == point) {
                cut = true;
                world.Vanish(*board);
            }
        });
        form->Button1Click();
        world.Windows().SetIoControlObserver(nullptr);
        return cut;
    }

    sim::Board* board = nullptr;
    boarddata::FlashDataBlock original{};
};

// The device goes at each of the five points of the write: right after the erase and after
// each of the four blocks. The run ends with the error message and names the copy; the copy
// holds the block as it was, and a restore puts exactly that back.
TEST(ParameterBlockSafety, DeviceLostAtEachPointOfTheWriteIsRestoredFromTheCopy) {
    for (int point = 0; point <= 4; ++point) {
        SCOPED_TRACE("device lost after block " + std::to_string(point));
        DefaultBoard w;
        app::TForm1& f = w.Start();
        w.OnlyParameterBlock();
        ASSERT_TRUE(w.PullAfterBlocks(point));
        EXPECT_EQ(f.LastOutcome, app::RunOutcome::Failed);
        EXPECT_FALSE(w.Logged("   Writing flashdata again (attempt 2 of 3)"))
            << "a board that is gone is not written again";
        const std::string named = w.LoggedAfter("   Board lost - its parameter block is saved in ");
        ASSERT_FALSE(named.empty());
        EXPECT_EQ(w.LoggedAfter("   Restore it with: flashwell --restore \"" + named + "\""),
                  " --board 0");

        w.world.Reattach(*w.board);
        w.world.PowerCycle(*w.board);
        const auto left = sim::Inspect(*w.board).parameterBlock;
        if (point < 4) {
            EXPECT_NE(left, w.original) << "the cut left the block erased or partial";
        }

        std::string error;
        const auto copy = app::ReadBackupFile(named, error);
        ASSERT_TRUE(copy) << error;
        EXPECT_EQ(copy->block, w.original);

        app::TForm1& again = w.Start();
        again.RestoreFlashData(*copy);
        EXPECT_EQ(again.LastOutcome, app::RunOutcome::Succeeded);
        EXPECT_TRUE(w.Logged("   Parameter block restored and verified"));
        w.world.PowerCycle(*w.board);
        // The copy's bytes, and the mark that says the write went to its end.
        EXPECT_EQ(sim::Inspect(*w.board).parameterBlock, app::WithBlockMark(w.original));
        // The board identifies as before.
        app::TForm1& after = w.Start();
        EXPECT_TRUE(after.RadioButton1.enabled);
        EXPECT_EQ(after.RadioButton1.caption, "vexta/USB");
    }
}

// A request refused in the middle of the block (a busy driver, a refused packet) is sent again:
// the board stays, so the block must come out whole, with no second erase.
TEST(ParameterBlockSafety, RefusedRequestInTheMiddleOfABlockIsSentAgain) {
    for (const platform::DWORD error : {platform::kErrorInvalidParameter, platform::kErrorBusy}) {
        DefaultBoard w;
        app::TForm1& f = w.Start();
        w.OnlyParameterBlock();
        int requestsInBlock2 = 0;
        w.world.Windows().SetIoControlObserver([&](std::uint64_t, platform::DWORD) {
            if (w.BlocksSinceErase() == 1 && ++requestsInBlock2 == 50)
                w.board->AddFault({sim::FaultRule::kAnyCode, 0, error, true});
        });
        f.Button1Click();
        w.world.Windows().SetIoControlObserver(nullptr);
        EXPECT_EQ(requestsInBlock2 >= 50, true);
        EXPECT_EQ(f.LastOutcome, app::RunOutcome::Succeeded);
        EXPECT_FALSE(w.Logged("   Writing flashdata again (attempt 2 of 3)"));
        EXPECT_EQ(std::count_if(w.board->FlashOperations().begin(),
                                w.board->FlashOperations().end(),
                                [](const sim::FlashOperation& op) {
                                    return op.kind == sim::FlashOperation::Kind::Erase &&
                                           op.address == 0xD02000;
                                }),
                  1);
        w.world.PowerCycle(*w.board);
        boarddata::FlashDataRecord onBoard;
        ASSERT_TRUE(boarddata::UnpackFlashData(sim::Inspect(*w.board).parameterBlock, onBoard));
        EXPECT_NE(onBoard.FeatureFlags[2] & boarddata::kCounter32ModeMask, 0);
    }
}

// The board firmware behind a wire that changes one byte of the n-th pipe read from now on.
class FlipOneRead final : public sim::WiredBoardFirmware {
public:
    FlipOneRead(sim::Board& board, int nth)
        : WiredBoardFirmware(board.Config().firmwareVersion, board), left_(nth) {}
    std::size_t OnPipeRead(std::span<std::uint8_t> buffer) override {
        const std::size_t n = Inner().OnPipeRead(buffer);
        // A cell carries its flash byte in the low byte of its word.
        if (n > 0 && --left_ == 0) buffer[(n / 2) & ~std::size_t{3}] ^= 0x10;
        return n;
    }

private:
    int left_;
};

// A byte changed on the wire while the scan read the block: the pipes carry no checksum, so
// only a second read can tell. Nothing is written, no copy of the changed bytes is kept, and
// the run says it failed (found by the device fuzzer).
TEST(ParameterBlockSafety, BlockChangedOnTheWireIsNeverWrittenBack) {
    DefaultBoard w;
    // The scan's parameter-block read is hundreds of reads long; the 200th lies inside it.
    w.board->SetFirmware(std::make_unique<FlipOneRead>(*w.board, 200));
    app::TForm1& f = w.Start();
    w.OnlyParameterBlock();
    f.Button1Click();
    EXPECT_EQ(f.LastOutcome, app::RunOutcome::Failed);
    EXPECT_EQ(w.LoggedAfter("   Parameter block could not be saved - nothing written: "),
              "two reads of the block gave different bytes");
    EXPECT_TRUE(w.backups.store.List().empty());
    EXPECT_FALSE(std::any_of(
        w.board->FlashOperations().begin(), w.board->FlashOperations().end(),
        [](const sim::FlashOperation& op) { return op.kind == sim::FlashOperation::Kind::Erase; }));
    w.world.PowerCycle(*w.board);
    EXPECT_EQ(sim::Inspect(*w.board).parameterBlock, w.original);
}

// Without a copy on the disk nothing is erased: the block stays as it was.
TEST(ParameterBlockSafety, NoCopyMeansNothingIsErased) {
    DefaultBoard w;
    // A file where the backup folder should be: the copy cannot be written.
    std::ofstream(w.backups.folder.Path() / "backups") << "in the way";
    app::TForm1& f = w.Start();
    w.OnlyParameterBlock();
    f.Button1Click();
    EXPECT_EQ(f.LastOutcome, app::RunOutcome::Failed);
    EXPECT_FALSE(
        w.LoggedAfter("   Parameter block could not be saved - nothing written: ").empty());
    EXPECT_FALSE(std::any_of(
        w.board->FlashOperations().begin(), w.board->FlashOperations().end(),
        [](const sim::FlashOperation& op) { return op.kind == sim::FlashOperation::Kind::Erase; }));
    w.world.PowerCycle(*w.board);
    EXPECT_EQ(sim::Inspect(*w.board).parameterBlock, w.original);
}

// A clean update leaves exactly one copy, of the block as it was before the update.
TEST(ParameterBlockSafety, CleanUpdateKeepsACopyOfTheOldBlock) {
    DefaultBoard w;
    w.Start().Button1Click();
    EXPECT_EQ(w.form->LastOutcome, app::RunOutcome::Succeeded);
    const auto copies = w.backups.store.List();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].block, w.original);
    EXPECT_EQ(copies[0].header.product, "vexta/USB");
}

// A restore asks first and shows both blocks; Cancel writes nothing. A copy of another board
// is flagged in the question.
TEST(ParameterBlockSafety, RestoreAsksAndCancelWritesNothing) {
    DefaultBoard w;
    w.Start().Button1Click();
    w.world.PowerCycle(*w.board);
    const auto updated = sim::Inspect(*w.board).parameterBlock;
    auto copy = w.backups.store.List().front();
    copy.header.serial = "OTHER-BOARD";

    app::TForm1& f = w.Start();
    w.ui.boxes.answers.push_back(platform::MessageAnswer::Cancel);
    const std::size_t before = w.board->FlashOperations().size();
    f.RestoreFlashData(copy);
    EXPECT_EQ(f.LastOutcome, app::RunOutcome::Cancelled);
    const std::string& asked = w.ui.boxes.shown.back().text;
    EXPECT_NE(asked.find("serial OTHER-BOARD"), std::string::npos) << asked;
    EXPECT_NE(asked.find("serial 2004-K7A-1024-5-0312"), std::string::npos) << asked;
    EXPECT_NE(asked.find("WARNING: the serial numbers differ"), std::string::npos) << asked;
    EXPECT_TRUE(std::none_of(w.board->FlashOperations().begin() + static_cast<long>(before),
                             w.board->FlashOperations().end(), [](const sim::FlashOperation& op) {
                                 return op.kind != sim::FlashOperation::Kind::Read;
                             }));
    w.world.PowerCycle(*w.board);
    EXPECT_EQ(sim::Inspect(*w.board).parameterBlock, updated);
}

// The tool started afresh on the same machine and data folder, as after replugging the board.
struct NextRun {
    explicit NextRun(DefaultBoard& w) : NextRun(w, w.backups.store) {}
    // On another computer: another data folder.
    NextRun(DefaultBoard& w, app::BackupStore& store) : world(w), store(store) {
        form.FormCreate();
    }
    bool Logged(const std::string& line) const {
        return std::find(ui.lines.begin(), ui.lines.end(), line) != ui.lines.end();
    }
    DefaultBoard& world;
    app::BackupStore& store;
    device::BoardTable boards{world.world.Os()};
    flashwell::testing::QuietAppUi ui;
    protocol::BoardProtocol protocol{boards, ui};
    app::TForm1 form{app::Services{world.world.Os(), boards, protocol, ui, store}};
};

// The board is pulled right after the erase or after one, two or three of the four blocks: the
// serial number may be back on the board, the rest reads erased. The next scan must not take
// that for the block - with the record of the write, on a computer with only its copies, and on
// one with an empty data folder, where only the board itself can tell.
TEST(ParameterBlockSafety, HalfWrittenBlockIsNeverTakenForAGoodOne) {
    enum class Computer { WithRecord, CopiesOnly, EmptyDataFolder };
    for (const Computer computer :
         {Computer::WithRecord, Computer::CopiesOnly, Computer::EmptyDataFolder}) {
        for (int point = 0; point <= 3; ++point) {
            SCOPED_TRACE("computer " + std::to_string(static_cast<int>(computer)) +
                         ", lost after block " + std::to_string(point));
            DefaultBoard w;
            w.Start();
            w.OnlyParameterBlock();
            ASSERT_TRUE(w.PullAfterBlocks(point));
            w.world.Reattach(*w.board);
            w.world.PowerCycle(*w.board);
            const std::string copy =
                w.LoggedAfter("   Board lost - its parameter block is saved in ");
            ASSERT_FALSE(copy.empty());
            if (computer != Computer::WithRecord)
                for (const auto& e : std::filesystem::directory_iterator(w.backups.store.Folder()))
                    if (e.path().extension() == app::kWriteRecordExtension)
                        std::filesystem::remove(e.path());

            flashwell::testing::TempBackups elsewhere;
            NextRun next(w,
                         computer == Computer::EmptyDataFolder ? elsewhere.store : w.backups.store);
            EXPECT_FALSE(next.form.RadioButton1.enabled);
            EXPECT_TRUE(next.form.BlockLost(0));
            if (computer == Computer::EmptyDataFolder) {
                EXPECT_NE(next.form.BlockLostWhy(0).find(point == 0 ? "reads erased"
                                                                    : "cut short while it was "
                                                                      "being written"),
                          std::string::npos)
                    << next.form.BlockLostWhy(0);
                EXPECT_TRUE(std::any_of(next.ui.lines.begin(), next.ui.lines.end(),
                                        [](const std::string& line) {
                                            return line.find("its copy is on the computer that "
                                                             "wrote it") != std::string::npos;
                                        }));
            } else {
                EXPECT_TRUE(next.Logged("   Restore it with: flashwell --restore \"" + copy +
                                        "\" --board 0"));
            }
            const auto listed =
                app::SummaryText(app::SummarizeBoards(next.form, next.boards, next.protocol));
            EXPECT_NE(listed.find("not whole"), std::string::npos) << listed;
            // Even a run forced onto the board writes nothing over the half block.
            const auto before = sim::Inspect(*w.board).parameterBlock;
            next.form.RadioButton1.enabled = true;
            next.form.Button1Click();
            EXPECT_EQ(next.form.LastOutcome, app::RunOutcome::Failed);
            next.form.Engine(next.form.SelectedBoardIndex()).UpdateFlashData();
            EXPECT_TRUE(next.Logged("   Board 0 was not accepted by the scan - nothing written"));
            EXPECT_EQ(sim::Inspect(*w.board).parameterBlock, before);
            // The copy puts the calibration back; the update after it succeeds.
            next.form.RestoreFromFile(copy);
            EXPECT_EQ(next.form.LastOutcome, app::RunOutcome::Succeeded);
            EXPECT_EQ(sim::Inspect(*w.board).parameterBlock, app::WithBlockMark(w.original));
            w.world.PowerCycle(*w.board);
            NextRun after(w);
            EXPECT_TRUE(after.form.RadioButton1.enabled);
            EXPECT_FALSE(after.form.BlockLost(0));
            EXPECT_TRUE(w.backups.store.PendingWrites().empty());
        }
    }
}

// A block of an earlier tool whose last calibration cells happen to read erased looks like a cut
// one: refused as such, until the technician says it was never cut. The update then leaves the
// mark, and the next scan needs no word.
TEST(ParameterBlockSafety, UnmarkedBlockEndingErasedTakesTheTechniciansWord) {
    DefaultBoard w;
    sim::ParameterBlock block = w.original;
    std::fill(block.begin() + 7165, block.begin() + 7171, std::uint8_t{0xFF});
    sim::SetParameterBlock(*w.board, block);
    w.world.PowerCycle(*w.board);
    app::TForm1& refused = w.Start();
    EXPECT_FALSE(refused.RadioButton1.enabled);
    EXPECT_EQ(refused.BlockLostWhy(0), "it was cut short while it was being written");
    EXPECT_TRUE(w.Logged("   A block written by an earlier tool may end in erased cells too: if "
                         "this board's was never cut, update it with --accept-unmarked-block"));

    w.form = std::make_unique<app::TForm1>(
        app::Services{w.HostOs(), w.boards, w.protocol, w.ui, w.backups.store});
    w.form->AcceptUnmarkedBlocks(true);
    w.form->FormCreate();
    ASSERT_TRUE(w.form->RadioButton1.enabled);
    w.form->Button1Click();
    EXPECT_EQ(w.form->LastOutcome, app::RunOutcome::Succeeded);
    w.world.PowerCycle(*w.board);
    const auto written = sim::Inspect(*w.board).parameterBlock;
    EXPECT_EQ(app::JudgeBlock(written), app::BlockState::Marked);
    EXPECT_TRUE(std::equal(written.begin() + 7165, written.begin() + 7171, block.begin() + 7165))
        << "the erased calibration cells stay as they were";
    EXPECT_TRUE(w.Start().RadioButton1.enabled);
}

// Cut in the middle of the EEPROM write: the controller comes back with the half image's
// identity and no firmware. The next update writes the firmware first, has the board
// identifies it again and updates the rest with the block the board kept.
TEST(ParameterBlockSafety, ControllerCutInTheEepromWriteIsRepairedFirst) {
    DefaultBoard w;
    const auto image = images::EepromBootImageView();
    std::vector<std::uint8_t> half(image.begin(), image.begin() + image.size() / 2);
    half[0] = 0xC0; // what the write leaves until its last byte
    sim::SetEepromContents(*w.board, half);
    w.world.PowerCycle(*w.board);
    NextRun next(w);
    EXPECT_TRUE(next.form.RepairsFirmwareFirst(0));
    EXPECT_TRUE(next.form.RadioButton1.enabled);
    EXPECT_FALSE(next.Logged("   Restore one with: flashwell --restore FILE --board 0"));
    next.form.Button1Click();
    EXPECT_EQ(next.form.LastOutcome, app::RunOutcome::Succeeded)
        << ::testing::PrintToString(next.ui.lines);
    w.world.PowerCycle(*w.board);
    const sim::BoardReport r = sim::Inspect(*w.board);
    EXPECT_TRUE(r.eepromIsBootImage);
    EXPECT_EQ(r.identity, sim::kBoardIdentity);
    EXPECT_EQ(r.bootProgram, sim::BootAreaContent::BootProgram);
    EXPECT_NE(r.parameterBlock, w.original) << "the block got its update after the repair";
    // A controller that takes the firmware but still does not answer is told to be replugged,
    // and nothing more is written.
    DefaultBoard mute;
    sim::SetEepromContents(*mute.board, half);
    mute.world.PowerCycle(*mute.board);
    NextRun again(mute);
    mute.board->MutableConfig().dspAtPowerUp = sim::DspStartup::Idle;
    mute.board->Dsp().LoadProgram(std::make_unique<sim::IdleDspProgram>());
    again.form.Button1Click();
    EXPECT_EQ(again.form.LastOutcome, app::RunOutcome::Failed);
    EXPECT_TRUE(again.Logged("   Board 0 cannot be updated now (Uninstalled Device) - disconnect "
                             "it, connect it again and start the update again"));
    EXPECT_EQ(sim::Inspect(*mute.board).parameterBlock, mute.original);
}

// A block that reads back other than written is written again; one byte that did not take the
// first time is enough.
TEST(ParameterBlockSafety, BlockThatReadsBackDifferentIsWrittenAgain) {
    DefaultBoard w;
    w.Start();
    w.OnlyParameterBlock();
    bool spoiled = false;
    w.world.Windows().SetIoControlObserver([&](std::uint64_t, platform::DWORD) {
        if (!spoiled && w.BlocksSinceErase() == 4) {
            spoiled = true;
            const std::uint8_t zero = 0;
            w.board->Flash().Program(0, 0x1000 + 300, std::span(&zero, 1));
        }
    });
    w.form->Button1Click();
    w.world.Windows().SetIoControlObserver(nullptr);
    ASSERT_TRUE(spoiled);
    EXPECT_TRUE(w.Logged("   Parameter block read back differs from what was written"));
    EXPECT_TRUE(w.Logged("   Writing flashdata again (attempt 2 of 3)"));
    EXPECT_EQ(w.form->LastOutcome, app::RunOutcome::Succeeded);
    w.world.PowerCycle(*w.board);
    EXPECT_NE(sim::Inspect(*w.board).parameterBlock, w.original);
    EXPECT_EQ(sim::Inspect(*w.board).parameterBlock[300], w.original[300] | 0x00)
        << "the spoiled byte is written again";
    EXPECT_TRUE(w.backups.store.PendingWrites().empty());
}

} // namespace
