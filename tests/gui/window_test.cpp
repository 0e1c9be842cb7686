// The window as a person uses it: the simulated default board behind it, the virtual clock, and
// clicks on the widgets. Screenshots of each state are left in the build folder.
#include "app/block_mark.h"
#include "app/main_form.h"
#include "device/adapter_usb.h"
#include "protocol/board_protocol.h"
#include "screenshot.h"
#include "sim/board_contents.h"
#include "sim/scenario/scenario.h"
#include "sim/sim_world.h"
#include "testkit/temp_data_folder.h"
#include "testkit/virtual_time.h"
#include "ui/fltk/fltk_ui.h"
#include "ui/fltk/text.h"
#include "ui/fltk/widgets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/fltk/fl_headers.h"

using namespace flashwell;

namespace {

using Action = std::function<void()>;

using flashwell::testing::VirtualTime;

// The program as main() puts it together, with the window face.
struct GuiWorld {
    explicit GuiWorld(const sim::Scenario& scenario = sim::DefaultScenario())
        : world(VirtualTime()) {
        world.Recorder().SetEnabled(false);
        sim::ApplyScenario(world, scenario);
    }
    app::TForm1& Start() {
        form.FormCreate();
        Fl::check(); // the event loop's first turn, before anyone can look or click
        return form;
    }

    flashwell::testing::TempBackups backups;
    sim::SimWorld world;
    device::BoardTable boards{world.Os()};
    ui::FltkUi ui;
    protocol::BoardProtocol protocol{boards, ui};
    app::TForm1 form{app::Services{world.Os(), boards, protocol, ui, backups.store}};
};

struct SeenBox {
    platform::MessageKind kind;
    std::string title;
    std::string text;
    std::vector<std::string> buttons;
};

std::vector<std::string> Labels(const std::vector<Fl_Button*>& buttons) {
    std::vector<std::string> out;
    for (const Fl_Button* b : buttons)
        out.emplace_back(b->label());
    return out;
}

// Answers every box with the button of that label (the first one when the box has none such);
// the first box is saved as a picture when a name is given.
void AnswerBoxes(ui::FltkUi& ui, std::vector<SeenBox>& seen, const std::string& label,
                 const std::string& firstBoxPicture = "") {
    ui.onMessageShown = [&seen, label, firstBoxPicture](ui::FltkMessageView& box) {
        if (seen.empty() && !firstBoxPicture.empty())
            flashwell::testing::SavePng(ui::CaptureWindow(*box.window), firstBoxPicture);
        seen.push_back({box.kind, box.title, box.text, Labels(box.buttons)});
        Fl_Button* chosen = box.buttons.front();
        for (Fl_Button* b : box.buttons)
            if (label == b->label()) chosen = b;
        chosen->do_callback();
    };
}

// Key presses as the toolkit delivers them to a window.
void PressKey(Fl_Window& window, int key) {
    Fl::e_keysym = key;
    Fl::e_text = const_cast<char*>("");
    Fl::e_length = 0;
    Fl::handle(FL_KEYBOARD, &window);
}

std::string LabelText(const Fl_Widget* w) {
    return w != nullptr && w->label() ? w->label() : "";
}

bool Shown(const Fl_Widget* w) {
    return w != nullptr && w->visible_r();
}
bool Active(const Fl_Widget* w) {
    return w != nullptr && w->active_r();
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ui::FltkDisplayAvailable()) GTEST_SKIP() << "no X display (and no Xvfb) here";
    }
};

