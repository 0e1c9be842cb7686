// The windowed face of the program: renders the main window and SubID dialog models with FLTK,
// forwards clicks to their handlers and shows the message boxes. The main window is built from
// the layout both window faces share (ui/layout).
#pragma once

#include "app/controls.h"
#include "ui/layout/window_face.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Fl_Button;
class Fl_Double_Window;
class Fl_File_Chooser;
class Fl_Menu_Button;
struct Fl_Menu_Item;
class Fl_Text_Display;
class Fl_Widget;
class Fl_Window;

namespace flashwell::ui {

// A message box while it is on screen.
struct FltkMessageView {
    platform::MessageKind kind;
    std::string title; // as the core gave it (Windows-1252)
    std::string text;
    Fl_Window* window = nullptr;
    std::vector<Fl_Button*> buttons; // left to right; the first is the default
};

// The SubID dialog while it is on screen.
struct FltkSubIdView {
    app::TSubIDDialog* dialog = nullptr;
    Fl_Window* window = nullptr;
    std::array<Fl_Button*, 3> revisions{};
    Fl_Button* accept = nullptr;
    Fl_Button* cancel = nullptr;
};

struct FltkOptions : WindowFaceOptions {
    // Pixel size of the window font. The layout was made for an 8-point dialog font at 96 dpi;
    // the toolkit's sans is wider, and at 10 px its texts fit the layout's boxes as that font's
    // did (at 11 px "Estimated Time:" runs into the time beside it and the dialog's lines are cut).
    int fontSize = 10;
};

class FltkUi final : public WindowFace {
public:
    // Needs the display: check FltkDisplayAvailable() first.
    explicit FltkUi(FltkOptions options = {});
    ~FltkUi() override;
    FltkUi(const FltkUi&) = delete;
    FltkUi& operator=(const FltkUi&) = delete;

    void Run() override;
    void Sync() override;
    bool Click(const app::Control& control) override;
    bool RequestClose() override;

    Fl_Double_Window* MainWindow() const;
    // The widget that renders a control of the main window (nullptr if none does).
    Fl_Widget* WidgetOf(const app::Control& control) const;
    // The bars over status panels 1 and 2, and panel 0's text.
    Fl_Widget* GaugeWidget(const app::Gauge& gauge) const;
    std::string StatusPanelText(int index) const;
    Fl_Text_Display* MemoWidget() const;
    std::string MemoText() const;

    // Called once a message box or the dialog is on screen, from inside its modal loop; clicks
    // made there are the user's answer.
    std::function<void(FltkMessageView&)> onMessageShown;
    std::function<void(FltkSubIdView&)> onSubIdDialogShown;
    // Called once the chooser of a parameter block copy is on screen, from inside its modal
    // loop: what is chosen there (or the cancel) is the user's.
    std::function<void(Fl_File_Chooser&)> onFileChooserShown;

    // The window's context menu (a right click anywhere on the window) and its item that
    // restores a saved parameter block; Ctrl+R reaches the item too.
    Fl_Menu_Button* ContextMenu() const;
    const Fl_Menu_Item* RestoreMenuItem() const;

private:
    struct Widgets;
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
    void BuildMainWindow();
    void BuildStatusBar();

    int fontSize_;
    std::unique_ptr<Widgets> main_;
};

// True when an X display can be had (DISPLAY set and the server answering); the connection is
// then open and kept for the window face.
bool FltkDisplayAvailable();

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> pixels; // rows top to bottom, 3 bytes a pixel
};

// The client area of a shown window, drawn afresh off screen (other windows cannot hide it).
RgbImage CaptureWindow(Fl_Window& window);

} // namespace flashwell::ui
