// Whole update runs of the application against simulated boards, in virtual time.
#include "boarddata/images/images.h"
#include "sim/board_contents.h"
#include "sim/scenario/scenario.h"
#include "testkit/app_world.h"
#include "testkit/packed_block.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace flashwell;
using namespace flashwell::testing;
using boarddata::FlashDataRecord;

namespace {

FlashDataRecord Record(std::uint8_t major, std::uint8_t minor, const std::string& year,
                       const std::string& serial = "2004-K7A-1024-5-0312") {
    FlashDataRecord r = boarddata::DefaultFlashDataRecord();
    r.ProductName = "vexta/USB";
    r.SerialNumber = serial;
    r.HardwareRevision()[0] = minor;
    r.HardwareRevision()[1] = major;
    r.BoardDate = {"12", "05", year};
    r.FeatureFlags[2] = boarddata::kSerialLetterMask;
    for (std::size_t i = 0; i < r.Curve.size(); ++i)
        r.Curve[i] = static_cast<std::uint32_t>(i * 977 + 5) & 0xFFFFFF;
    return r;
}

struct BoardWorld : AppWorld {
    explicit BoardWorld(const FlashDataRecord& record, std::int32_t subId = 3) {
        sim::BoardConfig config;
        config.subId = subId;
        board = &world.AddBoard(config);
        sim::SetParameterBlock(*board, PackedBlock(record));
        sim::FillWithOldContents(*board, 11);
    }
    void Only(std::initializer_list<app::Control*> boxes) {
        for (app::Control* b : {&form->CheckBox1, &form->CheckBox2, &form->CheckBox3,
                                &form->CheckBox4, &form->CheckBox6})
            b->checked = std::find(boxes.begin(), boxes.end(), b) != boxes.end();
    }
    sim::BoardReport AfterPowerCycle() {
        world.PowerCycle(*board);
        return sim::Inspect(*board);
    }
    std::string FinalMessage() const { return ui.boxes.shown.back().text; }

    sim::Board* board = nullptr;
};

std::vector<std::string> Repeat(const std::string& line, int from, int to,
                                const std::string& suffix = ") ...") {
    std::vector<std::string> out;
    for (int d = from; d <= to; ++d)
        out.push_back(line + std::to_string(d) + suffix);
    return out;
}

} // namespace

TEST(FullUpdate, DefaultBoardGetsEveryImageAndTheExactLog) {
    AppWorld w;
    sim::ApplyScenario(w.world, sim::DefaultScenario());
    app::TForm1& f = w.Start();
    f.Button1Click();

    const std::vector<std::string> expected = {
        "Found board 0...",
        "   loading Flashprogram...",
        "   ...finished with 2262 words",
        "Board 1 not present",
        "Board 2 not present",
        "Board 3 not present",
        "*** UpdateFlashData ***",
        "   Opening board 0",
        "   Read Flashdata...",
        "   Board Serial 2004-K7A-1024-5-0312",
        "   Set 32 Bit Counter Mode on Rev. 1.2 - SubID: 3",
        "   Updating Flashdata...",
        "   Writing new flashdata...",
        "...finished",
        "*** UpdateRBF ***",
        "   Opening board 0",
        "   Write RBF for USB Hardware Rev. 1.2 - SubID: 3",
        "   Closing board",
        "*** Update KPCI ***",
        "   Opening board 0",
        "   Allocating memory",
        "   Loading data...",
        "   ...data loaded with 28790 bytes",
        "   Switching to second flash block",
        "   Write data",
        "   Switching back to first block",
        "*** Update Bootprogram ***",
        "   Opening board 0",
        "   Allocating memory",
        "   Loading USB-Bootprogram",
        "   loading Bootprogram...",
        "   Waiting for flash to be written...",
        "   ...finished",
        "*** Update Firmware ***",
        "   Opening board 0",
        "   loading flash program...",
        "   ...finished with 10040 words",
        "   Reenumerating...",
        "   ...finished",
        "try with delay (0) ...",
    };
    EXPECT_EQ(w.Log(), expected);
    ASSERT_EQ(w.ui.boxes.shown.size(), 2u);
    EXPECT_EQ(w.ui.boxes.shown[1].text, app::kSuccessText);
    EXPECT_FALSE(f.UpdateFailed);
    EXPECT_EQ(f.Gauge1.position, 0);
    EXPECT_EQ(f.Gauge2.position, 0);
    EXPECT_TRUE(f.Button1.enabled && f.Button3.enabled && f.CheckBox5.enabled);

    // The overall gauge reached 20, 40, 60, 80 and 100 as the steps ended.
    for (int mark : {20, 40, 60, 80, 100})
        EXPECT_NE(std::find(w.ui.overallPositions.begin(), w.ui.overallPositions.end(), mark),
                  w.ui.overallPositions.end())
            << mark;

    sim::Board& board = w.world.GetBoard(0);
    w.world.PowerCycle(board);
    const sim::BoardReport r = sim::Inspect(board);
    EXPECT_EQ(r.identity, sim::kBoardIdentity);
    EXPECT_TRUE(r.eepromIsBootImage);
    EXPECT_EQ(r.eepromMarker, 0xC2);
    EXPECT_EQ(r.fpga, sim::FpgaContent::Rev12);
    EXPECT_EQ(r.bootProgram, sim::BootAreaContent::BootProgram);
    EXPECT_EQ(r.secondBank, sim::SecondBankContent::FramedKpci);
    EXPECT_TRUE(BoardFields(r.parameterBlock).FeatureFlags[2] & boarddata::kCounter32ModeMask);
    EXPECT_EQ(BoardFields(r.parameterBlock).SerialNumber, "2004-K7A-1024-5-0312");
}

