#include "ui/win32/win32_ui.h"

#include "app/main_form.h"
#include "ui/layout/main_window_layout.h"
#include "ui/win32/win32_internal.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <optional>

namespace flashwell::ui {

using namespace win32;

void Win32Ui::OpenMainWindow() {
    BuildMainWindow();
    BuildSubIdDialog(form_->SubIDDialog);
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

    // A sizing border, since the form answers every change of size by going back to its own.
    const DWORD style =
        WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_THICKFRAME | WS_CLIPCHILDREN;
    const RECT frame = CentredFrame(f.ClientWidth, f.ClientHeight, style, 0);
    main_ = CreateWindowExA(0, kMainClass, f.Caption.c_str(), style, frame.left, frame.top,
                            frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                            instance_, this);
    if (main_ == nullptr) return;

    const layout::MainWindowLayout table(f);
    const std::vector<layout::Item>& items = table.Items();
    const auto make = [&](HWND parent, const layout::Item& item, layout::Point at,
                          Controls::Kind kind, const char* cls, DWORD ctlStyle, int id) {
        const app::Control& model = *item.control;
        const bool autoWidth = layout::FitsItsText(item);
        const int w =
            autoWidth ? std::max<LONG>(1, TextSize(main_, font_, model.caption).cx) : model.width;
        HWND hwnd = CreateWindowExA(
            0, cls, model.caption.c_str(), WS_CHILD | (model.visible ? WS_VISIBLE : 0) | ctlStyle,
            at.x, at.y, w, model.height, parent, ControlId(id), instance_, nullptr);
        SendMessageA(hwnd, WM_SETFONT, (WPARAM)font_, FALSE);
        if (!model.enabled) EnableWindow(hwnd, FALSE);
        Controls::Binding b;
        b.model = &model;
        b.hwnd = hwnd;
        b.kind = kind;
        b.id = id;
        if (layout::TakesClicks(item.role))
            b.action = [this, item] {
                // "Quit" destroys the window, and with it what Sync would bring in line.
                if (layout::ClickClosesWindow(*form_, item)) {
                    DestroyWindow(main_);
                    return;
                }
                Sync();
            };
        b.caption = model.caption;
        b.shown = true;
        b.enabled = model.enabled;
        b.visible = model.visible;
        b.autoWidth = autoWidth;
        if (kind == Controls::Kind::Toggle) {
            SetChecked(hwnd, model.checked);
            b.checked = model.checked;
        }
        c.bindings.push_back(std::move(b));
        return hwnd;
    };
    const auto holdsFrame = [&](std::size_t panel) {
        for (std::size_t i = 0; i < items.size(); ++i)
            if (items[i].role == layout::Role::Frame && table.Inside(i, static_cast<int>(panel)))
                return true;
        return false;
    };

    // Panels are windows of their own; the frame is none, and its lines sit in its panel.
    std::vector<HWND> hosts(items.size(), nullptr);
    constexpr int kNoFrame = -1;
    int frameLater = kNoFrame;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const layout::Item& item = items[i];
        const app::Control& model = *item.control;
        const int panel = table.PanelAround(i);
        HWND parent = panel == layout::kWindow ? main_ : hosts[static_cast<std::size_t>(panel)];
        const layout::Point at = table.PositionIn(i, panel);
        switch (item.role) {
        case layout::Role::Panel: {
            // A group box leaves its inside to its parent: the panel holding one paints under it.
            const DWORD clip = holdsFrame(i) ? 0 : WS_CLIPCHILDREN;
            hosts[i] =
                CreateWindowExA(WS_EX_CONTROLPARENT, kPanelClass, "", WS_CHILD | WS_VISIBLE | clip,
                                at.x, at.y, model.width, model.height, main_,
                                ControlId(kIdPanel + item.number), instance_, nullptr);
            c.panels[static_cast<std::size_t>(item.number)] = hosts[i];
            break;
        }
        case layout::Role::Frame:
            frameLater = static_cast<int>(i);
            break;
        case layout::Role::BoardLine:
            make(parent, item, at, Controls::Kind::Toggle, "BUTTON",
                 BS_RADIOBUTTON | (item.number == 0 ? WS_GROUP | WS_TABSTOP : 0),
                 kIdBoardLine + item.number);
            break;
        case layout::Role::StepBox:
        case layout::Role::AdvancedBox:
            make(parent, item, at, Controls::Kind::Toggle, "BUTTON",
                 BS_CHECKBOX | WS_TABSTOP | WS_GROUP, kIdStepBox + item.number);
            break;
        case layout::Role::Label:
            make(parent, item, at, Controls::Kind::Label, "STATIC",
                 SS_LEFT | SS_NOPREFIX | WS_GROUP, kIdLabel + item.number);
            break;
        case layout::Role::UpdateButton:
            make(parent, item, at, Controls::Kind::Button, "BUTTON",
                 BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, kIdUpdate);
            break;
        case layout::Role::InfoButton:
        case layout::Role::QuitButton:
        case layout::Role::ReadFlashButton:
            make(parent, item, at, Controls::Kind::Button, "BUTTON",
                 BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP,
                 item.role == layout::Role::InfoButton   ? kIdInfo
                 : item.role == layout::Role::QuitButton ? kIdQuit
                                                         : kIdReadFlash);
            break;
        case layout::Role::Log:
            c.memo = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                                     WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | WS_GROUP |
                                         ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                                     at.x, at.y, model.width, model.height, parent,
                                     ControlId(kIdMemo), instance_, nullptr);
            SendMessageA(c.memo, WM_SETFONT, (WPARAM)font_, FALSE);
            // A long run's retry lines would overflow the default limit.
            SendMessageA(c.memo, EM_SETLIMITTEXT, 0, 0);
            break;
        case layout::Role::StatusBar:
            BuildStatusBar();
            break;
        }
        // Below the board lines in the drawing order, so that its frame never paints over them.
        if (frameLater != kNoFrame && (i + 1 == items.size() || !table.Inside(i + 1, frameLater))) {
            const auto frame = static_cast<std::size_t>(frameLater);
            const int framePanel = table.PanelAround(frame);
            make(framePanel == layout::kWindow ? main_
                                               : hosts[static_cast<std::size_t>(framePanel)],
                 items[frame], table.PositionIn(frame, framePanel), Controls::Kind::Group, "BUTTON",
                 WS_CLIPSIBLINGS | WS_GROUP | BS_GROUPBOX, kIdGroup);
            frameLater = kNoFrame;
        }
    }

    // The layout has no room for more controls: what goes beyond the update sits in the window
    // menu (the title bar's icon, Alt+Space), where it leaves the controls as they are.
    if (HMENU menu = GetSystemMenu(main_, FALSE)) {
        AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(menu, MF_STRING, kIdRestoreMenu, "Restore &parameter block...");
    }

    if (HWND update = HandleOf(f.Button1)) SetFocus(update);
}