TEST_F(WindowTest, AfterTheScanShowsTheBoardLineAtTheFixedSize) {
    GuiWorld w;
    app::TForm1& f = w.Start();
    Fl_Double_Window* window = w.ui.MainWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(window->shown());
    EXPECT_STREQ(window->label(), "Flashwell");
    EXPECT_EQ(window->w(), 457);
    EXPECT_EQ(window->h(), 297);

    Fl_Widget* line0 = w.ui.WidgetOf(f.RadioButton1);
    EXPECT_EQ(LabelText(line0), "vexta/USB");
    EXPECT_TRUE(Active(line0));
    EXPECT_EQ(static_cast<Fl_Button*>(line0)->value(), 1);
    for (const app::Control* c : {&f.RadioButton2, &f.RadioButton3, &f.RadioButton4}) {
        EXPECT_EQ(LabelText(w.ui.WidgetOf(*c)), "Board not found");
        EXPECT_FALSE(Active(w.ui.WidgetOf(*c)));
        EXPECT_FALSE(w.ui.Click(*c)) << "a disabled board line takes no click";
    }
    // Widgets sit where the model puts them (parents' offsets added).
    const Fl_Widget* update = w.ui.WidgetOf(f.Button1);
    EXPECT_EQ(update->x(), 201 + 7);
    EXPECT_EQ(update->y(), 68);
    EXPECT_EQ(update->w(), 75);
    EXPECT_EQ(update->h(), 25);
    EXPECT_EQ(LabelText(update), "Update");
    EXPECT_EQ(w.ui.WidgetOf(f.RadioButton1)->x(), 16);
    EXPECT_EQ(w.ui.WidgetOf(f.RadioButton1)->y(), 24);
    const Fl_Widget* memo = w.ui.WidgetOf(f.Memo1.control);
    EXPECT_EQ(memo->x(), 4);
    EXPECT_EQ(memo->y(), 118);
    EXPECT_EQ(memo->w(), 448);
    EXPECT_EQ(memo->h(), 154);
    EXPECT_FALSE(Shown(w.ui.WidgetOf(f.Button4)));
    EXPECT_FALSE(Shown(w.ui.WidgetOf(f.Label4)));
    EXPECT_FALSE(Shown(w.ui.WidgetOf(f.CheckBox1)));
    EXPECT_TRUE(Shown(w.ui.WidgetOf(f.CheckBox5)));

    EXPECT_EQ(w.ui.StatusPanelText(0), "Board: 0");
    EXPECT_EQ(static_cast<ui::fltk::TextLabel*>(w.ui.WidgetOf(f.Label3))->Text(), "00:00");
    EXPECT_EQ(w.ui.MemoText(), "Found board 0...\n   loading Flashprogram...\n"
                               "   ...finished with 2262 words\nBoard 1 not present\n"
                               "Board 2 not present\nBoard 3 not present");
    EXPECT_NE(flashwell::testing::SavePng(ui::CaptureWindow(*window), "main_after_scan"), "");

    // A resize from the program and one from outside (as a window manager would): both return.
    window->size(600, 100);
    Fl::check();
    EXPECT_EQ(window->w(), 457);
    EXPECT_EQ(window->h(), 297);
    XResizeWindow(fl_display, fl_xid(window), 520, 380);
    XSync(fl_display, False);
    XWindowAttributes attributes{};
    for (int i = 0; i < 100; ++i) {
        Fl::wait(0.05);
        XGetWindowAttributes(fl_display, fl_xid(window), &attributes);
        if (attributes.width == 457 && attributes.height == 297 && window->w() == 457) break;
    }
    EXPECT_EQ(attributes.width, 457);
    EXPECT_EQ(attributes.height, 297);
    EXPECT_EQ(window->w(), 457);
    EXPECT_EQ(window->h(), 297);
    EXPECT_EQ(f.ClientWidth, 457);
    EXPECT_EQ(f.ClientHeight, 297);
}

// A click of the left button as the toolkit delivers it, in the middle of a widget.
void LeftClick(Fl_Window& window, const Fl_Widget& widget) {
    Fl::e_x = widget.x() + widget.w() / 2;
    Fl::e_y = widget.y() + widget.h() / 2;
    Fl::e_x_root = window.x() + Fl::e_x;
    Fl::e_y_root = window.y() + Fl::e_y;
    Fl::e_keysym = FL_Button + FL_LEFT_MOUSE;
    Fl::e_state = FL_BUTTON1;
    Fl::handle(FL_PUSH, &window);
    Fl::e_state = 0;
    Fl::handle(FL_RELEASE, &window);
}