TEST(FullUpdate, CalibrationDataSurvivesTheParameterBlockWrite) {
    const FlashDataRecord before = Record(1, 2, "2005");
    BoardWorld w(before, 3);
    app::TForm1& f = w.Start();
    w.Only({&f.CheckBox6});
    f.Button1Click();
    const sim::BoardReport r = w.AfterPowerCycle();
    EXPECT_EQ(BoardFields(r.parameterBlock).Curve, before.Curve);
    EXPECT_EQ(BoardFields(r.parameterBlock).TableC, before.TableC);
    EXPECT_EQ(BoardFields(r.parameterBlock).SerialNumber, before.SerialNumber);
    EXPECT_EQ(BoardFields(r.parameterBlock).FeatureFlags[2],
              boarddata::kSerialLetterMask | boarddata::kCounter32ModeMask);
}

TEST(Scan, CaptionsAndSelectability) {
    AppWorld w;
    const std::pair<std::string, std::string> boards[] = {
        {"vexta/USB", "Brennich GmbH Messtechnik"},
        {"vexta/USB", "VELD Instruments"},
        {"Vexta/USB", ""},
        {"vexta/USB", "Someone Else"},
    };
    for (const auto& [product, customer] : boards) {
        sim::Board& b = w.world.AddBoard();
        FlashDataRecord r = Record(1, 2, "2005");
        r.ProductName = product;
        r.Customer = customer;
        sim::SetParameterBlock(b, PackedBlock(r));
    }
    app::TForm1& f = w.Start();
    EXPECT_EQ(f.RadioButton1.caption, "TARVEX/USB");
    EXPECT_EQ(f.RadioButton2.caption, "VeldDAQ 16");
    EXPECT_EQ(f.RadioButton3.caption, "Vexta/USB");
    EXPECT_FALSE(f.RadioButton3.enabled);
    EXPECT_EQ(f.RadioButton4.caption, "vexta/USB");
    EXPECT_TRUE(f.RadioButton1.enabled && f.RadioButton2.enabled && f.RadioButton4.enabled);
    EXPECT_EQ(f.SelectedBoardIndex(), 0);
}

