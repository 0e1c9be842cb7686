// A user interface that answers every message box with a chosen button and remembers it.
#pragma once

#include "app/app_ui.h"
#include "platform/ui_port.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace flashwell::testing {

struct ShownMessage {
    platform::MessageKind kind;
    std::string title;
    std::string text;
    platform::MessageButtons buttons;
};

class FakeUi final : public platform::UiPort {
public:
    platform::MessageAnswer ShowMessage(platform::MessageKind kind, const std::string& title,
                                        const std::string& text,
                                        platform::MessageButtons buttons) override {
        shown.push_back({kind, title, text, buttons});
        if (onShow) onShow(shown.back());
        if (!answers.empty()) {
            const platform::MessageAnswer a = answers.front();
            answers.pop_front();
            return a;
        }
        switch (buttons) {
        case platform::MessageButtons::Ok:
        case platform::MessageButtons::OkCancel:
            return platform::MessageAnswer::Ok;
        case platform::MessageButtons::YesNo:
            return platform::MessageAnswer::Yes;
        case platform::MessageButtons::Cancel:
            return platform::MessageAnswer::Cancel;
        }
        return platform::MessageAnswer::Closed;
    }
    void ProcessPendingMessages() override { ++pumps; }

    std::vector<ShownMessage> shown;
    std::deque<platform::MessageAnswer> answers;
    // Runs while the box is open, before it is answered (the user acting meanwhile).
    std::function<void(const ShownMessage&)> onShow;
    int pumps = 0;
};

// An application face with no window: boxes answered as FakeUi answers them, no dialog, the log
// kept as it comes.
class QuietAppUi final : public app::AppUi {
public:
    platform::MessageAnswer ShowMessage(platform::MessageKind kind, const std::string& title,
                                        const std::string& text,
                                        platform::MessageButtons buttons) override {
        return boxes.ShowMessage(kind, title, text, buttons);
    }
    void ProcessPendingMessages() override {}
    void ShowSubIdDialog(app::TSubIDDialog&) override {}
    void LogAppended(const std::string& line) override { lines.push_back(line); }

    FakeUi boxes;
    std::vector<std::string> lines;
};

} // namespace flashwell::testing
