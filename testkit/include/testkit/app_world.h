// The whole program on a simulated machine: board table, protocol and main window over a
// simulated Windows, with a user interface that answers from a script.
#pragma once

#include "app/main_form.h"
#include "platform/winusb/winusb_os_port.h"
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

// How the program reaches the simulated boards: through the board driver, or through the
// WinUSB route in front of the simulated Windows (the boards then have to be bound to WinUSB).
enum class HostRoute { Driver, WinUsb };

inline std::unique_ptr<platform::OsPort> MakeHostRoute(sim::SimWorld& world, HostRoute route) {
    if (route == HostRoute::Driver) return nullptr;
    return std::make_unique<platform::winusb::WinUsbOsPort>(world.Os());
}

struct AppWorld {
    explicit AppWorld(sim::WorldOptions options = {}, HostRoute route = HostRoute::Driver)
        : world(std::move(options)), hostRoute(MakeHostRoute(world, route)), route(route) {}

    // What the program calls: the simulated Windows, or the WinUSB route in front of it.
    platform::OsPort& HostOs() { return hostRoute ? *hostRoute : world.Os(); }

    // Creates the window, which scans for boards; `observer` sees the scan's events too.
    app::TForm1& Start(app::RunObserver* observer = nullptr) {
        form = std::make_unique<app::TForm1>(
            app::Services{HostOs(), boards, protocol, ui, backups.store});
        if (observer != nullptr) form->Subscribe(*observer);
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
    std::unique_ptr<platform::OsPort> hostRoute;
    HostRoute route;
    device::BoardTable boards{HostOs()};
    ScriptedAppUi ui;
    protocol::BoardProtocol protocol{boards, ui};
    std::unique_ptr<app::TForm1> form;
};

} // namespace flashwell::testing
