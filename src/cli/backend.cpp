#include "cli/backend.h"

#include "platform/winusb/winusb_os_port.h"
#include "sim/scenario/scenario.h"

#ifdef _WIN32
#include "platform/win32/win32_os_port.h"
#endif
#ifdef FLASHWELL_HAVE_USB
#include "platform/usb/usb_os_port.h"
#endif

#include <iostream>

namespace flashwell::cli {

std::unique_ptr<Backend> Backend::Make(const Invocation& invocation, [[maybe_unused]] int& status) {
    std::unique_ptr<Backend> b(new Backend(invocation));
    switch (invocation.route) {
    case Route::Simulation: {
        sim::WorldOptions options;
        options.clock = invocation.clock;
        b->world_ = std::make_unique<sim::SimWorld>(options);
        b->world_->Recorder().SetEnabled(false);
        sim::ApplyScenario(*b->world_, invocation.scenario);
        b->os_ = &b->world_->Os();
        b->AddWinUsbRoute();
        break;
    }
    case Route::Native:
#ifdef _WIN32
        b->native_ = std::make_unique<platform::win32::Win32OsPort>();
        b->os_ = b->native_.get();
        b->AddWinUsbRoute();
#endif
        break;
    case Route::Usb: {
#ifdef FLASHWELL_HAVE_USB
        std::string error;
        auto usbOs = platform::usb::UsbOsPort::Create(error);
        if (!usbOs) {
            std::cerr << "flashwell: " << error << "\n";
            status = kExitError;
            return nullptr;
        }
        platform::usb::UsbOsPort* usb = usbOs.get();
        b->accessDenied_ = [usb] { return usb->AccessDenied(); };
        b->native_ = std::move(usbOs);
        b->os_ = b->native_.get();
#endif
        break;
    }
    case Route::Replay:
        break; // the session stands in for the machine (WrapSession)
    }
    return b;
}

void Backend::AddWinUsbRoute() {
    platform::winusb::WinUsbOptions options;
    options.only = invocation_.winUsbOnly;
    auto route = std::make_unique<platform::winusb::WinUsbOsPort>(*os_, options);
    // Where WinUSB is missing the legacy driver's boards are still reached; the line is for
    // someone who asked for WinUSB.
    if (options.only && !route->Unavailable().empty())
        std::cerr << "flashwell: " << route->Unavailable()
                  << " - boards bound to WinUSB cannot be reached\n";
    winUsb_ = std::move(route);
    os_ = winUsb_.get();
}

app::AppUi* Backend::WrapSession(app::AppUi& face, int& status) {
    if (invocation_.record.empty() && invocation_.replay.empty()) return &face;
    std::string error;
    if (!invocation_.replay.empty()) {
        replay_ = platform::session::ReplayOsPort::Load(invocation_.replay, error);
        if (replay_)
            replay_->OnDivergence(
                [](const std::string& message) { std::cerr << "flashwell: " << message << '\n'; });
        os_ = replay_.get();
    } else {
        // The options go along: a replay needs the same ones.
        const std::string origin =
            std::string("flashwell ") + FLASHWELL_VERSION +
            (invocation_.route == Route::Simulation ? ", simulated boards;" : ", Windows driver;") +
            invocation_.arguments;
        recorder_ =
            platform::session::RecordingOsPort::Create(*os_, invocation_.record, origin, error);
        os_ = recorder_.get();
    }
    if (os_ == nullptr) {
        std::cerr << "flashwell: " << error << '\n';
        status = kExitUsage;
        return nullptr;
    }
    sessionFace_.emplace(face, recorder_.get(), replay_.get(), std::cout);
    return &*sessionFace_;
}

int Backend::Finish(int status) {
    if (recorder_ && !recorder_->Healthy())
        std::cerr << "flashwell: the session file '" << invocation_.record
                  << "' could not be written to the end (disk full?); it ends early\n";
    if (!replay_) return status;
    replay_->CheckFinished();
    return replay_->Diverged() ? kExitReplayDiverged : status;
}

std::string Backend::RouteOf(const std::string& devicePath) const {
    if (platform::winusb::WinUsbOsPort::IsWinUsbPath(devicePath)) return "WinUSB";
    if (invocation_.route == Route::Usb) return "USB (libusb)";
    return "the board driver";
}

std::string Backend::Description() const {
    switch (invocation_.route) {
    case Route::Replay:
        return "replay of " + invocation_.replay;
    case Route::Simulation:
        return std::string(invocation_.winUsbOnly ? "simulated boards through WinUSB"
                                                  : "simulated boards") +
               ", scenario \"" + invocation_.scenario.name + "\"";
    case Route::Usb:
        return "boards over USB";
    case Route::Native:
        break;
    }
    return invocation_.winUsbOnly ? "boards through WinUSB"
                                  : "boards through the board driver and WinUSB";
}

} // namespace flashwell::cli