TEST_F(WindowTest, AdvancedShowsTheFiveStepBoxesAndKeepsTheirTicks) {
    GuiWorld w;
    app::TForm1& f = w.Start();
    const app::Control* boxes[] = {&f.CheckBox1, &f.CheckBox2, &f.CheckBox6, &f.CheckBox3,
                                   &f.CheckBox4};
    ASSERT_TRUE(w.ui.Click(f.CheckBox5));
    EXPECT_TRUE(f.CheckBox5.checked);
    EXPECT_EQ(static_cast<Fl_Button*>(w.ui.WidgetOf(f.CheckBox5))->value(), 1);
    const char* captions[] = {"RBF-Update", "KPCI-Update", "Flashdaten", "Bootprogramm",
                              "Firmware"};
    for (int i = 0; i < 5; ++i) {
        Fl_Widget* box = w.ui.WidgetOf(*boxes[i]);
        EXPECT_TRUE(Shown(box)) << captions[i];
        EXPECT_EQ(LabelText(box), captions[i]);
        EXPECT_EQ(static_cast<Fl_Button*>(box)->value(), 1);
    }
    // Two columns: three boxes on the left, two on the right.
    EXPECT_EQ(w.ui.WidgetOf(f.CheckBox6)->x(), w.ui.WidgetOf(f.CheckBox1)->x());
    EXPECT_EQ(w.ui.WidgetOf(f.CheckBox3)->x(), 201 + 112);

    ASSERT_TRUE(w.ui.Click(f.CheckBox2));
    EXPECT_FALSE(f.CheckBox2.checked);
    EXPECT_EQ(static_cast<Fl_Button*>(w.ui.WidgetOf(f.CheckBox2))->value(), 0);
    EXPECT_NE(flashwell::testing::SavePng(ui::CaptureWindow(*w.ui.MainWindow()), "main_advanced"),
              "");

    // A real click of the mouse gets through the context menu that lies over the window.
    LeftClick(*w.ui.MainWindow(), *w.ui.WidgetOf(f.CheckBox5));
    EXPECT_FALSE(f.CheckBox5.checked);
    for (const app::Control* box : boxes) {
        EXPECT_FALSE(Shown(w.ui.WidgetOf(*box)));
        EXPECT_FALSE(w.ui.Click(*box)) << "a hidden box takes no click";
    }
    EXPECT_FALSE(f.CheckBox2.checked);
    EXPECT_TRUE(f.CheckBox1.checked);
}

