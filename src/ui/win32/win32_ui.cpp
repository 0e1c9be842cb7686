#include "ui/win32/win32_ui.h"

#include "app/main_form.h"
#include "ui/layout/main_window_layout.h"
#include "ui/win32/win32_internal.h"

#include <commctrl.h>

#include <algorithm>

namespace flashwell::ui {

using namespace win32;

Win32Ui::Win32Ui(Win32Options options)
    : WindowFace(options), instance_(GetModuleHandleA(nullptr)),
      controls_(std::make_unique<Controls>()) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);

    font_ = MakeLayoutFont();
    WNDCLASSEXA wc = FaceWindowClass(instance_, MainProc, kMainClass);
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
            SetChecked(b.hwnd, m.checked);
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

void Win32Ui::PaintNow() {
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

void Win32Ui::PassPendingMessages() {
    PumpMessages(main_);
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

LRESULT CALLBACK Win32Ui::HelperProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Win32Ui* self = Receiver<Win32Ui>(hwnd, msg, lp);
    return self != nullptr ? self->OnHelperMessage(hwnd, msg, wp, lp)
                           : DefWindowProcA(hwnd, msg, wp, lp);
}

LRESULT Win32Ui::OnHelperMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TIMER) {
        OnTimer(static_cast<UINT_PTR>(wp));
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
        if (const auto revision = AutoRevision()) {
            SendMessageA(subIdView_->revisions[*revision], BM_CLICK, 0, 0);
            if (subIdView_) SendMessageA(subIdView_->accept, BM_CLICK, 0, 0);
        } else {
            SendMessageA(subIdView_->cancel, BM_CLICK, 0, 0);
        }
    }
}

} // namespace flashwell::ui
