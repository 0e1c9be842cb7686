#include "ui/win32/win32_ui.h"

#include "app/main_form.h"
#include "app/subid_dialog.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

namespace flashwell::ui {

namespace {

constexpr const char* kMainClass = "FlashwellMainWindow";
constexpr const char* kPanelClass = "FlashwellPanel";
constexpr const char* kGaugeClass = "FlashwellGauge";
constexpr const char* kSubIdClass = "FlashwellSubIdDialog";
constexpr const char* kHelperClass = "FlashwellUiHelper";

// Control identifiers. "Update" and "Quit" carry the identifiers the dialog manager gives Enter
// and Esc, so that the keys and the clicks take one path.
constexpr int kIdUpdate = IDOK;
constexpr int kIdQuit = IDCANCEL;
constexpr int kIdInfo = 1002;
constexpr int kIdReadFlash = 1003;
constexpr int kIdBoardLine = 1010; // + line index
constexpr int kIdStepBox = 1020;   // + check box number
constexpr int kIdGroup = 1030;
constexpr int kIdLabel = 1040; // + label number
constexpr int kIdPanel = 1050; // + panel number
constexpr int kIdMemo = 1060;
constexpr int kIdStatusBar = 1061;
constexpr int kIdGauge = 1062;    // + 1 for Gauge2
constexpr int kIdRevision = 1100; // + revision choice
// The window menu's item for a restore; the system keeps the low four bits of its commands.
constexpr UINT kIdRestoreMenu = 0x0110;

// Timers of the helper window.
constexpr UINT_PTR kBoxHookTimer = 1;
constexpr UINT_PTR kBoxAnswerTimer = 2;
constexpr UINT_PTR kSubIdAnswerTimer = 3;
constexpr UINT_PTR kFileDialogHookTimer = 4;
// Posted to the SubID dialog once it is on screen.
constexpr UINT kSubIdShownMessage = WM_APP + 1;

// Gauge windows keep their model and font in their extra bytes.
constexpr int kGaugeModelSlot = 0;
constexpr int kGaugeFontSlot = static_cast<int>(sizeof(LONG_PTR));

template <typename T> T* ObjectOf(HWND hwnd) {
    return reinterpret_cast<T*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

void Attach(HWND hwnd, LPARAM createParams) {
    const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(createParams);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
}

bool IsClass(HWND hwnd, const char* name) {
    char buffer[64] = {};
    GetClassNameA(hwnd, buffer, sizeof buffer);
    return std::strcmp(buffer, name) == 0;
}

UINT Milliseconds(double seconds) {
    return std::max<UINT>(USER_TIMER_MINIMUM, static_cast<UINT>(seconds * 1000.0 + 0.5));
}

// Panels are plain containers: what their controls tell them belongs to the window.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_DRAWITEM:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
        return SendMessageA(GetParent(hwnd), msg, wp, lp);
    case WM_PAINT:
    case WM_PRINTCLIENT: {
        PAINTSTRUCT ps{};
        HDC dc = msg == WM_PAINT ? BeginPaint(hwnd, &ps) : reinterpret_cast<HDC>(wp);
        RECT rc;
        GetClientRect(hwnd, &rc);
        // One raised pixel, the usual panel bevel.
        DrawEdge(dc, &rc, BDR_RAISEDINNER, BF_RECT);
        if (msg == WM_PAINT) EndPaint(hwnd, &ps);
        return 0;
    }
    default:
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

void PaintGauge(HWND hwnd, HDC dc) {
    const auto* gauge =
        reinterpret_cast<const app::Gauge*>(GetWindowLongPtrA(hwnd, kGaugeModelSlot));
    const auto font = reinterpret_cast<HFONT>(GetWindowLongPtrA(hwnd, kGaugeFontSlot));
    const int percent = gauge != nullptr ? gauge->Percent() : 0;
    RECT rc;
    GetClientRect(hwnd, &rc);
    const LONG fill = rc.left + (rc.right - rc.left) * percent / 100;
    const RECT filled{rc.left, rc.top, fill, rc.bottom};
    const RECT rest{fill, rc.top, rc.right, rc.bottom};
    FillRect(dc, &filled, GetSysColorBrush(COLOR_HIGHLIGHT));
    FillRect(dc, &rest, GetSysColorBrush(COLOR_BTNFACE));

    char text[8];
    const int length = wsprintfA(text, "%d%%", percent);
    const int saved = SaveDC(dc);
    if (font != nullptr) SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    // The text stays readable where the bar runs under it: light on the bar, dark beside it.
    for (int pass = 0; pass < 2; ++pass) {
        const RECT& part = pass == 0 ? filled : rest;
        if (part.right <= part.left) continue;
        const int clip = SaveDC(dc);
        IntersectClipRect(dc, part.left, part.top, part.right, part.bottom);
        SetTextColor(dc, GetSysColor(pass == 0 ? COLOR_HIGHLIGHTTEXT : COLOR_BTNTEXT));
        RECT box = rc;
        DrawTextA(dc, text, length, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        RestoreDC(dc, clip);
    }
    RestoreDC(dc, saved);
}

LRESULT CALLBACK GaugeProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_NCCREATE: {
        const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lp);
        SetWindowLongPtrA(hwnd, kGaugeModelSlot, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
    case WM_SETFONT:
        SetWindowLongPtrA(hwnd, kGaugeFontSlot, static_cast<LONG_PTR>(wp));
        if (LOWORD(lp) != 0) InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    case WM_GETFONT:
        return GetWindowLongPtrA(hwnd, kGaugeFontSlot);
    case WM_ERASEBKGND:
        return 1; // the paint covers every pixel
    case WM_PAINT: {
        PAINTSTRUCT ps{};
        HDC dc = BeginPaint(hwnd, &ps);
        PaintGauge(hwnd, dc);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_PRINTCLIENT:
        PaintGauge(hwnd, reinterpret_cast<HDC>(wp));
        return 0;
    default:
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

// A single "Cancel" button is no style of MessageBoxA: the box is asked for with "OK" alone and
// that button is renamed as the box comes up. Whatever ends it then means Cancel.
LRESULT CALLBACK RelabelOkAsCancel(int code, WPARAM wp, LPARAM lp) {
    if (code == HCBT_ACTIVATE) {
        const auto box = reinterpret_cast<HWND>(wp);
        if (IsClass(box, "#32770")) {
            for (int id : {IDOK, IDCANCEL})
                if (HWND button = GetDlgItem(box, id)) SetWindowTextA(button, "Cancel");
        }
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}

BOOL CALLBACK FindBoxOfThread(HWND hwnd, LPARAM lp) {
    if (IsWindowVisible(hwnd) && IsClass(hwnd, "#32770")) {
        *reinterpret_cast<HWND*>(lp) = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND MessageBoxOnScreen() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindBoxOfThread, reinterpret_cast<LPARAM>(&found));
    return found;
}

void RegisterOnce(const WNDCLASSEXA& wc) {
    WNDCLASSEXA existing{};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExA(wc.hInstance, wc.lpszClassName, &existing)) return;
    RegisterClassExA(&wc);
}

SIZE TextSize(HWND hwnd, HFONT font, const std::string& text) {
    SIZE size{0, 0};
    HDC dc = GetDC(hwnd);
    HGDIOBJ old = SelectObject(dc, font);
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
    return size;
}

} // namespace

struct Win32Ui::Controls {
    enum class Kind { Label, Group, Button, Toggle };
    struct Binding {
        const app::Control* model = nullptr;
        HWND hwnd = nullptr;
        Kind kind = Kind::Label;
        int id = 0;
        std::function<void()> action;
        // What the window shows now.
        std::string caption;
        bool shown = false;
        bool enabled = true;
        bool visible = true;
        bool checked = false;
        // Labels take the width of their text.
        bool autoWidth = false;
    };

    std::vector<Binding> bindings;
    std::array<HWND, 3> panels{};
    HWND memo = nullptr;
    std::size_t memoLines = 0;
    HWND gauge1 = nullptr;
    HWND gauge2 = nullptr;
    int gauge1Percent = -1;
    int gauge2Percent = -1;
    std::array<std::string, 4> panelTexts;
    bool panelTextsShown = false;
    std::string title;
    bool titleShown = false;

    app::TSubIDDialog* subIdModel = nullptr;
    std::array<HWND, 3> revisions{};
    HWND accept = nullptr;
    HWND cancel = nullptr;

    Binding* Find(const app::Control& control) {
        for (Binding& b : bindings)
            if (b.model == &control) return &b;
        return nullptr;
    }
    Binding* FindId(int id) {
        for (Binding& b : bindings)
            if (b.id == id) return &b;
        return nullptr;
    }
};

bool Win32DisplayAvailable() {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = instance;
    wc.lpszClassName = "FlashwellDisplayProbe";
    RegisterOnce(wc);
    HWND probe = CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                 nullptr, instance, nullptr);
    if (probe == nullptr) return false;
    DestroyWindow(probe);
    return true;
}

void HideOwnConsole() {
    HWND console = GetConsoleWindow();
    if (console == nullptr) return;
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) == 1) ShowWindow(console, SW_HIDE);
}

Win32Ui::Win32Ui(Win32Options options)
    : options_(options), instance_(GetModuleHandleA(nullptr)),
      controls_(std::make_unique<Controls>()) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);