TEST_F(WindowTest, UpdateAndOkRunToTheSuccessMessage) {
    GuiWorld w;
    app::TForm1& f = w.Start();
    std::vector<SeenBox> seen;
    AnswerBoxes(w.ui, seen, "OK", "message_confirm_update");

    bool sawMiddle = false;
    bool closeRefused = false;
    bool escapeIgnored = false;
    int barPercent = -1;
    std::string status, panelText;
    w.ui.onPendingMessages = [&] {
        if (sawMiddle || f.Gauge1.Percent() < 50) return;
        sawMiddle = true;
        Fl_Double_Window& window = *w.ui.MainWindow();
        barPercent = static_cast<ui::fltk::PercentBar*>(w.ui.GaugeWidget(f.Gauge1))->Percent();
        status = static_cast<ui::fltk::TextLabel*>(w.ui.WidgetOf(f.Label1))->Text();
        panelText = w.ui.StatusPanelText(0);
        EXPECT_FALSE(Active(w.ui.WidgetOf(f.Button1)));
        EXPECT_FALSE(Active(w.ui.WidgetOf(f.Button3)));
        EXPECT_FALSE(Active(w.ui.WidgetOf(f.CheckBox5)));
        EXPECT_TRUE(Active(w.ui.WidgetOf(f.RadioButton1))) << "board lines stay selectable";
        flashwell::testing::SavePng(ui::CaptureWindow(window), "main_during_run");
        // The window manager's close button and Esc both ask to close; a run refuses both.
        Fl::handle(FL_CLOSE, &window);
        closeRefused = window.shown() && f.Running();
        PressKey(window, FL_Escape);
        escapeIgnored = window.shown() && f.Running();
    };

    ASSERT_TRUE(w.ui.Click(f.Button1));

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, platform::MessageKind::Warning);
    EXPECT_EQ(seen[0].title, "Warning");
    EXPECT_EQ(seen[0].text, app::kConfirmText);
    EXPECT_EQ(seen[0].buttons, (std::vector<std::string>{"OK", "Cancel"}));
    EXPECT_EQ(seen[1].kind, platform::MessageKind::Plain);
    EXPECT_EQ(seen[1].title, "Flashwell");
    EXPECT_EQ(seen[1].text, app::kSuccessText);
    EXPECT_EQ(seen[1].buttons, (std::vector<std::string>{"OK"}));
    EXPECT_EQ(f.LastOutcome, app::RunOutcome::Succeeded);

    ASSERT_TRUE(sawMiddle);
    EXPECT_GE(barPercent, 50);
    EXPECT_EQ(status, "Update process running... please wait");
    EXPECT_EQ(panelText, "Board: 0");
    EXPECT_TRUE(closeRefused);
    EXPECT_TRUE(escapeIgnored);

    // After the run: gauges back at 0, controls enabled, the estimate kept, log followed.
    EXPECT_EQ(static_cast<ui::fltk::PercentBar*>(w.ui.GaugeWidget(f.Gauge1))->Percent(), 0);
    EXPECT_EQ(static_cast<ui::fltk::PercentBar*>(w.ui.GaugeWidget(f.Gauge2))->Percent(), 0);
    EXPECT_TRUE(Active(w.ui.WidgetOf(f.Button1)));
    EXPECT_TRUE(Active(w.ui.WidgetOf(f.Button3)));
    EXPECT_NE(static_cast<ui::fltk::TextLabel*>(w.ui.WidgetOf(f.Label3))->Text(), "00:00");
    EXPECT_EQ(static_cast<ui::fltk::TextLabel*>(w.ui.WidgetOf(f.Label1))->Text(), "");
    Fl_Text_Display* memo = w.ui.MemoWidget();
    EXPECT_EQ(memo->buffer()->length(), static_cast<int>(w.ui.MemoText().size()));
    int endX = 0, endY = 0;
    EXPECT_TRUE(memo->position_to_xy(memo->buffer()->length(), &endX, &endY) != 0)
        << "the last line is in view";
    EXPECT_NE(w.ui.MemoText().find("*** Update Firmware ***"), std::string::npos);

    // Now "Quit" closes the window.
    ASSERT_TRUE(w.ui.Click(f.Button3));
    EXPECT_FALSE(w.ui.MainWindow()->shown());
}

TEST_F(WindowTest, EnterClicksUpdateAndEscapeCancelsTheConfirmationThenQuits) {
    GuiWorld w;
    app::TForm1& f = w.Start();
    std::vector<std::string> titles;
    w.ui.onMessageShown = [&](ui::FltkMessageView& box) {
        titles.push_back(box.title);
        PressKey(*box.window, FL_Escape);
    };
    PressKey(*w.ui.MainWindow(), FL_Enter);
    EXPECT_EQ(titles, (std::vector<std::string>{"Warning"}));
    EXPECT_FALSE(f.Running());
    EXPECT_EQ(f.Memo1.lines.size(), 6u) << "Cancel: nothing ran";
    EXPECT_TRUE(Active(w.ui.WidgetOf(f.Button1)));

    // Info shows its text in a plain box; closing it through the title bar is an answer too.
    w.ui.onMessageShown = [&](ui::FltkMessageView& box) {
        titles.push_back(box.title);
        EXPECT_EQ(box.text, app::TForm1::InfoText());
        EXPECT_EQ(Labels(box.buttons), (std::vector<std::string>{"OK"}));
        Fl::handle(FL_CLOSE, box.window);
    };
    ASSERT_TRUE(w.ui.Click(f.Button2));
    EXPECT_EQ(titles.back(), "Flashwell");

    PressKey(*w.ui.MainWindow(), FL_Escape);
    EXPECT_FALSE(w.ui.MainWindow()->shown());
}