TEST(Scan, OnlyBoardTwoSelectableAndUnreadableBlocks) {
    AppWorld w;
    for (int i = 0; i < 3; ++i) {
        sim::Board& b = w.world.AddBoard();
        FlashDataRecord r = Record(1, 2, "2005");
        r.ProductName = i == 2 ? "vexta/USB" : "other";
        sim::SetParameterBlock(b, PackedBlock(r));
        if (i == 1) b.FailAnswerWords({1});
    }
    app::TForm1& f = w.Start();
    EXPECT_EQ(f.RadioButton2.caption, "Uninstalled Device");
    EXPECT_FALSE(f.RadioButton1.enabled);
    EXPECT_FALSE(f.RadioButton2.enabled);
    EXPECT_TRUE(f.RadioButton3.enabled);
    EXPECT_FALSE(f.RadioButton4.enabled);
    EXPECT_TRUE(f.RadioButton3.checked);
    EXPECT_FALSE(f.RadioButton1.checked);
    EXPECT_EQ(f.StatusPanels[0].text, "Board: 2");
    const auto log = w.LogFrom("Found board 0...");
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[1], "   loading Flashprogram...");
    EXPECT_EQ(log[2], "   ...finished with 2262 words");
}

TEST(UpdateRBF, ImageByRevisionDateAndSubId) {
    struct Case {
        std::uint8_t major, minor;
        std::string year;
        std::int32_t subId;
        sim::FpgaContent image;
        std::string line;
    };
    const Case cases[] = {
        {1, 3, "2006", 1, sim::FpgaContent::Rev13,
         "   Write RBF for USB Hardware Rev. 1.3 - SubID: 1"},
        {1, 3, "2005", 3, sim::FpgaContent::Rev12,
         "   Write RBF for USB Hardware Rev. 1.2 - SubID: 3"},
        {1, 2, "2009", 2, sim::FpgaContent::Rev11,
         "   Write RBF for USB Hardware Rev. 1.1 - SubID: 2"},
        {1, 3, "    ", 4, sim::FpgaContent::Rev12,
         "   Write RBF for USB Hardware Rev. 1.2 - SubID: 4"},
    };
    for (const Case& c : cases) {
        BoardWorld w(Record(c.major, c.minor, c.year), c.subId);
        app::TForm1& f = w.Start();
        w.Only({&f.CheckBox1});
        f.Button1Click();
        EXPECT_TRUE(w.Logged(c.line)) << c.line;
        EXPECT_EQ(w.AfterPowerCycle().fpga, c.image) << c.line;
        EXPECT_FALSE(f.AlteraUnidentified);
        EXPECT_EQ(w.ui.dialogShown, 0);
        EXPECT_EQ(w.FinalMessage(), app::kSuccessText);
    }
}

TEST(UpdateRBF, UnknownSubIdAsksTheUser) {
    {
        BoardWorld w(Record(1, 2, "2005"), 0);
        app::TForm1& f = w.Start();
        w.Only({&f.CheckBox1});
        w.ui.revisionAnswers = {2};
        f.Button1Click();
        EXPECT_EQ(w.ui.dialogShown, 1);
        EXPECT_TRUE(f.AlteraUnidentified);
        EXPECT_EQ(w.AfterPowerCycle().fpga, sim::FpgaContent::Rev13);
        EXPECT_EQ(w.FinalMessage(), app::kSuccessText);
    }
    {
        BoardWorld w(Record(1, 2, "2005"), 7);
        app::TForm1& f = w.Start();
        w.Only({&f.CheckBox1, &f.CheckBox2});
        w.ui.revisionAnswers = {-1};
        f.Button1Click();
        EXPECT_EQ(w.LogFrom("*** UpdateRBF ***"),
                  (std::vector<std::string>{"*** UpdateRBF ***", "   Opening board 0",
                                            "   Write RBF for USB Hardware Rev. 1.x - SubID: 7",
                                            "   Closing board",
                                            "Error occured during RBF - Cancelling actions"}));
        EXPECT_TRUE(f.UpdateFailed);
        EXPECT_EQ(w.FinalMessage(), app::kErrorText);
        EXPECT_EQ(w.AfterPowerCycle().fpga, sim::FpgaContent::Other) << "nothing written";
        EXPECT_EQ(std::count(w.ui.overallPositions.begin(), w.ui.overallPositions.end(), 50), 0);
    }
}

