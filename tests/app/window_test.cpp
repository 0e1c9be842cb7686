#include "testkit/app_world.h"

#include <gtest/gtest.h>

using namespace flashwell;
using namespace flashwell::testing;

TEST(Scan, NoBoardPresent) {
    AppWorld w;
    app::TForm1& f = w.Start();
    EXPECT_EQ(f.Caption, "Flashwell");
    EXPECT_EQ(w.Log(), (std::vector<std::string>{"Board 0 not present", "Board 1 not present",
                                                 "Board 2 not present", "Board 3 not present"}));
    for (const app::Control* line : f.RadioButtons) {
        EXPECT_EQ(line->caption, "Board not found");
        EXPECT_FALSE(line->enabled);
    }
    EXPECT_TRUE(f.RadioButton1.checked);
    EXPECT_EQ(f.SelectedBoardIndex(), 0);
    EXPECT_EQ(f.StatusPanels[0].text, "Board: 0");
    EXPECT_FALSE(f.UpdateFailed);
    EXPECT_TRUE(w.ui.boxes.shown.empty()) << "the scan tells everything in the log";
}

TEST(Window, FixedClientSizeAndInitialControls) {
    AppWorld w;
    app::TForm1& f = w.Start();
    EXPECT_EQ(f.ClientWidth, 457);
    EXPECT_EQ(f.ClientHeight, 297);
    f.ClientWidth = 600;
    f.ClientHeight = 100;
    f.FormResize();
    EXPECT_EQ(f.ClientWidth, 457);
    EXPECT_EQ(f.ClientHeight, 297);
    EXPECT_FALSE(f.Button4.visible);
    EXPECT_FALSE(f.Button4.enabled);
    EXPECT_FALSE(f.Label4.visible);
    EXPECT_EQ(f.Label3.caption, "00:00");
    EXPECT_EQ(f.StatusPanels[1].width, 150);
    EXPECT_EQ(f.StatusPanels[2].width, 200);
}

TEST(Window, AdvancedShowsFiveBoxesAndKeepsTheirTicks) {
    AppWorld w;
    app::TForm1& f = w.Start();
    app::Control* boxes[] = {&f.CheckBox1, &f.CheckBox2, &f.CheckBox6, &f.CheckBox3, &f.CheckBox4};
    for (app::Control* b : boxes) {
        EXPECT_TRUE(b->checked);
        EXPECT_FALSE(b->visible);
    }
    f.ToggleAdvanced();
    for (app::Control* b : boxes)
        EXPECT_TRUE(b->visible);
    // Left column and right column.
    EXPECT_EQ(f.CheckBox1.left, 8);
    EXPECT_EQ(f.CheckBox6.left, 8);
    EXPECT_EQ(f.CheckBox3.left, 112);
    EXPECT_EQ(f.CheckBox4.left, 112);
    f.SetStepBox(f.CheckBox2, false);
    f.ToggleAdvanced();
    for (app::Control* b : boxes)
        EXPECT_FALSE(b->visible);
    EXPECT_FALSE(f.CheckBox2.checked);
    EXPECT_TRUE(f.CheckBox1.checked);
}

TEST(Window, InfoTextLinesAndColumns) {
    const std::string text = app::TForm1::InfoText();
    EXPECT_EQ(text, "Update for Orvane USB-, TARVEX/USB and VeldDAC16/USB-Series\r\n\r\n"
                    "Date           : 09.02.2015\r\n"
                    "Version        : 1.10.07.31\r\n\r\n"
                    "RBF-File Rev1.1: usbvexta_05_10_2004.rbf\r\n"
                    "RBF-File Rev1.2: usbvexta_21_05_2008.rbf\r\n"
                    "RBF-File Rev1.3: usbvexta_21_05_2008_08_11_2016.rbf\r\n");
    AppWorld w;
    w.Start().Button2Click();
    ASSERT_EQ(w.ui.boxes.shown.size(), 1u);
    EXPECT_EQ(w.ui.boxes.shown[0].text, text);
    EXPECT_EQ(w.ui.boxes.shown[0].buttons, platform::MessageButtons::Ok);
}