sim::Scenario UnknownSubIdScenario() {
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.boards.at(0).subId = 0;
    return scenario;
}

// Leaves only the FPGA configuration step ticked, through the Advanced view.
void OnlyRbfStep(GuiWorld& w) {
    app::TForm1& f = w.form;
    ASSERT_TRUE(w.ui.Click(f.CheckBox5));
    for (const app::Control* box : {&f.CheckBox2, &f.CheckBox3, &f.CheckBox4, &f.CheckBox6})
        ASSERT_TRUE(w.ui.Click(*box));
}

TEST_F(WindowTest, SubIdDialogAsksForTheRevisionAndItsAnswerIsUsed) {
    GuiWorld w(UnknownSubIdScenario());
    app::TForm1& f = w.Start();
    OnlyRbfStep(w);
    std::vector<SeenBox> seen;
    AnswerBoxes(w.ui, seen, "OK");

    int shown = 0;
    w.ui.onSubIdDialogShown = [&](ui::FltkSubIdView& d) {
        ++shown;
        Fl_Window& window = *d.window;
        EXPECT_STREQ(window.label(), "Unknown Device");
        EXPECT_EQ(window.w(), 221);
        EXPECT_EQ(window.h(), 203);
        EXPECT_TRUE(window.modal());
        int sx = 0, sy = 0, sw = 0, sh = 0;
        Fl::screen_xywh(sx, sy, sw, sh, 0);
        EXPECT_EQ(window.x(), sx + (sw - 221) / 2);
        EXPECT_EQ(window.y(), sy + (sh - 203) / 2);
        EXPECT_EQ(LabelText(d.revisions[0]), "Revision 1.1 (Altera Acex)");
        EXPECT_EQ(LabelText(d.revisions[1]), "Revision 1.2 (Altera Cyclone)");
        EXPECT_EQ(LabelText(d.revisions[2]), "Revision 1.3 (Altera Cyclone)");
        EXPECT_EQ(d.revisions[0]->value(), 1);
        EXPECT_EQ(d.revisions[2]->x(), 8);
        EXPECT_EQ(d.revisions[2]->y(), 144);
        EXPECT_EQ(LabelText(d.accept), "Accept");
        EXPECT_EQ(LabelText(d.cancel), "Cancel");
        EXPECT_EQ(d.accept->x(), 56);
        EXPECT_EQ(d.accept->y(), 176);
        flashwell::testing::SavePng(ui::CaptureWindow(window), "subid_dialog");
        flashwell::testing::SavePng(ui::CaptureWindow(*w.ui.MainWindow()),
                                    "main_behind_subid_dialog");

        d.revisions[2]->do_callback();
        EXPECT_EQ(d.revisions[2]->value(), 1);
        EXPECT_EQ(d.revisions[0]->value(), 0);
        PressKey(window, FL_Enter); // Enter is "Accept"
    };

    ASSERT_TRUE(w.ui.Click(f.Button1));
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(f.SubIDDialog.RevisionChoice, 2);
    EXPECT_TRUE(f.AlteraUnidentified);
    const std::string log = w.ui.MemoText();
    EXPECT_NE(log.find("   Write RBF for USB Hardware Rev. 1.x - SubID: 0"), std::string::npos);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].text, app::kSuccessText);
}

TEST_F(WindowTest, SubIdDialogClosedThroughItsCloseBoxSetsNothing) {
    GuiWorld w(UnknownSubIdScenario());
    app::TForm1& f = w.Start();
    OnlyRbfStep(w);
    std::vector<SeenBox> seen;
    AnswerBoxes(w.ui, seen, "OK");
    w.ui.onSubIdDialogShown = [&](ui::FltkSubIdView& d) {
        d.revisions[1]->do_callback();
        Fl::handle(FL_CLOSE, d.window);
    };

    ASSERT_TRUE(w.ui.Click(f.Button1));
    EXPECT_EQ(f.SubIDDialog.RevisionChoice, -1);
    EXPECT_NE(w.ui.MemoText().find("Error occured during RBF - Cancelling actions"),
              std::string::npos);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].text, app::kErrorText);
    EXPECT_EQ(f.LastOutcome, app::RunOutcome::Failed);

    // Esc is "Cancel".
    w.ui.onSubIdDialogShown = [&](ui::FltkSubIdView& d) { PressKey(*d.window, FL_Escape); };
    seen.clear();
    ASSERT_TRUE(w.ui.Click(f.Button1));
    EXPECT_EQ(f.SubIDDialog.RevisionChoice, -1);
    EXPECT_EQ(seen.back().text, app::kErrorText);
}

