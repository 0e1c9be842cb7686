// The native Windows face of the program: the main window and the SubID dialog built from the
// core's models with the system's own controls, message boxes from the system. The main window
// is built from the layout both window faces share (ui/layout).
#pragma once

#include "app/controls.h"
#include "ui/layout/window_face.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace flashwell::ui {

// Message boxes are answered after `autoAnswerAfter` seconds, really shown, so that whoever
// watches can read them.
using Win32Options = WindowFaceOptions;

// A message box while it is on screen.
struct Win32MessageView {
    platform::MessageKind kind;
    platform::MessageButtons buttons;
    std::string title; // as the core gave it (Windows-1252)
    std::string text;
    UINT style = 0; // what MessageBoxA was given
    HWND box = nullptr;
    // Control identifier of the first (default) button.
    int firstButton = IDOK;
};

// The SubID dialog while it is on screen.
struct Win32SubIdView {
    app::TSubIDDialog* dialog = nullptr;
    HWND window = nullptr;
    std::array<HWND, 3> revisions{};
    HWND accept = nullptr;
    HWND cancel = nullptr;
};

class Win32Ui final : public WindowFace {
public:
    explicit Win32Ui(Win32Options options = {});
    ~Win32Ui() override;
    Win32Ui(const Win32Ui&) = delete;
    Win32Ui& operator=(const Win32Ui&) = delete;

    void Run() override;
    void Sync() override;
    bool Click(const app::Control& control) override;
    bool RequestClose() override;

    HWND MainWindow() const { return main_; }
    // The window that renders a control of the main window (nullptr if none does).
    HWND HandleOf(const app::Control& control) const;
    HWND StatusBar() const { return statusBar_; }
    HWND GaugeWindow(const app::Gauge& gauge) const;
    HWND SubIdWindow() const { return subId_; }

    // Called once a message box or the dialog is on screen, from inside its modal loop; what the
    // hook does there (clicking a button, say) is the user's answer.
    std::function<void(Win32MessageView&)> onMessageShown;
    std::function<void(Win32SubIdView&)> onSubIdDialogShown;
    // Called once the file dialog that chooses a parameter block copy is on screen, from inside
    // its modal loop, with the dialog's window: what is chosen there is the user's answer.
    std::function<void(HWND)> onFileDialogShown;

private:
    struct Controls;
    platform::MessageAnswer RunMessageBox(platform::MessageKind kind, const std::string& title,
                                          const std::string& text,
                                          platform::MessageButtons buttons) override;
    void RunSubIdDialog(app::TSubIDDialog& dialog) override;
    void OpenMainWindow() override;
    void PassPendingMessages() override;
    void PaintNow() override;
    bool MainWindowOpen() const override { return main_ != nullptr; }
    std::optional<std::string> ChooseCopy(const std::string& folder,
                                          const std::string& named) override;

    static LRESULT CALLBACK MainProc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK SubIdProc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK HelperProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT OnMainMessage(HWND, UINT, WPARAM, LPARAM);
    LRESULT OnSubIdMessage(HWND, UINT, WPARAM, LPARAM);
    LRESULT OnHelperMessage(HWND, UINT, WPARAM, LPARAM);
    void OnTimer(UINT_PTR id);
    void BuildMainWindow();
    void BuildStatusBar();
    void BuildSubIdDialog(app::TSubIDDialog& dialog);
    void ApplyClientSize();
    void OnCommand(int id);
    void PlaceGauge(int part, const RECT& rect);
    void ShowRevisions(const app::TSubIDDialog& dialog);
    void EndSubIdDialog();
    void PumpMessages(HWND dialog);

    HINSTANCE instance_ = nullptr;
    HFONT font_ = nullptr;
    HWND helper_ = nullptr;
    HWND main_ = nullptr;
    HWND statusBar_ = nullptr;
    HWND subId_ = nullptr;
    std::unique_ptr<Controls> controls_;
    bool applyingSize_ = false;
    bool closed_ = false;
    HWND focusBeforeDeactivation_ = nullptr;

    // The box or dialog now on screen, for the timers that look after it.
    std::optional<Win32MessageView> box_;
    bool boxHookDone_ = false;
    std::optional<Win32SubIdView> subIdView_;
    bool subIdOpen_ = false;
    bool fileDialogOpen_ = false;
};

// True when windows can be created here (false under wine without a display, for one).
bool Win32DisplayAvailable();

// When the program was started on its own console (from Explorer, say), that console only stands
// behind the window: hide it. A console shared with a command prompt stays.
void HideOwnConsole();

} // namespace flashwell::ui