    // The layout was made for MS Sans Serif 8 points at 96 dpi.
    font_ = CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        DEFAULT_PITCH | FF_SWISS, "MS Sans Serif");
    if (font_ == nullptr) font_ = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));

    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.hInstance = instance_;
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);

    wc.lpfnWndProc = MainProc;
    wc.lpszClassName = kMainClass;
    wc.hIcon = LoadIconA(nullptr, MAKEINTRESOURCEA(32512)); // IDI_APPLICATION
    RegisterOnce(wc);
    wc.hIcon = nullptr;

    wc.lpfnWndProc = PanelProc;
    wc.lpszClassName = kPanelClass;
    RegisterOnce(wc);

    wc.lpfnWndProc = GaugeProc;
    wc.lpszClassName = kGaugeClass;
    wc.cbWndExtra = 2 * sizeof(LONG_PTR);
    wc.hbrBackground = nullptr;
    RegisterOnce(wc);
    wc.cbWndExtra = 0;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);

    wc.lpfnWndProc = SubIdProc;
    wc.lpszClassName = kSubIdClass;
    RegisterOnce(wc);

    wc.lpfnWndProc = HelperProc;
    wc.lpszClassName = kHelperClass;
    RegisterOnce(wc);
    helper_ =
        CreateWindowExA(0, kHelperClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance_, this);
}

Win32Ui::~Win32Ui() {
    if (main_ != nullptr) DestroyWindow(main_);
    if (subId_ != nullptr) DestroyWindow(subId_);
    if (helper_ != nullptr) DestroyWindow(helper_);
    if (font_ != nullptr && font_ != GetStockObject(DEFAULT_GUI_FONT)) DeleteObject(font_);
}