TEST(UpdateKPCI, UnidentifiedFpgaAsksFirst) {
    BoardWorld w(Record(1, 2, "2005"), 0);
    app::TForm1& f = w.Start();
    w.Only({&f.CheckBox1, &f.CheckBox2});
    w.ui.revisionAnswers = {1};
    // Confirmation OK, then No to the bank-switch warning, then the final message.
    w.ui.boxes.answers = {platform::MessageAnswer::Ok, platform::MessageAnswer::No};
    f.Button1Click();
    ASSERT_EQ(w.ui.boxes.shown.size(), 3u);
    EXPECT_EQ(w.ui.boxes.shown[1].title, "Warning");
    EXPECT_EQ(w.ui.boxes.shown[1].buttons, platform::MessageButtons::YesNo);
    EXPECT_TRUE(w.Logged("UpdateKPCI cancelled due to unknown Altera ID"));
    EXPECT_FALSE(w.Logged("*** Update KPCI ***"));
    EXPECT_EQ(w.FinalMessage(), app::kSuccessText) << "declining is not a failure";
    EXPECT_EQ(w.AfterPowerCycle().secondBank, sim::SecondBankContent::Other);
}

TEST(UpdateBootprogram, GaugeStepsAndLog) {
    BoardWorld w(Record(1, 2, "2005"));
    app::TForm1& f = w.Start();
    w.Only({&f.CheckBox3});
    w.ui.stepPositions.clear();
    f.Button1Click();
    EXPECT_EQ(w.ui.stepPositions, (std::vector<int>{0, 10, 20, 40, 50, 60, 70, 80, 90, 100}));
    EXPECT_EQ(w.LogFrom("*** Update Bootprogram ***"),
              (std::vector<std::string>{
                  "*** Update Bootprogram ***", "   Opening board 0", "   Allocating memory",
                  "   Loading USB-Bootprogram", "   loading Bootprogram...",
                  "   Waiting for flash to be written...", "   ...finished"}));
    EXPECT_EQ(w.AfterPowerCycle().bootProgram, sim::BootAreaContent::BootProgram);
}

TEST(UpdateFlashData, RulesAndWhatGetsWritten) {
    {
        // Revision 1.3 of 2007: counter mode on, block written.
        BoardWorld w(Record(1, 3, "2007"), 0);
        app::TForm1& f = w.Start();
        w.Only({&f.CheckBox6});
        f.Button1Click();
        EXPECT_TRUE(w.Logged("   Set 32Bit Counter Mode on Rev. 1.3 - SubID: 0"));
        EXPECT_TRUE(BoardFields(w.AfterPowerCycle().parameterBlock).FeatureFlags[2] &
                    boarddata::kCounter32ModeMask);
    }
    {
        // Revision 1.3 of 2005 with SubID 4: written as revision 1.2 with counter mode.
        BoardWorld w(Record(1, 3, "2005"), 4);
        app::TForm1& f = w.Start();
        w.Only({&f.CheckBox6});
        f.Button1Click();
        const auto r = BoardFields(w.AfterPowerCycle().parameterBlock);
        EXPECT_EQ(r.HardwareRevision()[1], 1);
        EXPECT_EQ(r.HardwareRevision()[0], 2);
        EXPECT_TRUE(r.FeatureFlags[2] & boarddata::kCounter32ModeMask);
    }
    {
        // SubID 0, nothing to change: only the five lines, no write.
        BoardWorld w(Record(1, 2, "2005"), 0);
        app::TForm1& f = w.Start();
        w.Only({&f.CheckBox6});
        const std::size_t mark = w.world.Recorder().Mark();
        f.Button1Click();
        EXPECT_EQ(w.LogFrom("*** UpdateFlashData ***"),
                  (std::vector<std::string>{
                      "*** UpdateFlashData ***", "   Opening board 0", "   Read Flashdata...",
                      "   Board Serial 2004-K7A-1024-5-0312", "...finished"}));
        for (const auto& op : w.board->FlashOperations())
            EXPECT_NE(op.kind, sim::FlashOperation::Kind::Write);
        (void)mark;
    }
    {
        // The listed board whose serial number is corrected.
        BoardWorld w(Record(1, 2, "2005", "2005-K7A-1024-0-0200"), 3);
        app::TForm1& f = w.Start();
        w.Only({&f.CheckBox6});
        f.Button1Click();
        const auto r = BoardFields(w.AfterPowerCycle().parameterBlock);
        EXPECT_EQ(r.SerialNumber, "2005-K7A-1024-0-0257");
        EXPECT_EQ(r.Customer, "Halvorn-Kupplung WF");
        EXPECT_EQ(r.Reference, "3200");
        EXPECT_EQ(r.BoardDate.Year, "2009");
    }
}