void Win32Ui::BuildStatusBar() {
    app::TForm1& f = *form_;
    Controls& c = *controls_;
    // The board, the two gauges drawn over their owner-drawn panels, a spare.
    const app::Control& bar = f.StatusBar1;
    statusBar_ = CreateWindowExA(
        0, STATUSCLASSNAMEA, "",
        WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | CCS_NOPARENTALIGN | CCS_NORESIZE, bar.left,
        bar.top, bar.width, bar.height, main_, ControlId(kIdStatusBar), instance_, nullptr);
    SendMessageA(statusBar_, WM_SETFONT, (WPARAM)font_, FALSE);
    std::array<int, 4> edges{};
    int right = 0;
    for (std::size_t i = 0; i < f.StatusPanels.size(); ++i) {
        right += f.StatusPanels[i].width;
        edges[i] = right;
    }
    SendMessageA(statusBar_, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
    c.gauge2 = CreateWindowExA(0, kGaugeClass, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, statusBar_,
                               ControlId(kIdGauge + 1), instance_, &f.Gauge2);
    c.gauge1 = CreateWindowExA(0, kGaugeClass, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, statusBar_,
                               ControlId(kIdGauge), instance_, &f.Gauge1);
    SendMessageA(c.gauge1, WM_SETFONT, (WPARAM)font_, FALSE);
    SendMessageA(c.gauge2, WM_SETFONT, (WPARAM)font_, FALSE);
    for (int part : {1, 2}) {
        // Until the bar first draws its panels, the gauges sit inside the panels' bevels.
        RECT r{};
        SendMessageA(statusBar_, SB_GETRECT, part, reinterpret_cast<LPARAM>(&r));
        InflateRect(&r, -1, -1);
        PlaceGauge(part, r);
    }
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

LRESULT CALLBACK Win32Ui::MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Win32Ui* self = Receiver<Win32Ui>(hwnd, msg, lp);
    return self != nullptr ? self->OnMainMessage(hwnd, msg, wp, lp)
                           : DefWindowProcA(hwnd, msg, wp, lp);
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

std::optional<std::string> Win32Ui::ChooseCopy(const std::string& folder,
                                               const std::string& named) {
    if (fileDialogOpen_) return std::nullopt;
    std::vector<char> file(32768, '\0');
    std::copy_n(named.begin(), std::min(named.size(), file.size() - 1), file.begin());
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = main_;
    ofn.lpstrFilter = "Parameter block copies (*.fwblock)\0*.fwblock\0All files (*.*)\0*.*\0";
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    ofn.lpstrTitle = layout::kRestoreTitle;
    ofn.Flags =
        OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    fileDialogOpen_ = true;
    if (onFileDialogShown) SetTimer(helper_, kFileDialogHookTimer, USER_TIMER_MINIMUM, nullptr);
    const BOOL chosen = GetOpenFileNameA(&ofn);
    KillTimer(helper_, kFileDialogHookTimer);
    fileDialogOpen_ = false;
    if (!chosen) return std::nullopt;
    return std::string(file.data());
}

} // namespace flashwell::ui