TEST(Run, CancelledConfirmationChangesNothing) {
    AppWorld w;
    app::TForm1& f = w.Start();
    f.UpdateFailed = true;
    const auto logBefore = w.Log();
    w.ui.boxes.answers.push_back(platform::MessageAnswer::Cancel);
    f.Button1Click();
    ASSERT_EQ(w.ui.boxes.shown.size(), 1u);
    EXPECT_EQ(w.ui.boxes.shown[0].title, "Warning");
    EXPECT_EQ(w.ui.boxes.shown[0].text, app::kConfirmText);
    EXPECT_EQ(w.Log(), logBefore);
    EXPECT_TRUE(f.UpdateFailed);
    for (const app::Control* c : {&f.Button1, &f.Button2, &f.Button3, &f.CheckBox1, &f.CheckBox2,
                                  &f.CheckBox3, &f.CheckBox4, &f.CheckBox5, &f.CheckBox6})
        EXPECT_TRUE(c->enabled) << c->name;
}

TEST(Run, NoStepTickedStillAsksAndEndsByTheFlag) {
    AppWorld w;
    app::TForm1& f = w.Start();
    for (app::Control* b : {&f.CheckBox1, &f.CheckBox2, &f.CheckBox3, &f.CheckBox4, &f.CheckBox6})
        b->checked = false;
    f.Button1Click();
    ASSERT_EQ(w.ui.boxes.shown.size(), 2u);
    EXPECT_EQ(w.ui.boxes.shown[1].text, app::kSuccessText);
    EXPECT_EQ(w.world.Recorder().CountRequests(0x222051), 0u) << "no board is touched";
    f.UpdateFailed = true;
    f.Button1Click();
    EXPECT_EQ(w.ui.boxes.shown.back().text, app::kErrorText);
}

TEST(Progress, OverallGaugeArithmetic) {
    AppWorld w;
    app::TForm1& f = w.Start();
    f.StepCount = 5;
    f.OverallBase = 0;
    f.StepNumber = 1;
    f.ShowProgress(0, 100, 0);
    EXPECT_EQ(f.Label3.caption, "00:00") << "no estimate while the overall gauge is at 0";
    for (int step = 1; step <= 5; ++step) {
        f.FinishStepProgress();
        EXPECT_EQ(f.Gauge1.position, 20 * step);
    }
    f.StepNumber = 2;
    f.OverallBase = 20;
    f.ShowProgress(0, 100, 50);
    EXPECT_EQ(f.Gauge1.position, 30);
    EXPECT_EQ(f.Gauge2.position, 50);

    f.StepCount = 3;
    f.StepNumber = 1;
    f.OverallBase = 0;
    for (int step = 0; step < 3; ++step)
        f.FinishStepProgress();
    EXPECT_EQ(f.Gauge1.position, 99);
}

TEST(Rules, YearsThatAreNotNumbersAreOld) {
    EXPECT_EQ(app::YearNumber("2006"), 2006);
    EXPECT_EQ(app::YearNumber("203"), 203);
    EXPECT_EQ(app::YearNumber("    "), 0);
    EXPECT_EQ(app::YearNumber("20 6"), 0);
    EXPECT_EQ(app::YearNumber(""), 0);
    EXPECT_EQ(app::YearNumber("2x07"), 0);
}

TEST(Window, ClosingIsRefusedDuringARun) {
    AppWorld w;
    app::TForm1& f = w.Start();
    EXPECT_TRUE(f.FormCloseQuery());
    bool refusedDuringRun = false;
    w.ui.onPump = [&] { refusedDuringRun = !f.Button3Click(); };
    f.Button1Click(); // no board: still runs the steps, whose progress reports pump messages
    EXPECT_TRUE(f.FormCloseQuery());
    EXPECT_TRUE(refusedDuringRun || w.ui.pumps == 0);
}

TEST(SubIdDialog, ChoiceCarriesOverAndCancelResets) {
    app::TSubIDDialog d;
    EXPECT_EQ(d.RevisionChoice, -1);
    EXPECT_EQ(d.ClientWidth(), 221);
    EXPECT_EQ(d.ClientHeight(), 203);
    EXPECT_TRUE(d.RadioButton1.checked);
    d.SelectRevision(2);
    d.Button1Click();
    EXPECT_EQ(d.RevisionChoice, 2);
    d.Button2Click();
    EXPECT_EQ(d.RevisionChoice, -1);
    EXPECT_TRUE(d.RadioButton3.checked) << "the selection stays for the next showing";
}