void Win32Ui::ShowMainWindow(app::TForm1& form) {
    form_ = &form;
    BuildMainWindow();
    BuildSubIdDialog();
    ShowWindow(main_, SW_SHOW);
    // Started from a console, the program would otherwise leave the keyboard with the console.
    SetForegroundWindow(main_);
    UpdateWindow(main_);
    Sync();
    // The scan that follows does not pass messages on: what is on screen now is what the user
    // sees until its lines come in.
    RedrawWindow(main_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void Win32Ui::BuildMainWindow() {
    app::TForm1& f = *form_;
    Controls& c = *controls_;

    // Showing the window sizes it, and every sizing goes through the form's rule.
    f.FormResize();
    // A sizing border, since the form answers every change of size by going back to its own.
    const DWORD style =
        WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_THICKFRAME | WS_CLIPCHILDREN;
    RECT frame{0, 0, f.ClientWidth, f.ClientHeight};
    AdjustWindowRectEx(&frame, style, FALSE, 0);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + std::max(0L, (work.right - work.left - width) / 2);
    const int y = work.top + std::max(0L, (work.bottom - work.top - height) / 2);
    main_ = CreateWindowExA(0, kMainClass, f.Caption.c_str(), style, x, y, width, height, nullptr,
                            nullptr, instance_, this);
    if (main_ == nullptr) return;

    const auto origin = [&f](const app::Control& control, int& cx, int& cy) {
        // Positions inside the control's own panel; the group box is no window of its own.
        cx = control.left;
        cy = control.top;
        if (control.parent == "GroupBox1") {
            cx += f.GroupBox1.left;
            cy += f.GroupBox1.top;
        }
    };
    const auto font = [this](HWND hwnd) { SendMessageA(hwnd, WM_SETFONT, (WPARAM)font_, FALSE); };
    const auto make = [&](HWND parent, const app::Control& model, Controls::Kind kind,
                          const char* cls, DWORD ctlStyle, int id, std::function<void()> action,
                          DWORD exStyle = 0) {
        int cx = 0, cy = 0;
        origin(model, cx, cy);
        const bool autoWidth = kind == Controls::Kind::Label && model.width == 0;
        const int w =
            autoWidth ? std::max<LONG>(1, TextSize(main_, font_, model.caption).cx) : model.width;
        HWND hwnd = CreateWindowExA(
            exStyle, cls, model.caption.c_str(),
            WS_CHILD | (model.visible ? WS_VISIBLE : 0) | ctlStyle, cx, cy, w, model.height, parent,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
        font(hwnd);
        if (!model.enabled) EnableWindow(hwnd, FALSE);
        Controls::Binding b;
        b.model = &model;
        b.hwnd = hwnd;
        b.kind = kind;
        b.id = id;
        b.action = std::move(action);
        b.caption = model.caption;
        b.shown = true;
        b.enabled = model.enabled;
        b.visible = model.visible;
        b.autoWidth = autoWidth;
        if (kind == Controls::Kind::Toggle) {
            SendMessageA(hwnd, BM_SETCHECK, model.checked ? BST_CHECKED : BST_UNCHECKED, 0);
            b.checked = model.checked;
        }
        c.bindings.push_back(std::move(b));
        return hwnd;
    };
    const auto panel = [&](const app::Control& model, int index) {
        // A group box leaves its inside to its parent: the panel holding one paints under it.
        const DWORD clip = &model == &f.Panel1 ? 0 : WS_CLIPCHILDREN;
        HWND hwnd = CreateWindowExA(
            WS_EX_CONTROLPARENT, kPanelClass, "", WS_CHILD | WS_VISIBLE | clip, model.left,
            model.top, model.width, model.height, main_,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdPanel + index)), instance_, nullptr);
        c.panels[static_cast<std::size_t>(index)] = hwnd;
        return hwnd;
    };
    const auto label = [&](HWND parent, const app::Control& model, int number) {
        return make(parent, model, Controls::Kind::Label, "STATIC",
                    SS_LEFT | SS_NOPREFIX | WS_GROUP, kIdLabel + number, nullptr);
    };
    const auto after = [this](auto handler) {
        return [this, handler] {
            handler();
            Sync();
        };
    };

    // Panel 1: the board lines, then the estimate.
    HWND p1 = panel(f.Panel1, 0);
    for (int i = 0; i < 4; ++i) {
        const app::Control& line = *f.RadioButtons[static_cast<std::size_t>(i)];
        make(p1, line, Controls::Kind::Toggle, "BUTTON",
             BS_RADIOBUTTON | (i == 0 ? WS_GROUP | WS_TABSTOP : 0), kIdBoardLine + i,
             after([this, i] {
                 if (form_->RadioButtons[static_cast<std::size_t>(i)]->enabled)
                     form_->SelectBoardLine(i);
             }));
    }
    {
        // Below the board lines in the drawing order, so that its frame never paints over them.
        Controls::Binding b;
        HWND group = CreateWindowExA(
            0, "BUTTON", f.GroupBox1.caption.c_str(),
            WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_GROUP | BS_GROUPBOX, f.GroupBox1.left,
            f.GroupBox1.top, f.GroupBox1.width, f.GroupBox1.height, p1,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdGroup)), instance_, nullptr);
        font(group);
        b.model = &f.GroupBox1;
        b.hwnd = group;
        b.kind = Controls::Kind::Group;
        b.id = kIdGroup;
        b.caption = f.GroupBox1.caption;
        b.shown = true;
        c.bindings.push_back(std::move(b));
    }
    label(p1, f.Label2, 2);
    label(p1, f.Label3, 3);

    // Panel 2: the three buttons, then the check boxes 1 to 6 (the tab order).
    HWND p2 = panel(f.Panel2, 1);
    make(p2, f.Button1, Controls::Kind::Button, "BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP,
         kIdUpdate, after([this] { form_->Button1Click(); }));
    make(p2, f.Button2, Controls::Kind::Button, "BUTTON", BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP,
         kIdInfo, after([this] { form_->Button2Click(); }));
    make(p2, f.Button3, Controls::Kind::Button, "BUTTON", BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP,
         kIdQuit, [this] {
             if (form_->Button3Click()) {
                 DestroyWindow(main_);
                 return;
             }
             Sync();
         });
    const std::array<app::Control*, 6> boxes{&f.CheckBox1, &f.CheckBox2, &f.CheckBox3,
                                             &f.CheckBox4, &f.CheckBox5, &f.CheckBox6};
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        app::Control* box = boxes[i];
        std::function<void()> action;
        if (box == &f.CheckBox5)
            action = after([this] { form_->ToggleAdvanced(); });
        else
            action = after([this, box] { form_->SetStepBox(*box, !box->checked); });
        make(p2, *box, Controls::Kind::Toggle, "BUTTON", BS_CHECKBOX | WS_TABSTOP | WS_GROUP,
             kIdStepBox + static_cast<int>(i) + 1, std::move(action));
    }
    label(p2, f.Label1, 1);
    label(p2, f.Label4, 4);

    // Panel 3: the log.
    HWND p3 = panel(f.Panel3, 2);
    {
        const app::Control& m = f.Memo1.control;
        c.memo = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                                 WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | WS_GROUP |
                                     ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                                 m.left, m.top, m.width, m.height, p3,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdMemo)), instance_,
                                 nullptr);
        font(c.memo);
        // A long run's retry lines would overflow the default limit.
        SendMessageA(c.memo, EM_SETLIMITTEXT, 0, 0);
    }

    // The status bar: the board, the two gauges drawn over their owner-drawn panels, a spare.
    {
        const app::Control& bar = f.StatusBar1;
        statusBar_ = CreateWindowExA(
            0, STATUSCLASSNAMEA, "",
            WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | CCS_NOPARENTALIGN | CCS_NORESIZE, bar.left,
            bar.top, bar.width, bar.height, main_,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdStatusBar)), instance_, nullptr);
        font(statusBar_);
        std::array<int, 4> edges{};
        int right = 0;
        for (std::size_t i = 0; i < f.StatusPanels.size(); ++i) {
            right += f.StatusPanels[i].width;
            edges[i] = right;
        }
        SendMessageA(statusBar_, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
        c.gauge2 = CreateWindowExA(
            0, kGaugeClass, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, statusBar_,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdGauge + 1)), instance_, &f.Gauge2);
        c.gauge1 = CreateWindowExA(
            0, kGaugeClass, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, statusBar_,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdGauge)), instance_, &f.Gauge1);
        font(c.gauge1);
        font(c.gauge2);
        for (int part : {1, 2}) {
            // Until the bar first draws its panels, the gauges sit inside the panels' bevels.
            RECT r{};
            SendMessageA(statusBar_, SB_GETRECT, part, reinterpret_cast<LPARAM>(&r));
            InflateRect(&r, -1, -1);
            PlaceGauge(part, r);
        }
    }

    make(main_, f.Button4, Controls::Kind::Button, "BUTTON", BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP,
         kIdReadFlash, after([this] { form_->Button4Click(); }));

    // The layout has no room for more controls: what goes beyond the update sits in the window
    // menu (the title bar's icon, Alt+Space), where it leaves the controls as they are.
    if (HMENU menu = GetSystemMenu(main_, FALSE)) {
        AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(menu, MF_STRING, kIdRestoreMenu, "Restore &parameter block...");
    }

    if (HWND update = HandleOf(f.Button1)) SetFocus(update);
}

