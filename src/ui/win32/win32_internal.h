// What the native face's windows share inside the face: window classes, control identifiers,
// the timers of the helper window, and the main window's controls.
#pragma once

#include "ui/win32/win32_ui.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace flashwell::ui::win32 {

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

// The object a window was created for, attached to it as it is created.
template <typename T> T* Receiver(HWND hwnd, UINT msg, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lp);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    return ObjectOf<T>(hwnd);
}

inline UINT Milliseconds(double seconds) {
    return std::max<UINT>(USER_TIMER_MINIMUM, static_cast<UINT>(seconds * 1000.0 + 0.5));
}

inline void SetChecked(HWND button, bool checked) {
    SendMessageA(button, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

inline HMENU ControlId(int id) {
    return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id));
}

bool IsClass(HWND hwnd, const char* name);
void RegisterOnce(const WNDCLASSEXA& wc);
// The layout's font, or the system's dialog font where it cannot be made.
HFONT MakeLayoutFont();
// A class of the faces' windows: arrow cursor, button-face background, the application's icon.
WNDCLASSEXA FaceWindowClass(HINSTANCE instance, WNDPROC proc, const char* name);
SIZE TextSize(HWND hwnd, HFONT font, const std::string& text);
// The outer rectangle of a window whose client area has this size, centred on the work area.
RECT CentredFrame(int clientWidth, int clientHeight, DWORD style, DWORD exStyle);
// The message box (or other system dialog) this thread now shows, if any.
HWND MessageBoxOnScreen();

LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
LRESULT CALLBACK GaugeProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

} // namespace flashwell::ui::win32

namespace flashwell::ui {

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

} // namespace flashwell::ui