// A line the scan did not accept: Update opens nothing for writing and one box says why; every
// writing step reached around the line check refuses on its own.
TEST(UpdateRun, LineTheScanRefusedIsNeverWritten) {
    struct Case {
        const char* name;
        std::string product;
        bool unreadable;
        const char* caption;
        const char* why;
    };
    for (const Case& c :
         {Case{"unreadable block", "vexta/USB", true, "Uninstalled Device", "could not be read"},
          Case{"another product", "junk", false, "junk",
               "names the product \"junk\", which this tool does not update"}}) {
        SCOPED_TRACE(c.name);
        FlashDataRecord record = Record(1, 2, "2005");
        record.ProductName = c.product;
        BoardWorld w(record, 3);
        if (c.unreadable) w.board->FailAnswerWords({1}); // the scan's read of the block fails
        app::TForm1& f = w.Start();
        ASSERT_EQ(f.RadioButton1.caption, c.caption);
        f.RadioButton1.enabled = true; // the user cannot pick it; drive the run all the same
        const std::size_t operations = w.board->FlashOperations().size();
        f.Button1Click();
        ASSERT_EQ(w.ui.boxes.shown.size(), 1u) << "no warning, no final message: one box";
        EXPECT_EQ(w.ui.boxes.shown[0].kind, platform::MessageKind::Error);
        EXPECT_NE(w.FinalMessage().find(c.why), std::string::npos) << w.FinalMessage();
        EXPECT_EQ(f.LastOutcome, app::RunOutcome::Failed);
        EXPECT_TRUE(f.Button1.enabled);
        for (auto step : {&app::BoardUpdate::UpdateFlashData, &app::BoardUpdate::UpdateRBF,
                          &app::BoardUpdate::UpdateKPCI, &app::BoardUpdate::UpdateBootprogram,
                          &app::BoardUpdate::UpdateFirmware})
            (f.Engine(0).*step)();
        EXPECT_TRUE(w.Logged("   Board 0 was not accepted by the scan - nothing written"));
        EXPECT_TRUE(std::all_of(w.board->FlashOperations().begin() + static_cast<long>(operations),
                                w.board->FlashOperations().end(),
                                [](const sim::FlashOperation& op) {
                                    return op.kind == sim::FlashOperation::Kind::Read;
                                }));
        const sim::BoardReport after = w.AfterPowerCycle();
        EXPECT_EQ(BoardFields(after.parameterBlock).SerialNumber, "2004-K7A-1024-5-0312");
        EXPECT_EQ(BoardFields(after.parameterBlock).ProductName, c.product);
        EXPECT_FALSE(after.eepromIsBootImage) << "the firmware step wrote nothing either";
    }
}

TEST(UpdateFlashData, FailedWriteFailsTheRunAndRbfDoesNotHideIt) {
    BoardWorld w(Record(1, 2, "2005"), 3);
    app::TForm1& f = w.Start();
    w.Only({&f.CheckBox6, &f.CheckBox1, &f.CheckBox2});
    w.board->ResetFaultCounters();
    // The third block fails in each of the three attempts (an attempt stops at its failure).
    w.board->Faults().failBlockWrites = {3, 6, 9};
    f.Button1Click();
    EXPECT_EQ(std::count_if(
                  w.ui.boxes.shown.begin(), w.ui.boxes.shown.end(),
                  [](const auto& m) { return m.text == "Fehler beim Schreiben des 3. Blockes"; }),
              3);
    EXPECT_TRUE(w.Logged("   Writing flashdata again (attempt 3 of 3)"));
    EXPECT_TRUE(w.Logged("   Writing flashdata failed!"));
    EXPECT_TRUE(w.Logged("*** UpdateRBF ***")) << "the FPGA step runs whatever failed before";
    EXPECT_FALSE(w.Logged("*** Update KPCI ***"));
    EXPECT_TRUE(f.UpdateFailed);
    EXPECT_EQ(w.FinalMessage(), app::kErrorText);
}

