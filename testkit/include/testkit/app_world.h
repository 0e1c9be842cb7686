// The whole program on a simulated machine: board table, protocol and main window over a
// simulated Windows, with a user interface that answers from a script.
#pragma once

#include "app/main_form.h"
#include "sim/sim_world.h"
#include "testkit/fake_ui.h"
#include "testkit/temp_data_folder.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace flashwell::testing {

class ScriptedAppUi final : public app::AppUi {
public:
    platform::MessageAnswer ShowMessage(platform::MessageKind kind, const std::string& title,
                                        const std::string& text,
                                        platform::MessageButtons buttons) override {
        return boxes.ShowMessage(kind, title, text, buttons);
    }
    void ProcessPendingMessages() override {
        ++pumps;
        if (form != nullptr) {
            stepPositions.push_back(form->Gauge2.position);
            overallPositions.push_back(form->Gauge1.position);
        }
        if (onPump) onPump();
    }
    void ShowSubIdDialog(app::TSubIDDialog& dialog) override {
        ++dialogShown;
        if (revisionAnswers.empty()) return; // closed through its close box
        const int choice = revisionAnswers.front();
        revisionAnswers.pop_front();
        if (choice < 0) {
            dialog.Button2Click();
        } else {
            dialog.SelectRevision(choice);
            dialog.Button1Click();
        }
    }
    void ShowMainWindow(app::TForm1& f) override { form = &f; }

    FakeUi boxes;
    std::deque<int> revisionAnswers;
    int dialogShown = 0;
    int pumps = 0;
    std::vector<int> stepPositions;
    std::vector<int> overallPositions;
    app::TForm1* form = nullptr;
    std::function<void()> onPump;
};

struct AppWorld {
    explicit AppWorld(sim::WorldOptions options = {}) : world(std::move(options)) {}

    // Creates the window, which scans for boards.
    app::TForm1& Start() {
        form = std::make_unique<app::TForm1>(
            app::Services{world.Os(), boards, protocol, ui, backups.store});
        form->FormCreate();
        return *form;
    }
    const std::vector<std::string>& Log() const { return form->Memo1.lines; }
    // The log from the line that equals `first` on.
    std::vector<std::string> LogFrom(const std::string& first) const {
        const auto& lines = form->Memo1.lines;
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i] == first) return {lines.begin() + static_cast<long>(i), lines.end()};
        return {};
    }
    bool Logged(const std::string& line) const {
        return std::find(Log().begin(), Log().end(), line) != Log().end();
    }

    TempBackups backups;
    sim::SimWorld world;
    device::BoardTable boards{world.Os()};
    ScriptedAppUi ui;
    protocol::BoardProtocol protocol{boards, ui};
    std::unique_ptr<app::TForm1> form;
};

} // namespace flashwell::testing