// Dark pixels in the right end of a button, where the return arrow goes (inside its rim).
int InkAtRightEnd(const ui::RgbImage& image, const Fl_Widget& button) {
    int ink = 0;
    for (int y = button.y() + 3; y < button.y() + button.h() - 3; ++y)
        for (int x = button.x() + button.w() - 20; x < button.x() + button.w() - 3; ++x) {
            const unsigned char* p =
                &image.pixels[(static_cast<std::size_t>(y) * image.width + x) * 3];
            if (p[0] + p[1] + p[2] < 300) ++ink;
        }
    return ink;
}

TEST_F(WindowTest, MessageBoxesMarkTheButtonEnterPresses) {
    GuiWorld w;
    app::TForm1& f = w.Start();
    std::vector<std::vector<int>> inks;
    std::vector<std::string> titles;
    w.ui.onMessageShown = [&](ui::FltkMessageView& box) {
        titles.push_back(box.title);
        const ui::RgbImage image = ui::CaptureWindow(*box.window);
        if (inks.empty()) flashwell::testing::SavePng(image, "message_default_button");
        inks.emplace_back();
        for (const Fl_Button* b : box.buttons)
            inks.back().push_back(InkAtRightEnd(image, *b));
        // Esc answers the warning (Cancel); Enter the Info box (its only button).
        PressKey(*box.window, box.buttons.size() > 1 ? FL_Escape : FL_Enter);
    };
    ASSERT_TRUE(w.ui.Click(f.Button1));
    ASSERT_TRUE(w.ui.Click(f.Button2));
    ASSERT_EQ(titles, (std::vector<std::string>{"Warning", "Flashwell"}));
    EXPECT_FALSE(f.Running());
    ASSERT_EQ(inks.size(), 2u);
    ASSERT_EQ(inks[0].size(), 2u);
    EXPECT_GT(inks[0][0], 10) << "\"OK\", the default, carries the return arrow";
    EXPECT_EQ(inks[0][1], 0) << "\"Cancel\" does not";
    ASSERT_EQ(inks[1].size(), 1u);
    EXPECT_GT(inks[1][0], 10);
}

// The parameter block step alone, through the Advanced view.
void OnlyParameterBlockStep(GuiWorld& w) {
    app::TForm1& f = w.form;
    ASSERT_TRUE(w.ui.Click(f.CheckBox5));
    for (const app::Control* box : {&f.CheckBox1, &f.CheckBox2, &f.CheckBox3, &f.CheckBox4})
        ASSERT_TRUE(w.ui.Click(*box));
}

// The chooser's window, on screen (the chooser does not hand it out).
Fl_Window* ChooserWindow(Fl_File_Chooser& chooser) {
    for (Fl_Window* w = Fl::first_window(); w != nullptr; w = Fl::next_window(w))
        if (w->label() != nullptr && chooser.label() != nullptr &&
            std::string(w->label()) == chooser.label())
            return w;
    return nullptr;
}

// What a person does in the chooser: type the file's name and press Enter, or press Esc.
void Choose(Fl_File_Chooser& chooser, const std::filesystem::path& file) {
    chooser.value(file.string().c_str());
    if (Fl_Window* w = ChooserWindow(chooser)) PressKey(*w, FL_Enter);
}
void CancelChooser(Fl_File_Chooser& chooser) {
    if (Fl_Window* w = ChooserWindow(chooser)) PressKey(*w, FL_Escape);
}

