#include "ui/win32/win32_ui.h"

#include "ui/win32/win32_internal.h"

#include <utility>

namespace flashwell::ui {

namespace win32 {

namespace {

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

} // namespace

HWND MessageBoxOnScreen() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindBoxOfThread, reinterpret_cast<LPARAM>(&found));
    return found;
}

} // namespace win32

using namespace win32;

platform::MessageAnswer Win32Ui::RunMessageBox(platform::MessageKind kind, const std::string& title,
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

    box_ = Win32MessageView{kind, buttons, title, text, style, nullptr, first};
    boxHookDone_ = false;
    if (onMessageShown) SetTimer(helper_, kBoxHookTimer, USER_TIMER_MINIMUM, nullptr);
    if (options_.autoAnswerAfter)
        SetTimer(helper_, kBoxAnswerTimer, Milliseconds(*options_.autoAnswerAfter), nullptr);
    HHOOK relabel =
        buttons == platform::MessageButtons::Cancel
            ? SetWindowsHookExA(WH_CBT, RelabelOkAsCancel, nullptr, GetCurrentThreadId())
            : nullptr;
    const int result = MessageBoxA(owner, text.c_str(), title.c_str(), style);
    if (relabel != nullptr) UnhookWindowsHookEx(relabel);
    KillTimer(helper_, kBoxHookTimer);
    KillTimer(helper_, kBoxAnswerTimer);
    box_.reset();

    if (buttons == platform::MessageButtons::Cancel) return result != 0 ? A::Cancel : A::Closed;
    const std::pair<int, A> answers[] = {
        {IDOK, A::Ok}, {IDCANCEL, A::Cancel}, {IDYES, A::Yes}, {IDNO, A::No}};
    for (const auto& [id, answer] : answers)
        if (id == result) return answer;
    return A::Closed;
}

} // namespace flashwell::ui