void Win32Ui::BuildSubIdDialog() {
    if (form_ == nullptr) return;
    Controls& c = *controls_;
    app::TSubIDDialog& d = form_->SubIDDialog;
    c.subIdModel = &d;

    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_TOPMOST | WS_EX_CONTROLPARENT;
    RECT frame{0, 0, d.ClientWidth(), d.ClientHeight()};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + std::max(0L, (work.right - work.left - width) / 2);
    const int y = work.top + std::max(0L, (work.bottom - work.top - height) / 2);
    subId_ = CreateWindowExA(exStyle, kSubIdClass, d.Caption.c_str(), style, x, y, width, height,
                             main_, nullptr, instance_, this);
    if (subId_ == nullptr) return;

    const auto child = [&](const char* cls, const app::Control& model, DWORD ctlStyle, int id,
                           int w) {
        HWND hwnd =
            CreateWindowExA(0, cls, model.caption.c_str(), WS_CHILD | WS_VISIBLE | ctlStyle,
                            model.left, model.top, w, model.height > 0 ? model.height : 13, subId_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
        SendMessageA(hwnd, WM_SETFONT, (WPARAM)font_, FALSE);
        return hwnd;
    };
    // A glyph's ink may reach past its advance (the period of "failed." does in the faces that
    // stand in for MS Sans Serif), so a label exactly as wide as its measured text loses its
    // last pixels. Each label takes the room the layout gives it: from its left edge to the
    // right edge of the buttons, and never less than its text.
    const int rightEdge = d.Button2.left + d.Button2.width;
    int number = 0;
    for (const app::Control* l : {&d.Label1, &d.Label2, &d.Label3, &d.Label4, &d.Label5})
        child("STATIC", *l, SS_LEFT | SS_NOPREFIX | WS_GROUP, kIdLabel + 10 + ++number,
              std::max<LONG>({1, rightEdge - l->left, TextSize(subId_, font_, l->caption).cx}));
    const std::array<const app::Control*, 3> radios{&d.RadioButton1, &d.RadioButton2,
                                                    &d.RadioButton3};
    for (std::size_t i = 0; i < radios.size(); ++i)
        c.revisions[i] =
            child("BUTTON", *radios[i], BS_RADIOBUTTON | (i == 0 ? WS_GROUP | WS_TABSTOP : 0),
                  kIdRevision + static_cast<int>(i), radios[i]->width);
    c.accept =
        child("BUTTON", d.Button1, BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, IDOK, d.Button1.width);
    c.cancel = child("BUTTON", d.Button2, BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP, IDCANCEL,
                     d.Button2.width);
}

void Win32Ui::ApplyClientSize() {
    if (main_ == nullptr || form_ == nullptr || applyingSize_) return;
    if (IsIconic(main_)) return;
    applyingSize_ = true;
    const int wantW = form_->ClientWidth;
    const int wantH = form_->ClientHeight;
    const DWORD style = static_cast<DWORD>(GetWindowLongPtrA(main_, GWL_STYLE));
    const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrA(main_, GWL_EXSTYLE));
    RECT frame{0, 0, wantW, wantH};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    SetWindowPos(main_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // Should the frame differ from the system's estimate, correct by what is really left over.
    RECT client;
    GetClientRect(main_, &client);
    if (client.right != wantW || client.bottom != wantH) {
        RECT window;
        GetWindowRect(main_, &window);
        SetWindowPos(main_, nullptr, 0, 0, window.right - window.left + wantW - client.right,
                     window.bottom - window.top + wantH - client.bottom,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    applyingSize_ = false;
}

void Win32Ui::PlaceGauge(int part, const RECT& rect) {
    // Gauge2 lies over panel 1, Gauge1 over panel 2.
    HWND gauge = part == 1 ? controls_->gauge2 : part == 2 ? controls_->gauge1 : nullptr;
    if (gauge == nullptr) return;
    RECT now;
    GetWindowRect(gauge, &now);
    MapWindowPoints(nullptr, statusBar_, reinterpret_cast<POINT*>(&now), 2);
    if (EqualRect(&now, &rect)) return;
    SetWindowPos(gauge, nullptr, rect.left, rect.top, rect.right - rect.left,
                 rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Ui::Sync() {
    if (main_ == nullptr || form_ == nullptr) return;
    Controls& c = *controls_;
    app::TForm1& f = *form_;

    if (!c.titleShown || c.title != f.Caption) {
        c.title = f.Caption;
        c.titleShown = true;
        SetWindowTextA(main_, c.title.c_str());
    }
    for (Controls::Binding& b : c.bindings) {
        const app::Control& m = *b.model;
        if (b.caption != m.caption) {
            b.caption = m.caption;
            SetWindowTextA(b.hwnd, b.caption.c_str());
            if (b.autoWidth) {
                const SIZE size = TextSize(b.hwnd, font_, b.caption);
                SetWindowPos(b.hwnd, nullptr, 0, 0, std::max<LONG>(1, size.cx), m.height,
                             SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            }
        }
        if (b.enabled != m.enabled) {
            b.enabled = m.enabled;
            EnableWindow(b.hwnd, m.enabled ? TRUE : FALSE);
        }
        if (b.visible != m.visible) {
            b.visible = m.visible;
            ShowWindow(b.hwnd, m.visible ? SW_SHOWNA : SW_HIDE);
        }
        if (b.kind == Controls::Kind::Toggle && b.checked != m.checked) {
            b.checked = m.checked;
            SendMessageA(b.hwnd, BM_SETCHECK, m.checked ? BST_CHECKED : BST_UNCHECKED, 0);
        }
    }

    // Nothing is restored while a run writes to a board.
    if (HMENU menu = GetSystemMenu(main_, FALSE))
        EnableMenuItem(menu, kIdRestoreMenu, MF_BYCOMMAND | (f.Running() ? MF_GRAYED : MF_ENABLED));

    for (std::size_t i = 0; i < c.panelTexts.size(); ++i) {
        const app::StatusPanel& sp = f.StatusPanels[i];
        if (sp.ownerDrawn) {
            if (!c.panelTextsShown) SendMessageA(statusBar_, SB_SETTEXTA, i | SBT_OWNERDRAW, 0);
            continue;
        }
        if (c.panelTextsShown && c.panelTexts[i] == sp.text) continue;
        c.panelTexts[i] = sp.text;
        SendMessageA(statusBar_, SB_SETTEXTA, i | (sp.bevel ? 0 : SBT_NOBORDERS),
                     reinterpret_cast<LPARAM>(sp.text.c_str()));
    }
    c.panelTextsShown = true;

    if (c.gauge1Percent != f.Gauge1.Percent()) {
        c.gauge1Percent = f.Gauge1.Percent();
        InvalidateRect(c.gauge1, nullptr, FALSE);
    }
    if (c.gauge2Percent != f.Gauge2.Percent()) {
        c.gauge2Percent = f.Gauge2.Percent();
        InvalidateRect(c.gauge2, nullptr, FALSE);
    }

    if (c.memoLines < f.Memo1.lines.size()) {
        std::string added;
        for (; c.memoLines < f.Memo1.lines.size(); ++c.memoLines) {
            if (c.memoLines > 0) added += "\r\n";
            added += f.Memo1.lines[c.memoLines];
        }
        const int end = GetWindowTextLengthA(c.memo);
        SendMessageA(c.memo, EM_SETSEL, end, end);
        SendMessageA(c.memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(added.c_str()));
        // The newest line stays in view.
        SendMessageA(c.memo, EM_SCROLLCARET, 0, 0);
    }

    RECT client;
    GetClientRect(main_, &client);
    if (!IsIconic(main_) && f.ClientWidth > 0 && f.ClientHeight > 0 &&
        (client.right != f.ClientWidth || client.bottom != f.ClientHeight))
        ApplyClientSize();
}

void Win32Ui::LogAppended(const std::string& /*line*/) {
    Sync();
    // Paint only: input waits for the next pass over pending messages.
    if (main_ != nullptr) RedrawWindow(main_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void Win32Ui::PumpMessages(HWND dialog) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Leave it for the outermost loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        if (dialog != nullptr && IsDialogMessageA(dialog, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void Win32Ui::ProcessPendingMessages() {
    Sync();
    PumpMessages(main_);
    if (onPendingMessages) onPendingMessages();
}

void Win32Ui::Run() {
    Sync();
    MSG msg;
    while (!closed_ && main_ != nullptr) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got <= 0) break;
        if (main_ != nullptr && IsDialogMessageA(main_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

HWND Win32Ui::HandleOf(const app::Control& control) const {
    if (form_ == nullptr || main_ == nullptr) return nullptr;
    if (&control == &form_->Memo1.control) return controls_->memo;
    if (&control == &form_->StatusBar1) return statusBar_;
    for (const Controls::Binding& b : controls_->bindings)
        if (b.model == &control) return b.hwnd;
    return nullptr;
}

HWND Win32Ui::GaugeWindow(const app::Gauge& gauge) const {
    if (form_ == nullptr) return nullptr;
    if (&gauge == &form_->Gauge1) return controls_->gauge1;
    if (&gauge == &form_->Gauge2) return controls_->gauge2;
    return nullptr;
}

bool Win32Ui::Click(const app::Control& control) {
    HWND hwnd = HandleOf(control);
    if (hwnd == nullptr || !IsWindowVisible(hwnd) || !IsWindowEnabled(hwnd)) return false;
    SendMessageA(hwnd, BM_CLICK, 0, 0);
    return true;
}

bool Win32Ui::RequestClose() {
    if (main_ == nullptr) return true;
    SendMessageA(main_, WM_CLOSE, 0, 0);
    return main_ == nullptr;
}

void Win32Ui::OnCommand(int id) {
    Controls::Binding* b = controls_->FindId(id);
    if (b == nullptr || !b->action) return;
    // Enter and Esc arrive here without a click: they count only where the click would.
    if (!b->model->enabled || !b->model->visible) return;
    // A copy: "Quit" destroys the window, and its bindings with it, while the action runs.
    const std::function<void()> action = b->action;
    action();
}

LRESULT CALLBACK Win32Ui::MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) Attach(hwnd, lp);
    Win32Ui* self = ObjectOf<Win32Ui>(hwnd);
    if (self == nullptr) return DefWindowProcA(hwnd, msg, wp, lp);
    return self->OnMainMessage(hwnd, msg, wp, lp);
}

LRESULT Win32Ui::OnMainMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_SIZE:
        if (form_ != nullptr && !applyingSize_ && (wp == SIZE_RESTORED || wp == SIZE_MAXIMIZED)) {
            const int w = LOWORD(lp), h = HIWORD(lp);
            if (w != form_->ClientWidth || h != form_->ClientHeight) {
                form_->ClientWidth = w;
                form_->ClientHeight = h;
                form_->FormResize();
                if (main_ == hwnd) ApplyClientSize();
            }
        }
        return 0;
    case WM_COMMAND:
        if (HIWORD(wp) == BN_CLICKED) OnCommand(LOWORD(wp));
        return 0;
    case WM_SYSCOMMAND:
        if ((wp & 0xFFF0) == kIdRestoreMenu) {
            RestoreFromCopy();
            return 0;
        }
        break;
    case DM_GETDEFID:
        return MAKELRESULT(kIdUpdate, DC_HASDEFID);
    case DM_SETDEFID:
        return TRUE;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
        HDC dc = reinterpret_cast<HDC>(wp);
        // The log is a read-only edit box, which asks as a static does; it stays white.
        const int back =
            reinterpret_cast<HWND>(lp) == controls_->memo ? COLOR_WINDOW : COLOR_BTNFACE;
        SetTextColor(dc, GetSysColor(back == COLOR_WINDOW ? COLOR_WINDOWTEXT : COLOR_BTNTEXT));
        SetBkColor(dc, GetSysColor(back));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(back));
    }
    case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
        if (item->hwndItem == statusBar_ && statusBar_ != nullptr) {
            PlaceGauge(static_cast<int>(item->itemID), item->rcItem);
            return TRUE;
        }
        break;
    }
    case WM_ACTIVATE:
        // The focus returns to where it was, after a message box say.
        if (LOWORD(wp) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus != nullptr && IsChild(hwnd, focus)) focusBeforeDeactivation_ = focus;
            return 0;
        } else {
            HWND focus = focusBeforeDeactivation_;
            if (focus == nullptr || !IsWindow(focus) || !IsChild(hwnd, focus))
                focus = form_ != nullptr ? HandleOf(form_->Button1) : nullptr;
            if (focus != nullptr) SetFocus(focus);
            return 0;
        }
    case WM_CLOSE:
        // Closing in the middle of a run is refused, whichever way it is asked for.
        if (form_ != nullptr && !form_->FormCloseQuery()) return 0;
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        closed_ = true;
        return 0;
    case WM_NCDESTROY:
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        if (main_ == hwnd) {
            main_ = nullptr;
            statusBar_ = nullptr;
            controls_->bindings.clear();
            controls_->memo = nullptr;
            controls_->gauge1 = controls_->gauge2 = nullptr;
        }
        break;
    default:
        break;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

LRESULT CALLBACK Win32Ui::SubIdProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) Attach(hwnd, lp);
    Win32Ui* self = ObjectOf<Win32Ui>(hwnd);
    if (self == nullptr) return DefWindowProcA(hwnd, msg, wp, lp);
    return self->OnSubIdMessage(hwnd, msg, wp, lp);
}

LRESULT Win32Ui::OnSubIdMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Controls& c = *controls_;
    app::TSubIDDialog* d = c.subIdModel;
    switch (msg) {
    case WM_COMMAND: {
        if (HIWORD(wp) != BN_CLICKED || d == nullptr || !subIdOpen_) return 0;
        const int id = LOWORD(wp);
        if (id == IDOK) {
            d->Button1Click();
            EndSubIdDialog();
        } else if (id == IDCANCEL) {
            d->Button2Click();
            EndSubIdDialog();
        } else if (id >= kIdRevision && id < kIdRevision + 3) {
            d->SelectRevision(id - kIdRevision);
            const std::array<const app::Control*, 3> radios{&d->RadioButton1, &d->RadioButton2,
                                                            &d->RadioButton3};
            for (std::size_t i = 0; i < radios.size(); ++i)
                SendMessageA(c.revisions[i], BM_SETCHECK,
                             radios[i]->checked ? BST_CHECKED : BST_UNCHECKED, 0);
        }
        return 0;
    }
    case DM_GETDEFID:
        return MAKELRESULT(IDOK, DC_HASDEFID);
    case DM_SETDEFID:
        return TRUE;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        SetTextColor(reinterpret_cast<HDC>(wp), GetSysColor(COLOR_BTNTEXT));
        SetBkColor(reinterpret_cast<HDC>(wp), GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    case WM_CLOSE:
        // The close box ends the dialog and sets nothing.
        EndSubIdDialog();
        return 0;
    case kSubIdShownMessage:
        if (subIdOpen_ && subIdView_ && onSubIdDialogShown) onSubIdDialogShown(*subIdView_);
        return 0;
    case WM_NCDESTROY:
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        if (subId_ == hwnd) subId_ = nullptr;
        subIdOpen_ = false;
        break;
    default:
        break;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

void Win32Ui::EndSubIdDialog() {
    subIdOpen_ = false;
}

void Win32Ui::ShowSubIdDialog(app::TSubIDDialog& dialog) {
    Controls& c = *controls_;
    if (subId_ == nullptr || c.subIdModel != &dialog) {
        if (subId_ != nullptr) DestroyWindow(subId_);
        // Built for this dialog model; the form's own one is built with the main window.
        app::TForm1* form = form_;
        if (form == nullptr || &form->SubIDDialog != &dialog) return; // nothing to show it with
        BuildSubIdDialog();
        if (subId_ == nullptr) return;
    }
    const std::array<const app::Control*, 3> radios{&dialog.RadioButton1, &dialog.RadioButton2,
                                                    &dialog.RadioButton3};
    for (std::size_t i = 0; i < radios.size(); ++i)
        SendMessageA(c.revisions[i], BM_SETCHECK, radios[i]->checked ? BST_CHECKED : BST_UNCHECKED,
                     0);
    SetWindowTextA(subId_, dialog.Caption.c_str());

    Sync();
    Win32SubIdView view;
    view.dialog = &dialog;
    view.window = subId_;
    view.revisions = c.revisions;
    view.accept = c.accept;
    view.cancel = c.cancel;
    subIdView_ = view;
    subIdOpen_ = true;

    const bool ownerWasEnabled = main_ != nullptr && IsWindowEnabled(main_);
    if (main_ != nullptr) EnableWindow(main_, FALSE);
    ShowWindow(subId_, SW_SHOW);
    SetForegroundWindow(subId_);
    SetFocus(c.accept);
    if (onSubIdDialogShown) PostMessageA(subId_, kSubIdShownMessage, 0, 0);
    if (options_.revision)
        SetTimer(helper_, kSubIdAnswerTimer,
                 options_.autoAnswerAfter ? Milliseconds(*options_.autoAnswerAfter)
                                          : USER_TIMER_MINIMUM,
                 nullptr);

    MSG msg;
    while (subIdOpen_ && subId_ != nullptr) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got <= 0) {
            if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (IsDialogMessageA(subId_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    KillTimer(helper_, kSubIdAnswerTimer);
    subIdOpen_ = false;
    subIdView_.reset();
    // The owner is enabled before the dialog goes, so that the activation returns to it.
    if (main_ != nullptr && ownerWasEnabled) EnableWindow(main_, TRUE);
    if (subId_ != nullptr) ShowWindow(subId_, SW_HIDE);
    Sync();
}

LRESULT CALLBACK Win32Ui::HelperProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) Attach(hwnd, lp);
    Win32Ui* self = ObjectOf<Win32Ui>(hwnd);
    if (msg == WM_TIMER && self != nullptr) {
        self->OnTimer(static_cast<UINT_PTR>(wp));
        return 0;
    }
    if (msg == WM_NCDESTROY) SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    return DefWindowProcA(hwnd, msg, wp, lp);
}

void Win32Ui::OnTimer(UINT_PTR id) {
    if (id == kBoxHookTimer || id == kBoxAnswerTimer) {
        if (!box_) {
            KillTimer(helper_, id);
            return;
        }
        HWND box = MessageBoxOnScreen();
        if (box == nullptr) return; // not up yet: the next tick looks again
        KillTimer(helper_, id);
        box_->box = box;
        if (id == kBoxHookTimer) {
            if (!boxHookDone_ && onMessageShown) {
                boxHookDone_ = true;
                onMessageShown(*box_);
            }
        } else {
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(box_->firstButton, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, box_->firstButton)));
        }
        return;
    }
    if (id == kFileDialogHookTimer) {
        if (!fileDialogOpen_) {
            KillTimer(helper_, id);
            return;
        }
        HWND dialog = MessageBoxOnScreen();
        if (dialog == nullptr) return; // not up yet
        KillTimer(helper_, id);
        if (onFileDialogShown) onFileDialogShown(dialog);
        return;
    }
    if (id == kSubIdAnswerTimer) {
        KillTimer(helper_, id);
        if (!subIdOpen_ || !subIdView_ || !options_.revision) return;
        const int choice = *options_.revision;
        if (choice < 0 || choice > 2) {
            SendMessageA(subIdView_->cancel, BM_CLICK, 0, 0);
        } else {
            SendMessageA(subIdView_->revisions[static_cast<std::size_t>(choice)], BM_CLICK, 0, 0);
            if (subIdView_) SendMessageA(subIdView_->accept, BM_CLICK, 0, 0);
        }
    }
}

void Win32Ui::RestoreFromCopy() {
    if (main_ == nullptr || form_ == nullptr || form_->Running() || fileDialogOpen_) return;
    app::TForm1& f = *form_;

    // The copies' own folder first; any other file can be reached from there.
    std::error_code ec;
    const std::filesystem::path folder = f.Backups().Folder();
    const std::string start = std::filesystem::is_directory(folder, ec) ? folder.string() : "";
    std::vector<char> file(32768, '\0');
    // The copy the scan named for this board is the one to restore.
    if (const auto named = f.NamedCopy()) {
        const std::string text = named->string();
        std::copy_n(text.begin(), std::min(text.size(), file.size() - 1), file.begin());
    }
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = main_;
    ofn.lpstrFilter = "Parameter block copies (*.fwblock)\0*.fwblock\0All files (*.*)\0*.*\0";
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrInitialDir = start.empty() ? nullptr : start.c_str();
    ofn.lpstrTitle = "Restore parameter block";
    ofn.Flags =
        OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    fileDialogOpen_ = true;
    if (onFileDialogShown) SetTimer(helper_, kFileDialogHookTimer, USER_TIMER_MINIMUM, nullptr);
    const BOOL chosen = GetOpenFileNameA(&ofn);
    KillTimer(helper_, kFileDialogHookTimer);
    fileDialogOpen_ = false;
    Sync();
    if (!chosen || main_ == nullptr) return;

    f.RestoreFromFile(file.data());
    Sync();
}

platform::MessageAnswer Win32Ui::ShowMessage(platform::MessageKind kind, const std::string& title,
                                             const std::string& text,
                                             platform::MessageButtons buttons) {
    using A = platform::MessageAnswer;
    UINT style = 0;
    int first = IDOK;
    switch (buttons) {
    case platform::MessageButtons::Ok:
        style = MB_OK;
        break;
    case platform::MessageButtons::OkCancel:
        style = MB_OKCANCEL;
        break;
    case platform::MessageButtons::YesNo:
        style = MB_YESNO;
        first = IDYES;
        break;
    case platform::MessageButtons::Cancel:
        style = MB_OK; // renamed to "Cancel" as the box comes up
        break;
    }
    switch (kind) {
    case platform::MessageKind::Warning:
        style |= MB_ICONWARNING;
        break;
    case platform::MessageKind::Confirmation:
        style |= MB_ICONQUESTION;
        break;
    case platform::MessageKind::Error:
        style |= MB_ICONERROR;
        break;
    case platform::MessageKind::Plain:
        break;
    }
    // Without a main window (or while it is disabled by a box of its own) the box is a task of
    // its own, so that it cannot end up behind anything.
    HWND owner = main_ != nullptr && IsWindowEnabled(main_) ? main_ : nullptr;
    style |= owner != nullptr ? MB_APPLMODAL : MB_TASKMODAL;

    Win32MessageView view;
    view.kind = kind;
    view.buttons = buttons;
    view.title = title;
    view.text = text;
    view.style = style;
    view.firstButton = first;
    box_ = view;
    boxHookDone_ = false;
    if (onMessageShown) SetTimer(helper_, kBoxHookTimer, USER_TIMER_MINIMUM, nullptr);
    if (options_.autoAnswerAfter)
        SetTimer(helper_, kBoxAnswerTimer, Milliseconds(*options_.autoAnswerAfter), nullptr);
    HHOOK relabel =
        buttons == platform::MessageButtons::Cancel
            ? SetWindowsHookExA(WH_CBT, RelabelOkAsCancel, nullptr, GetCurrentThreadId())
            : nullptr;
    Sync();
    const int result = MessageBoxA(owner, text.c_str(), title.c_str(), style);
    if (relabel != nullptr) UnhookWindowsHookEx(relabel);
    KillTimer(helper_, kBoxHookTimer);
    KillTimer(helper_, kBoxAnswerTimer);
    box_.reset();

    A answer = A::Closed;
    if (buttons == platform::MessageButtons::Cancel) {
        answer = result != 0 ? A::Cancel : A::Closed;
    } else {
        switch (result) {
        case IDOK:
            answer = A::Ok;
            break;
        case IDCANCEL:
            answer = A::Cancel;
            break;
        case IDYES:
            answer = A::Yes;
            break;
        case IDNO:
            answer = A::No;
            break;
        default:
            answer = A::Closed;
            break;
        }
    }
    Sync();
    return answer;
}

} // namespace flashwell::ui