// A right click as the toolkit delivers it, at a point of the window.
void RightClick(Fl_Window& window, int x, int y) {
    Fl::e_x = x;
    Fl::e_y = y;
    Fl::e_x_root = window.x() + x;
    Fl::e_y_root = window.y() + y;
    Fl::e_keysym = FL_Button + FL_RIGHT_MOUSE;
    Fl::e_state = FL_BUTTON3;
    Fl::handle(FL_PUSH, &window);
    Fl::e_state = 0;
}

void PressCtrlR(Fl_Window& window) {
    Fl::e_state = FL_CTRL;
    Fl::e_keysym = 'r';
    Fl::e_text = const_cast<char*>("\x12");
    Fl::e_length = 1;
    Fl::handle(FL_KEYBOARD, &window);
    Fl::e_state = 0;
}

// The main window with whatever other window of the program lies over it (an open menu).
ui::RgbImage WithWindowsOnTop(Fl_Window& main) {
    ui::RgbImage out = ui::CaptureWindow(main);
    for (Fl_Window* other = Fl::first_window(); other != nullptr; other = Fl::next_window(other)) {
        if (other == &main) continue;
        const ui::RgbImage top = ui::CaptureWindow(*other);
        const int dx = other->x() - main.x(), dy = other->y() - main.y();
        for (int y = 0; y < top.height; ++y)
            for (int x = 0; x < top.width; ++x) {
                const int mx = dx + x, my = dy + y;
                if (mx < 0 || my < 0 || mx >= out.width || my >= out.height) continue;
                for (int c = 0; c < 3; ++c)
                    out.pixels[(static_cast<std::size_t>(my) * out.width + mx) * 3 + c] =
                        top.pixels[(static_cast<std::size_t>(y) * top.width + x) * 3 + c];
            }
    }
    return out;
}

// The copy an update left goes back onto the board through the window's context menu: the
// chooser, the question, the write and the final message; the board then holds the block it
// held before the update.
TEST_F(WindowTest, RestoreFromTheContextMenuPutsTheUpdatesCopyBack) {
    GuiWorld w;
    sim::Board& board = w.world.GetBoard(0);
    const boarddata::FlashDataBlock before = sim::Inspect(board).parameterBlock;
    app::TForm1& f = w.Start();
    OnlyParameterBlockStep(w);
    std::vector<SeenBox> seen;
    AnswerBoxes(w.ui, seen, "OK");

    // While the update runs, the restore is out of reach.
    bool checkedDuringRun = false, inactiveDuringRun = false;
    int choosersDuringRun = 0;
    w.ui.onFileChooserShown = [&](Fl_File_Chooser& chooser) {
        ++choosersDuringRun;
        CancelChooser(chooser);
    };
    w.ui.onPendingMessages = [&] {
        if (checkedDuringRun || !f.Running()) return;
        checkedDuringRun = true;
        inactiveDuringRun = w.ui.RestoreMenuItem() != nullptr && !w.ui.RestoreMenuItem()->active();
        PressCtrlR(*w.ui.MainWindow());
    };
    ASSERT_TRUE(w.ui.Click(f.Button1));
    w.ui.onPendingMessages = nullptr;
    ASSERT_EQ(f.LastOutcome, app::RunOutcome::Succeeded);
    EXPECT_TRUE(checkedDuringRun && inactiveDuringRun);
    EXPECT_EQ(choosersDuringRun, 0);
    const auto copies = w.backups.store.List();
    ASSERT_EQ(copies.size(), 1u);
    ASSERT_EQ(copies[0].block, before);
    ASSERT_NE(sim::Inspect(board).parameterBlock, before) << "the update changed the block";
    EXPECT_TRUE(w.ui.RestoreMenuItem()->active());

    // The menu comes up at a right click over the log; Down and Enter pick its item.
    Fl_Double_Window& window = *w.ui.MainWindow();
    bool menuShot = false;
    Action inMenu = [&] {
        Fl_Window* menu = nullptr;
        for (Fl_Window* other = Fl::first_window(); other != nullptr;
             other = Fl::next_window(other))
            if (other != &window) menu = other;
        if (menu == nullptr) return;
        menuShot =
            !flashwell::testing::SavePng(WithWindowsOnTop(window), "main_restore_menu").empty();
        PressKey(*menu, FL_Down);
        PressKey(*menu, FL_Enter);
    };
    std::string chooserTitle, chooserFolder;
    bool chooserModal = false;
    w.ui.onFileChooserShown = [&](Fl_File_Chooser& chooser) {
        // While it is open nothing else of the window can be clicked (an update, say).
        chooserModal = ChooserWindow(chooser) != nullptr && ChooserWindow(chooser)->modal();
        chooserTitle = chooser.label() != nullptr ? chooser.label() : "";
        chooserFolder = chooser.directory() != nullptr ? chooser.directory() : "";
        Choose(chooser, copies[0].path);
    };
    seen.clear();
    Fl::add_timeout(
        0.0, [](void* data) { (*static_cast<Action*>(data))(); }, &inMenu);
    RightClick(window, 200, 200);
    EXPECT_TRUE(menuShot);
    EXPECT_EQ(chooserTitle, "Restore parameter block");
    EXPECT_TRUE(chooserModal);
    EXPECT_EQ(std::filesystem::path(chooserFolder).filename(), w.backups.store.Folder().filename());

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, platform::MessageKind::Confirmation);
    EXPECT_EQ(seen[0].title, "Restore");
    EXPECT_NE(seen[0].text.find(copies[0].path.string()), std::string::npos) << seen[0].text;
    EXPECT_EQ(seen[0].buttons, (std::vector<std::string>{"OK", "Cancel"}));
    EXPECT_NE(seen[1].text.find("The parameter block was restored."), std::string::npos);
    EXPECT_EQ(f.LastOutcome, app::RunOutcome::Succeeded);
    EXPECT_NE(w.ui.MemoText().find("   Parameter block restored and verified"), std::string::npos);
    w.world.PowerCycle(board);
    EXPECT_EQ(sim::Inspect(board).parameterBlock, app::WithBlockMark(before));
}

