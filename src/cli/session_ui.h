// The user-interface side of a session: a front end wrapped so that, while recording, every
// message-box answer, SubID choice and log line goes into the session, and while replaying the
// answers come from the session and nobody is asked.
#pragma once

#include "app/app_ui.h"
#include "app/subid_dialog.h"
#include "platform/session/recording_os_port.h"
#include "platform/session/replay_os_port.h"
#include "ui/console/console_ui.h"

#include <ostream>
#include <sstream>
#include <string>

namespace flashwell::app {

class SessionAppUi final : public AppUi {
public:
    // Exactly one of recorder and replay is given. `out` receives the boxes a replay answered.
    SessionAppUi(AppUi& face, platform::session::RecordingOsPort* recorder,
                 platform::session::ReplayOsPort* replay, std::ostream& out)
        : face_(face), recorder_(recorder), replay_(replay), out_(out) {}

    platform::MessageAnswer ShowMessage(platform::MessageKind kind, const std::string& title,
                                        const std::string& text,
                                        platform::MessageButtons buttons) override {
        if (replay_ != nullptr) {
            const platform::MessageAnswer answer =
                replay_->NextMessageAnswer(kind, title, text, buttons);
            // As the recorded run showed it; the answer is the session's.
            out_ << ui::FramedMessage(kind, title, text, buttons) << "> ";
            for (const ButtonChoice& c : ButtonChoices(buttons))
                if (c.answer == answer) out_ << c.label;
            if (answer == platform::MessageAnswer::Closed) out_ << "closed";
            out_ << '\n';
            return answer;
        }
        const platform::MessageAnswer answer = face_.ShowMessage(kind, title, text, buttons);
        if (recorder_ != nullptr) recorder_->RecordMessage(kind, title, text, buttons, answer);
        return answer;
    }
    void ProcessPendingMessages() override { face_.ProcessPendingMessages(); }
    void ShowSubIdDialog(TSubIDDialog& dialog) override {
        if (replay_ != nullptr) {
            const int choice = replay_->NextSubIdChoice();
            if (choice < 0) {
                dialog.Button2Click();
            } else {
                dialog.SelectRevision(choice);
                dialog.Button1Click();
            }
            return;
        }
        face_.ShowSubIdDialog(dialog);
        if (recorder_ != nullptr) recorder_->RecordSubIdChoice(dialog.RevisionChoice);
    }
    void ShowMainWindow(TForm1& form) override { face_.ShowMainWindow(form); }
    void LogAppended(const std::string& line) override {
        if (recorder_ != nullptr) recorder_->RecordLogLine(line);
        if (replay_ != nullptr) replay_->LogLine(line);
        face_.LogAppended(line);
    }
    void RunStarted() override { face_.RunStarted(); }
    void RunEnded() override { face_.RunEnded(); }

private:
    AppUi& face_;
    platform::session::RecordingOsPort* recorder_;
    platform::session::ReplayOsPort* replay_;
    std::ostream& out_;
};

} // namespace flashwell::app
