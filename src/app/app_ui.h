// What the application asks of a front end beyond message boxes: the SubID dialog, and a word
// whenever the models changed so that the front end can show it.
#pragma once

#include "platform/ui_port.h"

#include <string>
#include <vector>

namespace flashwell::app {

// The buttons of a message box, left to right, with what each answers.
struct ButtonChoice {
    const char* label;
    platform::MessageAnswer answer;
};

inline std::vector<ButtonChoice> ButtonChoices(platform::MessageButtons buttons) {
    using A = platform::MessageAnswer;
    switch (buttons) {
    case platform::MessageButtons::Ok:
        return {{"OK", A::Ok}};
    case platform::MessageButtons::OkCancel:
        return {{"OK", A::Ok}, {"Cancel", A::Cancel}};
    case platform::MessageButtons::YesNo:
        return {{"Yes", A::Yes}, {"No", A::No}};
    case platform::MessageButtons::Cancel:
        return {{"Cancel", A::Cancel}};
    }
    return {{"OK", A::Ok}};
}

class TSubIDDialog;
class TForm1;

class AppUi : public platform::UiPort {
public:
    // Shows the dialog modally; returns when one of its buttons (or its close box) ended it.
    virtual void ShowSubIdDialog(TSubIDDialog& dialog) = 0;
    // The main window is shown before the scan starts.
    virtual void ShowMainWindow(TForm1& /*form*/) {}
    // A line was appended to the log.
    virtual void LogAppended(const std::string& /*line*/) {}
    // The user confirmed the update: from here to RunEnded the board is being written.
    virtual void RunStarted() {}
    // The run showed its final message.
    virtual void RunEnded() {}
};

} // namespace flashwell::app