TEST(UpdateFlashData, WriteFailureWhileTheBoardStaysIsWrittenAgain) {
    BoardWorld w(Record(1, 2, "2005"), 3);
    app::TForm1& f = w.Start();
    w.Only({&f.CheckBox6});
    w.board->ResetFaultCounters();
    w.board->Faults().failBlockWrites = {3};
    f.Button1Click();
    EXPECT_TRUE(w.Logged("   Writing flashdata again (attempt 2 of 3)"));
    EXPECT_FALSE(w.Logged("   Writing flashdata again (attempt 3 of 3)"));
    EXPECT_FALSE(w.Logged("   Writing flashdata failed!"));
    EXPECT_EQ(w.FinalMessage(), app::kSuccessText);
    w.world.PowerCycle(*w.board);
    boarddata::FlashDataRecord onBoard;
    ASSERT_TRUE(boarddata::UnpackFlashData(sim::Inspect(*w.board).parameterBlock, onBoard));
    EXPECT_NE(onBoard.FeatureFlags[2] & boarddata::kCounter32ModeMask, 0)
        << "the intended block is on the board";
}

TEST(UpdateFirmware, ReconnectByHand) {
    {
        BoardWorld w(Record(1, 2, "2005"));
        w.board->Faults().reenumerationNeedsReconnect = true;
        app::TForm1& f = w.Start();
        w.Only({&f.CheckBox4});
        // The user replugs the board while the question is open.
        w.ui.boxes.onShow = [&](const ShownMessage& m) {
            if (m.title == "Confirm") w.world.Reconnect(*w.board);
        };
        f.Button1Click();
        const auto log = w.LogFrom("   Reenumerating...");
        ASSERT_GE(log.size(), 4u);
        EXPECT_EQ(log[1], "   ...failed!");
        EXPECT_EQ(log[2], "   ...finished");
        EXPECT_EQ(log[3], "try with delay (0) ...");
        EXPECT_EQ(w.FinalMessage(), app::kSuccessText);
        EXPECT_TRUE(w.AfterPowerCycle().eepromIsBootImage);
    }
    {
        BoardWorld w(Record(1, 2, "2005"));
        w.board->Faults().reenumerationNeedsReconnect = true;
        app::TForm1& f = w.Start();
        w.Only({&f.CheckBox4});
        w.ui.boxes.answers = {platform::MessageAnswer::Ok, platform::MessageAnswer::Cancel};
        int overallAtEnd = -1;
        w.ui.boxes.onShow = [&](const ShownMessage& m) {
            if (m.text == app::kSuccessText) overallAtEnd = f.Gauge1.position;
        };
        f.Button1Click();
        EXPECT_FALSE(w.Logged("try with delay (0) ..."));
        EXPECT_FALSE(f.UpdateFailed) << "the user's own Cancel is no failure";
        EXPECT_EQ(overallAtEnd, 100) << "the overall gauge advances";
        EXPECT_EQ(w.FinalMessage(), app::kSuccessText);
    }
    {
        BoardWorld w(Record(1, 2, "2005"));
        w.board->Faults().reenumerationNeedsReconnect = true;
        app::TForm1& f = w.Start();
        w.Only({&f.CheckBox4});
        f.Button1Click(); // OK to the question, but the board never comes back
        EXPECT_TRUE(w.Logged("   Manual ReEnumerate failed!"));
        EXPECT_TRUE(std::any_of(w.ui.boxes.shown.begin(), w.ui.boxes.shown.end(),
                                [](const auto& m) { return m.title == "Error"; }));
        EXPECT_TRUE(f.UpdateFailed);
        EXPECT_EQ(w.FinalMessage(), app::kErrorText);
    }
}

