// The terminal face of the program: board lines, log lines as they come, both gauges as
// progress lines with elapsed and estimated time, message boxes and the SubID dialog as prompts.
#pragma once

#include "app/app_ui.h"
#include "ui/console/interrupt_guard.h"

#include <iosfwd>
#include <optional>
#include <string>

namespace flashwell::ui {

struct ConsoleOptions {
    // Answer every message box with its first button.
    bool yes = false;
    // The SubID dialog's answer: 0, 1, 2 for revisions 1.1, 1.2, 1.3; -1 for Cancel.
    std::optional<int> revision;
    // Rewrite the progress line in place (a terminal) instead of printing a line per change.
    bool interactive = false;
};

class ConsoleUi final : public app::AppUi {
public:
    ConsoleUi(std::istream& in, std::ostream& out, ConsoleOptions options);

    platform::MessageAnswer ShowMessage(platform::MessageKind kind, const std::string& title,
                                        const std::string& text,
                                        platform::MessageButtons buttons) override;
    void ProcessPendingMessages() override;
    void ShowSubIdDialog(app::TSubIDDialog& dialog) override;
    void ShowMainWindow(app::TForm1& form) override;
    void LogAppended(const std::string& line) override;
    void RunStarted() override;
    void RunEnded() override;

    // Whether the user pressed Ctrl-C during a run: the run went on, the program should stop.
    bool InterruptRequested() const { return interrupted_; }

    // The board lines and the status bar, as the window would show them.
    void ShowBoardLines();
    // The interactive command loop of a terminal session; returns when the user quits.
    void RunCommandLoop();

private:
    std::string ReadLine();
    void EndProgressLine();
    void CheckInterrupt();

    std::istream& in_;
    std::ostream& out_;
    ConsoleOptions options_;
    app::TForm1* form_ = nullptr;
    std::string lastProgress_;
    int lastStepDecile_ = -1;
    int lastOverall_ = -1;
    bool progressOpen_ = false;
    std::size_t lastShownLength_ = 0;
    std::optional<InterruptGuard> guard_;
    bool announced_ = false;
    bool interrupted_ = false;
};

// A message box as the terminal shows it: its kind and title, its lines, its buttons.
std::string FramedMessage(platform::MessageKind kind, const std::string& title,
                          const std::string& text, platform::MessageButtons buttons);

// Texts of the core are Windows-1252; terminals speak UTF-8.
std::string Cp1252ToUtf8(const std::string& text);

} // namespace flashwell::ui
