#include "ui/win32/win32_ui.h"

#include "app/main_form.h"
#include "app/subid_dialog.h"
#include "ui/win32/win32_internal.h"

#include <algorithm>

namespace flashwell::ui {

using namespace win32;

void Win32Ui::BuildSubIdDialog(app::TSubIDDialog& d) {
    Controls& c = *controls_;
    c.subIdModel = &d;

    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_TOPMOST | WS_EX_CONTROLPARENT;
    const RECT frame = CentredFrame(d.ClientWidth(), d.ClientHeight(), style, exStyle);
    subId_ = CreateWindowExA(exStyle, kSubIdClass, d.Caption.c_str(), style, frame.left, frame.top,
                             frame.right - frame.left, frame.bottom - frame.top, main_, nullptr,
                             instance_, this);
    if (subId_ == nullptr) return;

    const auto child = [&](const char* cls, const app::Control& model, DWORD ctlStyle, int id,
                           int w) {
        HWND hwnd = CreateWindowExA(0, cls, model.caption.c_str(), WS_CHILD | WS_VISIBLE | ctlStyle,
                                    model.left, model.top, w, model.height > 0 ? model.height : 13,
                                    subId_, ControlId(id), instance_, nullptr);
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

LRESULT CALLBACK Win32Ui::SubIdProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Win32Ui* self = Receiver<Win32Ui>(hwnd, msg, lp);
    return self != nullptr ? self->OnSubIdMessage(hwnd, msg, wp, lp)
                           : DefWindowProcA(hwnd, msg, wp, lp);
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
            ShowRevisions(*d);
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

void Win32Ui::ShowRevisions(const app::TSubIDDialog& dialog) {
    const std::array<const app::Control*, 3> radios{&dialog.RadioButton1, &dialog.RadioButton2,
                                                    &dialog.RadioButton3};
    for (std::size_t i = 0; i < radios.size(); ++i)
        SetChecked(controls_->revisions[i], radios[i]->checked);
}

void Win32Ui::RunSubIdDialog(app::TSubIDDialog& dialog) {
    Controls& c = *controls_;
    if (subId_ == nullptr || c.subIdModel != &dialog) {
        if (subId_ != nullptr) DestroyWindow(subId_);
        // Built for this dialog model: the form's own one is built with the main window, a bench
        // lane's when the lane asks.
        BuildSubIdDialog(dialog);
        if (subId_ == nullptr) return;
    }
    ShowRevisions(dialog);
    SetWindowTextA(subId_, dialog.Caption.c_str());

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
}

} // namespace flashwell::ui