TEST(UpdateFirmware, EepromRetriesAndFailSafe) {
    {
        BoardWorld w(Record(1, 2, "2005"));
        // EepWrite makes up to 101 write attempts of its own: the 203rd write of the byte is
        // the first of the step's third try.
        w.board->Faults().eepromWriteTakesAt[100] = 2 * 101 + 1;
        app::TForm1& f = w.Start();
        w.Only({&f.CheckBox4});
        f.Button1Click();
        const auto log = w.LogFrom("try with delay (0) ...");
        EXPECT_EQ(log, (std::vector<std::string>{"try with delay (0) ...", "try with delay (2) ...",
                                                 "try with delay (3) ..."}));
        EXPECT_EQ(w.FinalMessage(), app::kSuccessText);
        EXPECT_TRUE(w.AfterPowerCycle().eepromIsBootImage);
    }
    {
        BoardWorld w(Record(1, 2, "2005"));
        w.board->Faults().eepromWriteTakesAt[200] = 0; // never
        app::TForm1& f = w.Start();
        w.Only({&f.CheckBox4});
        f.Button1Click();
        std::vector<std::string> expected = {"try with delay (0) ..."};
        for (const auto& l : Repeat("try with delay (", 2, 100))
            expected.push_back(l);
        expected.push_back("try with delay -failesafe- (2) ...");
        const auto log = w.LogFrom("try with delay (0) ...");
        ASSERT_GE(log.size(), expected.size());
        EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + expected.size() - 1),
                  std::vector<std::string>(expected.begin(), expected.end() - 1));
        EXPECT_TRUE(f.UpdateFailed);
        EXPECT_EQ(w.FinalMessage(), app::kErrorText);
        const sim::BoardReport r = w.AfterPowerCycle();
        EXPECT_EQ(r.eepromMarker, 0xFF) << "fail-safe marker: the controller boots bare";
        EXPECT_EQ(r.identity, sim::kBootStateIdentity);
    }
}

TEST(UpdateFirmware, FailedReadIsNeverAVerifiedZero) {
    BoardWorld w(Record(1, 2, "2005"));
    app::TForm1& f = w.Start();
    w.Only({&f.CheckBox4});
    // Every pipe read fails with "busy" (the board stays open) once the EEPROM write begins.
    bool armed = false;
    w.ui.onPump = [&] {
        if (!armed && w.Logged("try with delay (0) ...")) {
            w.board->AddFault({0x22204E, 0, platform::kErrorBusy, false});
            armed = true;
        }
    };
    f.Button1Click();
    EXPECT_TRUE(f.UpdateFailed);
    EXPECT_EQ(w.FinalMessage(), app::kErrorText);
}

// What the fault sweep found: failures that used to end with the success message.
TEST(SweepFindings, RefusedBootProgramChunkFailsTheRun) {
    BoardWorld w(Record(1, 2, "2005"));
    app::TForm1& f = w.Start();
    w.Only({&f.CheckBox3});
    bool armed = false;
    int seen = 0;
    w.world.Windows().SetIoControlObserver([&](std::uint64_t, platform::DWORD code) {
        if (!armed && code == 0x222051 && w.Logged("   loading Bootprogram...")) {
            // The host command goes through; the tenth word chunk of the program is refused.
            if (++seen == 11) {
                w.board->AddFault({0, 0, platform::kErrorInvalidParameter, true});
                armed = true;
            }
        }
    });
    f.Button1Click();
    EXPECT_TRUE(armed);
    EXPECT_TRUE(w.Logged("   Loading the boot program failed!"));
    EXPECT_TRUE(f.UpdateFailed);
    EXPECT_EQ(w.FinalMessage(), app::kErrorText);
    EXPECT_NE(w.AfterPowerCycle().bootProgram, sim::BootAreaContent::BootProgram);
}

TEST(SweepFindings, FailedSecondSectorEraseStopsTheKpciWrite) {
    BoardWorld w(Record(1, 2, "2005"));
    app::TForm1& f = w.Start();
    w.Only({&f.CheckBox2});
    w.board->ResetFaultCounters();
    w.board->Faults().failErases = {2}; // the erase after block 32
    f.Button1Click();
    EXPECT_TRUE(std::any_of(w.ui.boxes.shown.begin(), w.ui.boxes.shown.end(), [](const auto& m) {
        return m.text == "Fehler beim Schreiben des 33. Blockes";
    }));
    EXPECT_TRUE(w.Logged("   Error in writing flash data"));
    EXPECT_EQ(w.FinalMessage(), app::kErrorText);
    EXPECT_NE(w.AfterPowerCycle().secondBank, sim::SecondBankContent::FramedKpci);
}

