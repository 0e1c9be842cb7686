// What the two window faces have in common: how a message box, the SubID dialog and the pass
// over pending messages fit around the main window, and the restore of a parameter block copy.
// Each face brings its own windows and controls.
#pragma once

#include "app/app_ui.h"
#include "app/controls.h"

#include <functional>
#include <optional>
#include <string>

namespace flashwell::app {
class TForm1;
class TSubIDDialog;
} // namespace flashwell::app

namespace flashwell::ui {

struct WindowFaceOptions {
    // Answer every message box with its first button this many seconds after it appeared. The
    // box is really shown, so that whoever watches can read it.
    std::optional<double> autoAnswerAfter;
    // The SubID dialog's answer (0, 1, 2 for revisions 1.1, 1.2, 1.3; -1 for Cancel), given
    // after the same delay (none given: at once).
    std::optional<int> revision;
};

class WindowFace : public app::AppUi {
public:
    platform::MessageAnswer ShowMessage(platform::MessageKind kind, const std::string& title,
                                        const std::string& text,
                                        platform::MessageButtons buttons) final;
    void ProcessPendingMessages() final;
    void ShowSubIdDialog(app::TSubIDDialog& dialog) final;
    void ShowMainWindow(app::TForm1& form) final;
    void LogAppended(const std::string& line) final;

    // Runs the event loop until the main window is gone.
    virtual void Run() = 0;
    // Brings every control in line with the models.
    virtual void Sync() = 0;
    // A person's click on the control: nothing when it is hidden or disabled (then false).
    virtual bool Click(const app::Control& control) = 0;
    // A close request, as from the title bar's close box; true when the window closed.
    virtual bool RequestClose() = 0;
    // What the window's "Restore parameter block..." does: choose a copy, check it, and restore
    // it onto the board. Nothing is restored while a run writes to a board.
    void RestoreFromCopy();

    // Called at the end of every pass over pending messages.
    std::function<void()> onPendingMessages;

protected:
    explicit WindowFace(WindowFaceOptions options) : options_(options) {}

    // The box on screen until the user answers it.
    virtual platform::MessageAnswer RunMessageBox(platform::MessageKind kind,
                                                  const std::string& title, const std::string& text,
                                                  platform::MessageButtons buttons) = 0;
    // The dialog on screen until one of its buttons (or its close box) ends it.
    virtual void RunSubIdDialog(app::TSubIDDialog& dialog) = 0;
    // Builds and shows the main window for form_, already sized by the form's rule.
    virtual void OpenMainWindow() = 0;
    // Handles what input and timers are waiting, without waiting for more.
    virtual void PassPendingMessages() = 0;
    // Puts what changed on screen, and nothing else: input waits for the next pass over
    // pending messages, as it would on Windows.
    virtual void PaintNow() = 0;
    virtual bool MainWindowOpen() const = 0;
    // The file chooser, opened in `folder` (empty: wherever the system likes) with `named`
    // chosen; nothing when the user cancelled.
    virtual std::optional<std::string> ChooseCopy(const std::string& folder,
                                                  const std::string& named) = 0;

    // The SubID dialog's automatic answer: the revision to choose before Accept, or none for
    // Cancel.
    std::optional<std::size_t> AutoRevision() const;

    WindowFaceOptions options_;
    app::TForm1* form_ = nullptr;
};

} // namespace flashwell::ui