// A file that is no sound copy is refused with what is wrong with it, and nothing is written.
TEST_F(WindowTest, RestoreRefusesAFileThatIsNoSoundCopy) {
    GuiWorld w;
    sim::Board& board = w.world.GetBoard(0);
    app::TForm1& f = w.Start();
    const std::filesystem::path file = w.backups.folder.Path() / "damaged.fwblock";
    std::ofstream(file, std::ios::binary) << "FLASHWELL PARAMETER BLOCK BACKUP\nformat: 1\n\nshort";
    std::string error;
    ASSERT_FALSE(app::ReadBackupFile(file, error));
    std::vector<SeenBox> seen;
    AnswerBoxes(w.ui, seen, "OK");
    w.ui.onFileChooserShown = [&](Fl_File_Chooser& chooser) { Choose(chooser, file); };
    const std::size_t operations = board.FlashOperations().size();
    PressCtrlR(*w.ui.MainWindow());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, platform::MessageKind::Error);
    EXPECT_EQ(seen[0].text, error);
    EXPECT_EQ(board.FlashOperations().size(), operations);
    EXPECT_EQ(f.LastOutcome, app::RunOutcome::NotRun);

    // Cancel in the chooser does nothing at all.
    w.ui.onFileChooserShown = [](Fl_File_Chooser& chooser) { CancelChooser(chooser); };
    PressCtrlR(*w.ui.MainWindow());
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_EQ(board.FlashOperations().size(), operations);
}

TEST(WindowText, WindowsCodePageBecomesUtf8) {
    EXPECT_EQ(ui::fltk::Utf8FromCp1252("a\r\nb"), "a\nb");
    EXPECT_EQ(ui::fltk::Utf8FromCp1252("\x80 \xE4\xFC\xDF"),
              "\xE2\x82\xAC \xC3\xA4\xC3\xBC\xC3\x9F");
    EXPECT_EQ(ui::fltk::CaptionLabel("@home"), "@@home");
}

} // namespace