TEST(SweepFindings, UnreadableSubIdWritesNoParameterBlock) {
    const FlashDataRecord before = Record(1, 2, "2005");
    BoardWorld w(before, 3);
    app::TForm1& f = w.Start();
    w.Only({&f.CheckBox6});
    w.board->FailAnswerWords({1}); // the SubID answer, the first word read after the scan
    f.Button1Click();
    EXPECT_TRUE(w.Logged("   SubID could not be read - nothing written"));
    EXPECT_TRUE(f.UpdateFailed);
    const auto r = BoardFields(w.AfterPowerCycle().parameterBlock);
    EXPECT_EQ(r.FeatureFlags[2], before.FeatureFlags[2]) << "no counter mode guessed";
}

namespace {

// What a consumer of the events sees, one short line per event; the log lines and the progress
// have suites of their own.
struct EventTrace final : app::RunObserver {
    void OnRunEvent(const app::RunEvent& event) override {
        std::visit([&](const auto& e) { On(e); }, event);
    }
    void On(const app::Logged&) {}
    void On(const app::StepProgress& e) {
        progress = std::max(progress, e.overallPercent);
        progressEvents += 1;
    }
    void On(const app::BoardIdentified& e) {
        seen.push_back("identified " + std::to_string(e.board) + " " + e.product + " " + e.serial +
                       (e.accepted ? " accepted" : " refused: " + e.refusal));
    }
    void On(const app::StepStarted& e) { seen.push_back("started " + e.step); }
    void On(const app::StepEnded& e) {
        seen.push_back("ended " + e.step + (e.failed ? " failed" : ""));
    }
    void On(const app::CopySaved& e) {
        seen.push_back("copy " + e.serial + (std::filesystem::exists(e.path) ? " on disk" : ""));
    }
    void On(const app::BlockNotWhole& e) { seen.push_back("not whole " + e.why); }
    void On(const app::BoardLost& e) {
        seen.push_back("lost" +
                       std::string(std::filesystem::exists(e.copy) ? ", copy on disk" : ""));
    }
    void On(const app::RunRefused& e) { seen.push_back("refused " + std::to_string(e.board)); }
    void On(const app::RunEnded& e) {
        seen.push_back(e.outcome == app::RunOutcome::Succeeded ? "ended: succeeded"
                       : e.outcome == app::RunOutcome::Failed  ? "ended: failed"
                                                               : "ended: other");
    }
    std::vector<std::string> seen;
    int progress = 0;
    int progressEvents = 0;
};

} // namespace

TEST(RunEvents, AConsumerSeesEachFactOfAFullAndOfAFailedRunInOrder) {
    const std::string serial = "2004-K7A-1024-5-0312";
    const std::vector<std::string> steps = {"started flash", "copy " + serial + " on disk",
                                            "ended flash",   "started rbf",
                                            "ended rbf",     "started kpci",
                                            "ended kpci",    "started boot",
                                            "ended boot",    "started firmware",
                                            "ended firmware"};
    struct Case {
        const char* name;
        sim::BoardArea pullAt;
        std::vector<std::string> run; // after the scan's line
    };
    const std::vector<Case> cases = {
        {"clean", sim::BoardArea::None,
         [&] {
             auto run = steps;
             run.push_back("ended: succeeded");
             return run;
         }()},
        // Pulled at its first write into the second bank: KPCI fails, the steps after it do
        // not run, and the run ends failed.
        {"pulled in KPCI",
         sim::BoardArea::SecondBank,
         {"started flash", "copy " + serial + " on disk", "ended flash", "started rbf", "ended rbf",
          "started kpci", "ended kpci failed", "ended: failed"}},
        // Pulled in the block write: the board is lost with its copy on the disk.
        {"pulled in the block write",
         sim::BoardArea::ParameterBlock,
         {"started flash", "copy " + serial + " on disk", "lost, copy on disk",
          "ended flash failed", "started rbf", "ended rbf failed", "ended: failed"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoardWorld w(Record(1, 2, "2005", serial), 3);
        w.board->MutableConfig().pullAt = c.pullAt;
        EventTrace trace;
        app::TForm1& f = w.Start(&trace);
        f.Button1Click();
        std::vector<std::string> expected = {"identified 0 vexta/USB " + serial + " accepted"};
        expected.insert(expected.end(), c.run.begin(), c.run.end());
        EXPECT_EQ(trace.seen, expected);
        EXPECT_GT(trace.progressEvents, 0);
        if (c.pullAt == sim::BoardArea::None) {
            EXPECT_EQ(trace.progress, 100);
        }
    }
}
