// The native window as a person uses it: the simulated default board behind it, the virtual
// clock, clicks and keys on the controls, real message boxes answered as they come up.
// Screenshots go to the current folder (win32-*.bmp).
#include "app/block_mark.h"
#include "app/main_form.h"
#include "cli/bench.h"
#include "cli/lanes.h"
#include "device/adapter_usb.h"
#include "protocol/board_protocol.h"
#include "screenshot.h"
#include "sim/board_contents.h"
#include "sim/scenario/scenario.h"
#include "sim/sim_world.h"
#include "testkit/temp_data_folder.h"
#include "testkit/virtual_time.h"
#include "ui/win32/win32_bench_window.h"
#include "ui/win32/win32_ui.h"

#include <commctrl.h>
#include <dlgs.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

using namespace flashwell;

namespace {

int failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++failures;
}

using flashwell::testing::VirtualTime;

ui::Win32Options AnswerFirstButton() {
    ui::Win32Options options;
    options.autoAnswerAfter = 0.05;
    return options;
}

// The program as main() puts it together, with the native window face.
struct GuiWorld {
    explicit GuiWorld(const sim::Scenario& scenario = sim::DefaultScenario(),
                      ui::Win32Options options = AnswerFirstButton())
        : world(VirtualTime()), ui(options) {
        world.Recorder().SetEnabled(false);
        sim::ApplyScenario(world, scenario);
    }
    app::TForm1& Start() {
        form.FormCreate();
        ui.ProcessPendingMessages(); // the first turn of the loop, before anyone looks or clicks
        return form;
    }

    flashwell::testing::TempBackups backups;
    sim::SimWorld world;
    device::BoardTable boards{world.Os()};
    ui::Win32Ui ui;
    protocol::BoardProtocol protocol{boards, ui};
    app::TForm1 form{app::Services{world.Os(), boards, protocol, ui, backups.store}};
};

struct SeenBox {
    std::string title;
    std::string text;
    UINT style = 0;
    std::string firstButtonText;
};

// A button's caption as a person reads it, without the underlined key's marker.
std::string Label(HWND hwnd);

