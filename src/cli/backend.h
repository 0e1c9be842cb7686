// The machine the program talks to, made for the chosen route: the simulation, the native
// board driver, USB, or a recorded session; wrapped for recording when asked. A new route is one
// more case here and one more Route value.
#pragma once

#include "app/app_ui.h"
#include "cli/invocation.h"
#include "cli/session_ui.h"
#include "platform/os_port.h"
#include "platform/session/recording_os_port.h"
#include "platform/session/replay_os_port.h"
#include "sim/sim_world.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace flashwell::cli {

class Backend {
public:
    // Makes the machine of the invocation's route; nothing (with the message written to
    // standard error and `status` set) when it cannot be had.
    static std::unique_ptr<Backend> Make(const Invocation& invocation, int& status);

    // A session wraps the machine and the face: recording passes everything on, replaying
    // stands in for both. Returns the face the program is to use, or nullptr (message written,
    // status set) when the session file cannot be used.
    app::AppUi* WrapSession(app::AppUi& face, int& status);
    // The exit status once the run is over: a replay that left its session, a recording that
    // could not be written to its end, are said here.
    int Finish(int status);

    platform::OsPort& Os() { return *os_; }
    sim::SimWorld* World() { return world_.get(); }
    // Devices the route saw but could not open (no permission), said once after the scan.
    std::vector<std::string> AccessDenied() const {
        if (!accessDenied_) return {};
        return accessDenied_();
    }
    // How a board at this device path is reached, in words.
    std::string RouteOf(const std::string& devicePath) const;
    // For the run log's header.
    std::string Description() const;

private:
    explicit Backend(const Invocation& invocation) : invocation_(invocation) {}
    // Windows, native or simulated, reaches boards bound to WinUSB too.
    void AddWinUsbRoute();

    const Invocation& invocation_;
    std::unique_ptr<sim::SimWorld> world_;
    std::unique_ptr<platform::OsPort> native_;
    std::unique_ptr<platform::OsPort> winUsb_;
    std::unique_ptr<platform::session::RecordingOsPort> recorder_;
    std::unique_ptr<platform::session::ReplayOsPort> replay_;
    std::optional<app::SessionAppUi> sessionFace_;
    std::function<std::vector<std::string>()> accessDenied_;
    platform::OsPort* os_ = nullptr;
};

} // namespace flashwell::cli