std::string Text(HWND hwnd) {
    if (hwnd == nullptr) return {};
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(hwnd)) + 1, '\0');
    text.resize(
        static_cast<std::size_t>(GetWindowTextA(hwnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::string Label(HWND hwnd) {
    std::string out;
    for (char c : Text(hwnd))
        if (c != '&') out.push_back(c);
    return out;
}

SIZE ClientSize(HWND hwnd) {
    RECT r{};
    GetClientRect(hwnd, &r);
    return {r.right - r.left, r.bottom - r.top};
}

bool Ticked(HWND hwnd) {
    return SendMessageA(hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool Contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// Every static text of a window, with what it shows.
std::vector<HWND> StaticTexts(HWND parent) {
    std::vector<HWND> out;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        char cls[16] = {};
        GetClassNameA(child, cls, sizeof cls);
        if (lstrcmpiA(cls, "Static") == 0) out.push_back(child);
    }
    return out;
}

// Whether a static text shows its whole text on its one line. Measured with the font the
// control draws with, the text must fit the control's width; and what the control has on the
// screen must be that text drawn on one line: a label too narrow by a pixel has its last word
// broken onto a second line, below the control's height, where nobody sees it.
bool ShowsWholeText(HWND label, std::string& detail) {
    const std::string text = Text(label);
    RECT client{};
    GetClientRect(label, &client);
    const int w = client.right, h = client.bottom;
    RedrawWindow(label, nullptr, nullptr, RDW_UPDATENOW);
    GdiFlush();
    HDC dc = GetDC(label);
    HDC memory = CreateCompatibleDC(dc);
    // The text drawn on one line with room to spare, to see where its ink really ends.
    const int wide = w + 32;
    HBITMAP onScreen = CreateCompatibleBitmap(dc, w, h);
    HBITMAP expected = CreateCompatibleBitmap(dc, wide, h);
    HGDIOBJ oldBitmap = SelectObject(memory, onScreen);
    BitBlt(memory, 0, 0, w, h, dc, 0, 0, SRCCOPY);

    SelectObject(memory, expected);
    const auto font = reinterpret_cast<HFONT>(SendMessageA(label, WM_GETFONT, 0, 0));
    HGDIOBJ oldFont = SelectObject(memory, font != nullptr ? font : GetStockObject(SYSTEM_FONT));
    SIZE extent{};
    GetTextExtentPoint32A(memory, text.c_str(), static_cast<int>(text.size()), &extent);
    RECT line{0, 0, wide, h};
    FillRect(memory, &line, GetSysColorBrush(COLOR_BTNFACE));
    SetTextColor(memory, GetSysColor(COLOR_BTNTEXT));
    SetBkColor(memory, GetSysColor(COLOR_BTNFACE));
    DrawTextA(memory, text.c_str(), static_cast<int>(text.size()), &line,
              DT_LEFT | DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
    SelectObject(memory, oldFont);
    SelectObject(memory, oldBitmap);

    const auto pixels = [&](HBITMAP bitmap, int width) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -h;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        std::vector<std::uint32_t> out(static_cast<std::size_t>(width) *
                                       static_cast<std::size_t>(h));
        GetDIBits(memory, bitmap, 0, static_cast<UINT>(h), out.data(), &info, DIB_RGB_COLORS);
        for (std::uint32_t& p : out)
            p &= 0xFFFFFF;
        return out;
    };
    const std::vector<std::uint32_t> seen = pixels(onScreen, w);
    const std::vector<std::uint32_t> drawn = pixels(expected, wide);
    const std::uint32_t face = GetSysColor(COLOR_BTNFACE);
    const std::uint32_t faceRgb = ((face & 0xFF) << 16) | (face & 0xFF00) | ((face >> 16) & 0xFF);
    std::size_t differing = 0;
    int inkRight = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < wide; ++x) {
            const std::uint32_t p = drawn[static_cast<std::size_t>(y * wide + x)];
            if (p != faceRgb) inkRight = std::max(inkRight, x + 1);
            if (x < w && seen[static_cast<std::size_t>(y * w + x)] != p) ++differing;
        }
    DeleteObject(onScreen);
    DeleteObject(expected);
    DeleteDC(memory);
    ReleaseDC(label, dc);

    detail = "\"" + text + "\": text " + std::to_string(extent.cx) + " x " +
             std::to_string(extent.cy) + ", control " + std::to_string(w) + " x " +
             std::to_string(h) + ", ink to " + std::to_string(inkRight) + ", " +
             std::to_string(differing) + " pixel(s) differ from the text on one line";
    return extent.cx <= w && extent.cy <= h && inkRight <= w && differing == 0;
}

void Shot(HWND hwnd, const char* name) {
    const std::string file = std::string("win32-") + name + ".bmp";
    Check(test::SaveWindowBmp(hwnd, file), "screenshot " + file);
}

// Records every box, and answers with `answer` (a button identifier) when one is given; the
// face's own answer (its first button) comes otherwise.
void WatchBoxes(ui::Win32Ui& ui, std::vector<SeenBox>& seen, std::optional<int>& answer,
                const char* screenshotOfFirst = nullptr) {
    ui.onMessageShown = [&seen, &answer, screenshotOfFirst](ui::Win32MessageView& box) {
        seen.push_back(
            {box.title, box.text, box.style, Label(GetDlgItem(box.box, box.firstButton))});
        if (screenshotOfFirst != nullptr && seen.size() == 1) Shot(box.box, screenshotOfFirst);
        if (answer) PostMessageA(box.box, WM_COMMAND, MAKEWPARAM(*answer, BN_CLICKED), 0);
    };
}

void PressKey(HWND target, WPARAM key) {
    PostMessageA(target, WM_KEYDOWN, key, 1);
    PostMessageA(target, WM_KEYUP, key, 0xC0000001);
}

void MainWindowAndUpdate() {
    std::printf("== main window, Advanced view, full update\n");
    GuiWorld w;
    std::vector<SeenBox> seen;
    std::optional<int> answer;
    WatchBoxes(w.ui, seen, answer);
    app::TForm1& f = w.Start();
    HWND main = w.ui.MainWindow();
    Check(main != nullptr && IsWindowVisible(main), "the main window is shown after the scan");
    if (main == nullptr) return;
    Check(Text(main) == "Flashwell", "window caption");
    SIZE size = ClientSize(main);
    Check(size.cx == 457 && size.cy == 297, "client area 457 x 297 (is " + std::to_string(size.cx) +
                                                " x " + std::to_string(size.cy) + ")");

    SetWindowPos(main, nullptr, 0, 0, 700, 520, SWP_NOMOVE | SWP_NOZORDER);
    size = ClientSize(main);
    Check(size.cx == 457 && size.cy == 297, "client area back at 457 x 297 after a larger size");
    SetWindowPos(main, nullptr, 0, 0, 200, 120, SWP_NOMOVE | SWP_NOZORDER);
    w.ui.ProcessPendingMessages();
    size = ClientSize(main);
    Check(size.cx == 457 && size.cy == 297, "client area back at 457 x 297 after a smaller size");

    HWND line0 = w.ui.HandleOf(f.RadioButton1);
    Check(Text(line0) == "vexta/USB",
          "board line 0 reads \"vexta/USB\" (is \"" + Text(line0) + "\")");
    Check(line0 != nullptr && IsWindowEnabled(line0), "board line 0 is enabled");
    Check(Ticked(line0), "board line 0 is selected");
    for (const app::Control* c : {&f.RadioButton2, &f.RadioButton3, &f.RadioButton4}) {
        HWND h = w.ui.HandleOf(*c);
        Check(Text(h) == "Board not found" && !IsWindowEnabled(h) && !Ticked(h),
              c->name + " reads \"Board not found\", disabled");
        Check(!w.ui.Click(*c), c->name + " takes no click");
    }
    HWND update = w.ui.HandleOf(f.Button1);
    Check(Text(update) == "Update" &&
              (GetWindowLongPtrA(update, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON,
          "\"Update\" is the default push button");
    HWND bar = w.ui.StatusBar();
    char panel[64] = {};
    SendMessageA(bar, SB_GETTEXTA, 0, reinterpret_cast<LPARAM>(panel));
    Check(std::string(panel) == "Board: 0", "status panel 0 reads \"Board: 0\"");
    int edges[4] = {};
    Check(SendMessageA(bar, SB_GETPARTS, 4, reinterpret_cast<LPARAM>(edges)) == 4 &&
              edges[0] == 90 && edges[1] == 240 && edges[2] == 440 && edges[3] == 490,
          "status bar panels 90, 150, 200, 50 wide");
    RECT part1{}, part2{}, g1{}, g2{};
    SendMessageA(bar, SB_GETRECT, 1, reinterpret_cast<LPARAM>(&part1));
    SendMessageA(bar, SB_GETRECT, 2, reinterpret_cast<LPARAM>(&part2));
    GetWindowRect(w.ui.GaugeWindow(f.Gauge1), &g1);
    GetWindowRect(w.ui.GaugeWindow(f.Gauge2), &g2);
    MapWindowPoints(nullptr, bar, reinterpret_cast<POINT*>(&g1), 2);
    MapWindowPoints(nullptr, bar, reinterpret_cast<POINT*>(&g2), 2);
    Check(g2.left >= part1.left && g2.right <= part1.right && g2.right - g2.left > 100,
          "Gauge2 lies over panel 1");
    Check(g1.left >= part2.left && g1.right <= part2.right && g1.right - g1.left > 150,
          "Gauge1 lies over panel 2");
    HWND memo = w.ui.HandleOf(f.Memo1.control);
    Check(Contains(Text(memo), "Found board 0...\r\n   loading Flashprogram..."),
          "the log shows the scan");
    Check((GetWindowLongPtrA(memo, GWL_STYLE) & (ES_READONLY | WS_VSCROLL | ES_MULTILINE)) ==
              (ES_READONLY | WS_VSCROLL | ES_MULTILINE),
          "the log is a read-only multi-line edit box with a vertical scroll bar");
    LOGFONTA lf{};
    GetObjectA(reinterpret_cast<HFONT>(SendMessageA(update, WM_GETFONT, 0, 0)), sizeof lf, &lf);
    Check(std::string(lf.lfFaceName) == "MS Sans Serif" && lf.lfHeight == -11,
          "controls use MS Sans Serif 8 points");
    Check(!IsWindowVisible(w.ui.HandleOf(f.CheckBox1)), "step boxes hidden at start");
    Check(!IsWindowVisible(w.ui.HandleOf(f.Button4)), "\"Read Flash\" hidden");
    for (const app::Control* c : {&f.Label2, &f.Label3}) {
        std::string detail;
        const bool whole = ShowsWholeText(w.ui.HandleOf(*c), detail);
        Check(whole, c->name + " shows its whole text: " + detail);
    }
    Shot(main, "main");

    // Advanced view.
    Check(w.ui.Click(f.CheckBox5), "\"Advanced\" takes a click");
    Check(Ticked(w.ui.HandleOf(f.CheckBox5)), "\"Advanced\" ticked");
    for (const app::Control* c :
         {&f.CheckBox1, &f.CheckBox2, &f.CheckBox6, &f.CheckBox3, &f.CheckBox4}) {
        HWND h = w.ui.HandleOf(*c);
        Check(IsWindowVisible(h) && Ticked(h), c->caption + " shown and ticked");
    }
    w.ui.ProcessPendingMessages();
    Shot(main, "advanced");
    w.ui.Click(f.CheckBox2);
    Check(!f.CheckBox2.checked && !Ticked(w.ui.HandleOf(f.CheckBox2)), "a step box unticks");
    w.ui.Click(f.CheckBox2);
    Check(f.CheckBox2.checked && Ticked(w.ui.HandleOf(f.CheckBox2)), "and ticks again");
    w.ui.Click(f.CheckBox5);
    Check(!IsWindowVisible(w.ui.HandleOf(f.CheckBox1)) && f.CheckBox1.checked,
          "unticking \"Advanced\" hides the boxes, ticks kept");

    // Enter starts a run; Cancel in the confirmation ends it at once.
    answer = IDCANCEL;
    const std::size_t logBefore = f.Memo1.lines.size();
    SetFocus(update);
    PressKey(update, VK_RETURN);
    w.ui.ProcessPendingMessages();
    Check(seen.size() == 1 && seen[0].title == "Warning" && seen[0].text == app::kConfirmText &&
              seen[0].style == (MB_ICONWARNING | MB_OKCANCEL),
          "Enter asks the confirmation: a warning box with OK and Cancel");
    Check(f.Memo1.lines.size() == logBefore && IsWindowEnabled(update) && !f.Running(),
          "Cancel leaves the log and re-enables the controls");
    answer.reset();
    seen.clear();

    // The full update, boxes answered with their first button.
    bool sawRun = false, closeRefused = false, controlsDisabled = false, midShot = false;
    w.ui.onPendingMessages = [&] {
        if (!f.Running()) return;
        if (!sawRun) {
            sawRun = true;
            controlsDisabled = !IsWindowEnabled(w.ui.HandleOf(f.Button1)) &&
                               !IsWindowEnabled(w.ui.HandleOf(f.Button2)) &&
                               !IsWindowEnabled(w.ui.HandleOf(f.Button3)) &&
                               !IsWindowEnabled(w.ui.HandleOf(f.CheckBox5));
            closeRefused = !w.ui.RequestClose() && IsWindow(main);
        }
        if (!midShot && f.Gauge1.Percent() >= 50 && f.Gauge2.Percent() >= 30) {
            midShot = true;
            Shot(main, "run");
        }
    };
    Check(w.ui.Click(f.Button1), "\"Update\" takes a click");
    w.ui.onPendingMessages = nullptr;
    Check(sawRun && controlsDisabled, "during the run the buttons and \"Advanced\" are disabled");
    Check(closeRefused, "closing is refused during the run");
    Check(midShot, "screenshot in the middle of the run");
    Check(!seen.empty() && seen.front().text == app::kConfirmText &&
              seen.front().firstButtonText == "OK",
          "the run starts with the confirmation");
    Check(!seen.empty() && seen.back().title == "Flashwell" &&
              seen.back().text == app::kSuccessText && seen.back().style == MB_OK,
          "\"Update successfully ended\" in a plain box");
    Check(f.LastOutcome == app::RunOutcome::Succeeded, "the run succeeded");
    const std::string log = Text(memo);
    Check(Contains(log, "*** UpdateRBF ***") && Contains(log, "*** Update KPCI ***") &&
              Contains(log, "*** Update Bootprogram ***") &&
              Contains(log, "*** Update Firmware ***"),
          "every step in the log");
    RECT sel{};
    SendMessageA(memo, EM_GETSEL, reinterpret_cast<WPARAM>(&sel.left),
                 reinterpret_cast<LPARAM>(&sel.right));
    const LRESULT firstVisible = SendMessageA(memo, EM_GETFIRSTVISIBLELINE, 0, 0);
    const LRESULT lines = SendMessageA(memo, EM_GETLINECOUNT, 0, 0);
    Check(firstVisible > 0 && lines - firstVisible < 20, "the log follows its newest line");
    Check(IsWindowEnabled(update) && IsWindowEnabled(w.ui.HandleOf(f.Button3)),
          "the controls are enabled again");
    Check(f.Gauge1.Percent() == 0 && f.Gauge2.Percent() == 0, "both gauges back at 0");

    // Info.
    seen.clear();
    Check(w.ui.Click(f.Button2), "\"Info\" takes a click");
    Check(seen.size() == 1 && seen[0].text == app::TForm1::InfoText() && seen[0].style == MB_OK &&
              seen[0].title == "Flashwell",
          "\"Info\" shows the Info text in a plain box");

    // Esc is "Quit".
    PressKey(update, VK_ESCAPE);
    w.ui.ProcessPendingMessages();
    Check(w.ui.MainWindow() == nullptr && !IsWindow(main), "Esc closes the window");
}

void SubIdDialog() {
    std::printf("== SubID dialog\n");
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.boards.at(0).subId = 7;
    GuiWorld w(scenario);
    std::vector<SeenBox> seen;
    std::optional<int> answer;
    WatchBoxes(w.ui, seen, answer);
    app::TForm1& f = w.Start();
    HWND main = w.ui.MainWindow();
    HWND dialog = w.ui.SubIdWindow();
    Check(dialog != nullptr && !IsWindowVisible(dialog), "the SubID dialog exists, hidden");
    for (app::Control* box : {&f.CheckBox6, &f.CheckBox3, &f.CheckBox4})
        f.SetStepBox(*box, false);

    // First showing: revision 1.3 and Enter.
    int shown = 0;
    w.ui.onSubIdDialogShown = [&](ui::Win32SubIdView& view) {
        ++shown;
        SIZE size = ClientSize(view.window);
        Check(size.cx == 221 && size.cy == 203, "dialog client area 221 x 203");
        Check(Text(view.window) == "Unknown Device", "dialog caption");
        Check((GetWindowLongPtrA(view.window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0,
              "the dialog stays on top");
        Check(!IsWindowEnabled(main), "the main window is disabled while it is open");
        Check(Ticked(view.revisions[0]) &&
                  Text(view.revisions[2]) == "Revision 1.3 (Altera Cyclone)",
              "revision 1.1 selected at first");
        const std::vector<HWND> labels = StaticTexts(view.window);
        Check(labels.size() == 5, "the dialog has its five labels");
        for (HWND label : labels) {
            std::string detail;
            const bool whole = ShowsWholeText(label, detail);
            Check(whole, "dialog label shows its whole text: " + detail);
        }
        Shot(view.window, "subid");
        SendMessageA(view.revisions[2], BM_CLICK, 0, 0);
        Check(Ticked(view.revisions[2]) && !Ticked(view.revisions[0]), "revision 1.3 clicked");
        PressKey(view.revisions[2], VK_RETURN);
    };
    w.ui.Click(f.Button1);
    Check(shown == 1, "the dialog came up once");
    Check(f.SubIDDialog.RevisionChoice == 2, "Enter accepted revision 1.3");
    Check(Contains(Text(w.ui.HandleOf(f.Memo1.control)),
                   "   Write RBF for USB Hardware Rev. 1.x - SubID: 7"),
          "the log names the unknown SubID");
    bool askedKpci = false;
    for (const SeenBox& b : seen)
        if (b.title == "Warning" && b.style == (MB_ICONWARNING | MB_YESNO) &&
            Contains(b.text, "Altera type could not be identified!") && b.firstButtonText == "Yes")
            askedKpci = true;
    Check(askedKpci, "the KPCI step asked with a Yes/No warning");
    Check(IsWindowEnabled(main) && !IsWindowVisible(dialog), "the dialog is gone, the window back");
    Check(f.LastOutcome == app::RunOutcome::Succeeded, "the run succeeded");

    // Second showing: the close box sets nothing, so the last choice stands.
    f.SetStepBox(f.CheckBox2, false);
    w.ui.onSubIdDialogShown = [&](ui::Win32SubIdView& view) {
        ++shown;
        Check(Ticked(view.revisions[2]), "the selection carries over");
        PostMessageA(view.window, WM_CLOSE, 0, 0);
    };
    w.ui.Click(f.Button1);
    Check(shown == 2 && f.SubIDDialog.RevisionChoice == 2,
          "the close box leaves the choice as it was");
    Check(f.LastOutcome == app::RunOutcome::Succeeded, "and the run went on with it");

    // Third showing: Esc cancels.
    w.ui.onSubIdDialogShown = [&](ui::Win32SubIdView& view) {
        ++shown;
        PressKey(view.accept, VK_ESCAPE);
    };
    w.ui.Click(f.Button1);
    Check(shown == 3 && f.SubIDDialog.RevisionChoice == -1, "Esc cancels the dialog");
    Check(Contains(Text(w.ui.HandleOf(f.Memo1.control)),
                   "Error occured during RBF - Cancelling actions"),
          "the cancelled step is in the log");
    Check(!seen.empty() && seen.back().text == app::kErrorText,
          "the run ends with the error message");
    Check(f.LastOutcome == app::RunOutcome::Failed, "the run failed");
}

void ErrorBox() {
    std::printf("== reconnect boxes\n");
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.boards.at(0).reenumerationComesBack = false;
    GuiWorld w(scenario);
    std::vector<SeenBox> seen;
    std::optional<int> answer;
    bool errorShot = false;
    w.ui.onMessageShown = [&](ui::Win32MessageView& box) {
        seen.push_back(
            {box.title, box.text, box.style, Label(GetDlgItem(box.box, box.firstButton))});
        if (box.title == "Error" && !errorShot) {
            errorShot = true;
            Shot(box.box, "error-box");
        }
    };
    app::TForm1& f = w.Start();
    for (app::Control* box : {&f.CheckBox6, &f.CheckBox1, &f.CheckBox2, &f.CheckBox3})
        f.SetStepBox(*box, false);
    w.ui.Click(f.Button1);
    bool confirm = false, error = false;
    for (const SeenBox& b : seen) {
        if (b.title == "Confirm" && b.style == (MB_ICONQUESTION | MB_OKCANCEL) &&
            Contains(b.text, "Automatic ReEnumeration failed"))
            confirm = true;
        if (b.title == "Error" && (b.style & MB_ICONERROR) != 0 &&
            Contains(b.text, "Could not reconnect to board!") && b.firstButtonText == "Cancel")
            error = true;
    }
    Check(confirm, "a failed re-enumeration asks to reconnect (question, OK and Cancel)");
    Check(error, "a failed reconnect shows an error box with a single \"Cancel\"");
    Check(errorShot, "screenshot of the error box");
}

// The window menu's item that restores a parameter block, found by its text as a person finds
// it; 0 when there is none.
UINT RestoreMenuItem(HWND main) {
    HMENU menu = GetSystemMenu(main, FALSE);
    for (int i = 0; menu != nullptr && i < GetMenuItemCount(menu); ++i) {
        char text[64] = {};
        GetMenuStringA(menu, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
        if (std::string(text) == "Restore &parameter block...") return GetMenuItemID(menu, i);
    }
    return 0;
}

bool Greyed(HWND main, UINT item) {
    return (GetMenuState(GetSystemMenu(main, FALSE), item, MF_BYCOMMAND) & MF_GRAYED) != 0;
}

// What a person does in the file dialog: type the file's name and press Enter.
void ChooseFile(HWND dialog, const std::string& path) {
    HWND name = GetDlgItem(dialog, cmb13);
    if (name == nullptr) name = GetDlgItem(dialog, edt1);
    SetWindowTextA(name, path.c_str());
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
}

// Takes the picture of the window whose menu is open, then closes the menu.
void CALLBACK ShootOpenMenu(HWND window, UINT, UINT_PTR id, DWORD) {
    KillTimer(window, id);
    test::SaveWindowBmp(window, "win32-restore-menu.bmp");
    EndMenu();
}

void RestoreFromTheWindowMenu() {
    std::printf("== restore from the window menu\n");
    GuiWorld w;
    sim::Board& board = w.world.GetBoard(0);
    const boarddata::FlashDataBlock before = sim::Inspect(board).parameterBlock;
    std::vector<SeenBox> seen;
    std::optional<int> answer;
    WatchBoxes(w.ui, seen, answer);
    app::TForm1& f = w.Start();
    HWND main = w.ui.MainWindow();
    const UINT item = RestoreMenuItem(main);
    Check(item != 0, "the window menu offers \"Restore parameter block...\"");
    Check(item != 0 && !Greyed(main, item), "and it can be chosen after the scan");

    // The parameter block step alone; during its run the item is greyed and does nothing.
    for (app::Control* box : {&f.CheckBox1, &f.CheckBox2, &f.CheckBox3, &f.CheckBox4})
        f.SetStepBox(*box, false);
    bool sawRun = false, greyedInRun = false;
    int dialogs = 0;
    w.ui.onFileDialogShown = [&](HWND dialog) {
        ++dialogs;
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    };
    w.ui.onPendingMessages = [&] {
        if (sawRun || !f.Running()) return;
        sawRun = true;
        greyedInRun = Greyed(main, item);
        PostMessageA(main, WM_SYSCOMMAND, item, 0);
    };
    w.ui.Click(f.Button1);
    w.ui.onPendingMessages = nullptr;
    Check(f.LastOutcome == app::RunOutcome::Succeeded, "the update ran");
    Check(sawRun && greyedInRun, "the item is greyed during the run");
    Check(dialogs == 0, "and choosing it then opens nothing");
    const auto copies = w.backups.store.List();
    Check(copies.size() == 1 && copies[0].block == before, "the update left a copy of the block");
    Check(sim::Inspect(board).parameterBlock != before, "the update changed the block");
    if (copies.empty()) return;

    // A picture of the open menu.
    std::error_code ec;
    std::filesystem::remove("win32-restore-menu.bmp", ec);
    RECT frame{};
    GetWindowRect(main, &frame);
    SetTimer(main, 77, 200, ShootOpenMenu);
    TrackPopupMenu(GetSystemMenu(main, FALSE), TPM_LEFTALIGN | TPM_TOPALIGN, frame.left + 4,
                   frame.top + 20, 0, main, nullptr);
    Check(std::filesystem::exists("win32-restore-menu.bmp"), "screenshot win32-restore-menu.bmp");

    // The copy goes back through the file dialog, the question and the final message.
    std::string dialogTitle;
    w.ui.onFileDialogShown = [&](HWND dialog) {
        dialogTitle = Text(dialog);
        ChooseFile(dialog, copies[0].path.string());
    };
    seen.clear();
    PostMessageA(main, WM_SYSCOMMAND, item, 0);
    w.ui.ProcessPendingMessages();
    Check(dialogTitle == "Restore parameter block",
          "a file dialog asks for the copy (\"" + dialogTitle + "\")");
    Check(seen.size() == 2 && seen[0].title == "Restore" &&
              seen[0].style == (MB_ICONQUESTION | MB_OKCANCEL) &&
              Contains(seen[0].text, copies[0].path.string()),
          "the restore asks first, naming the copy");
    Check(seen.size() == 2 && Contains(seen[1].text, "The parameter block was restored."),
          "and ends with its message");
    Check(f.LastOutcome == app::RunOutcome::Succeeded, "the restore succeeded");
    Check(
        Contains(Text(w.ui.HandleOf(f.Memo1.control)), "   Parameter block restored and verified"),
        "the log says the block was verified");
    w.world.PowerCycle(board);
    Check(sim::Inspect(board).parameterBlock == app::WithBlockMark(before),
          "the board holds its old block again, with the mark of a write that ended");

    // A file that is no sound copy is refused with what is wrong with it.
    const std::filesystem::path damaged = w.backups.folder.Path() / "damaged.fwblock";
    std::ofstream(damaged, std::ios::binary)
        << "FLASHWELL PARAMETER BLOCK BACKUP\nformat: 1\n\nshort";
    std::string error;
    app::ReadBackupFile(damaged, error);
    const std::size_t operations = board.FlashOperations().size();
    w.ui.onFileDialogShown = [&](HWND dialog) { ChooseFile(dialog, damaged.string()); };
    seen.clear();
    PostMessageA(main, WM_SYSCOMMAND, item, 0);
    w.ui.ProcessPendingMessages();
    Check(seen.size() == 1 && (seen[0].style & MB_ICONERROR) != 0 && !error.empty() &&
              seen[0].text == error,
          "a damaged file is refused with an error box (\"" + error + "\")");
    Check(board.FlashOperations().size() == operations, "and nothing is written");
}

// The bench in its window: the four simulated boards of scenarios/bench-4.json on the virtual
// clock, the warning and the questions answered by the face, a picture while the boards are
// written (the lanes wait in their run until it is taken) and one of the summary, and a board's
// log one click away.
void BenchWindow() {
    const sim::ScenarioResult loaded =
        sim::LoadScenarioFile(FLASHWELL_SCENARIO_DIR "/bench-4.json");
    Check(loaded.scenario.has_value(), "bench-4 loads: " + loaded.error);
    if (!loaded.scenario) return;
    flashwell::testing::TempDataFolder folder;
    cli::Invocation v;
    v.scenario = *loaded.scenario;
    v.clock.speedFactor = 0;
    v.update = true;
    v.allBoards = true;
    v.dataFolder = folder.Path();
    v.logFile = folder.Path() / "flashwell.log";
    const cli::BenchResolution resolved = cli::ResolveBench(v);
    Check(resolved.error.empty() && resolved.targets.size() == 4,
          "the bench names four boards " + resolved.error);
    if (resolved.targets.size() != 4) return;

    ui::Win32Options options = AnswerFirstButton();
    options.revision = 1;
    ui::Win32Ui face(options);
    std::vector<std::string> boxes, dialogs;
    face.onMessageShown = [&](ui::Win32MessageView& box) { boxes.push_back(box.title); };
    face.onSubIdDialogShown = [&](ui::Win32SubIdView& dialog) {
        dialogs.push_back(Text(dialog.window));
    };
    ui::Win32BenchWindow window(face);

    std::atomic<bool> pictured{false};
    cli::LaneSignal released;
    cli::BenchHooks hooks;
    hooks.pump = [&](cli::BenchLane& lane) {
        if (lane.stepPercent > 0 && !pictured) released.Wait();
    };
    int passes = 0;
    window.onPass = [&](ui::Win32BenchWindow& w) {
        if (pictured) return;
        std::string rows;
        bool underWay = true;
        for (std::size_t r = 0; r < 4; ++r) {
            rows += " [" + w.Text(r, ui::layout::BenchColumn::Step) + " " +
                    w.Text(r, ui::layout::BenchColumn::Gauge) + "]";
            underWay = underWay && !w.Text(r, ui::layout::BenchColumn::Step).empty() &&
                       w.Text(r, ui::layout::BenchColumn::Gauge) != "0%";
        }
        if (++passes % 20 == 0) std::printf("     pass %d:%s\n", passes, rows.c_str());
        // Never a test that hangs: a window that does not show it fails, and the lanes go on.
        if (!underWay && passes < 600) return;
        Check(underWay, "every board underWay in its row:" + rows);
        Check(w.StateLineText() == "4 of 4 boards running",
              "while the boards are written: " + w.StateLineText());
        Check(!IsWindowEnabled(w.CloseButton()), "no closing while boards are written");
        Shot(w.Window(), "bench-during");
        pictured = true;
        released.Set();
    };
    bool summaryShown = false;
    window.onSummaryShown = [&](ui::Win32BenchWindow& w) {
        summaryShown = true;
        for (std::size_t r = 0; r < 4; ++r) {
            const cli::BenchTarget& t = resolved.targets[r];
            const std::string row = "row " + std::to_string(r) + ": ";
            Check(w.Text(r, ui::layout::BenchColumn::Place) == t.place &&
                      w.Text(r, ui::layout::BenchColumn::Serial) == t.serial,
                  row + "place " + t.place + " and serial " + t.serial);
            Check(w.Text(r, ui::layout::BenchColumn::Result) == "updated" &&
                      w.Text(r, ui::layout::BenchColumn::Gauge) == "100%",
                  row + "ends updated: " + w.Text(r, ui::layout::BenchColumn::Result));
            Check(IsWindowEnabled(w.LogButton(r)), row + "its log a click away");
        }
        Check(w.StateLineText() == "4 of 4 boards updated", "summary: " + w.StateLineText());
        Shot(w.Window(), "bench-after");
        SendMessageA(w.LogButton(2), BM_CLICK, 0, 0);
        Check(w.LogWindow() != nullptr && IsWindowVisible(w.LogWindow()) &&
                  Contains(Text(w.LogWindow()), resolved.targets[2].place) &&
                  Contains(w.LogText(), resolved.targets[2].Name()),
              "\"Log\" shows the board's log");
        // The new window reaches the screen through the window system: let it get there.
        for (int turn = 0; turn < 20 && w.LogWindow() != nullptr; ++turn) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        if (w.LogWindow() != nullptr) Shot(w.LogWindow(), "bench-log");
        SendMessageA(w.CloseButton(), BM_CLICK, 0, 0);
    };

    std::ostringstream out;
    const int status = cli::RunBench(v, resolved.targets, out, hooks, &window);
    Check(status == cli::kExitSuccess, "every board updated: " + out.str());
    Check(summaryShown && pictured, "pictured during the run and at its end");
    const auto namesABoard = [&](const std::string& caption) {
        return std::any_of(resolved.targets.begin(), resolved.targets.end(),
                           [&](const cli::BenchTarget& t) {
                               return Contains(caption, t.serial + " at " + t.place);
                           });
    };
    Check(boxes.size() == 2 && boxes[0] == "Warning" && namesABoard(boxes.back()),
          "the warning once, then one board's question naming it: " +
              (boxes.empty() ? std::string() : boxes.back()));
    Check(dialogs.size() == 1 && namesABoard(dialogs[0]),
          "the SubID dialog names its board: " + (dialogs.empty() ? std::string() : dialogs[0]));
}

} // namespace

int main(int argc, char** argv) {
    if (!ui::Win32DisplayAvailable()) {
        std::printf("FAIL no display: windows cannot be created here\n");
        return 1;
    }
    // "bench": the bench window alone.
    if (argc > 1 && std::string(argv[1]) == "bench") {
        BenchWindow();
        return failures == 0 ? 0 : 1;
    }
    MainWindowAndUpdate();
    SubIdDialog();
    ErrorBox();
    RestoreFromTheWindowMenu();
    BenchWindow();
    std::printf(failures == 0 ? "== all window checks passed\n" : "== %d window check(s) failed\n",
                failures);
    return failures == 0 ? 0 : 1;
}
