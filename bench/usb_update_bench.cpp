// The full update of the default board through the USB backend, the real libusb and a umockdev
// bus, beside the same update through the simulated driver, both in virtual time: the ratio of
// wall times is what the USB path costs. Run it through tests/usb/with_umockdev.sh.
#include "app/main_form.h"
#include "sim/scenario/scenario.h"
#include "testkit/app_world.h"
#include "testkit/fake_ui.h"
#include "testkit/temp_data_folder.h"
#include "testkit/usb_bench.h"

#include <chrono>
#include <cstdio>

using namespace flashwell;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main() {
    auto start = std::chrono::steady_clock::now();
    testing::AppWorld direct;
    direct.world.Recorder().SetEnabled(false);
    sim::ApplyScenario(direct.world, sim::DefaultScenario());
    direct.Start().Button1Click();
    const double directSeconds = Seconds(start);
    const bool directOk = direct.form->LastOutcome == app::RunOutcome::Succeeded;

    start = std::chrono::steady_clock::now();
    testing::UsbBench bench;
    bench.World().Recorder().SetEnabled(false);
    sim::ApplyScenario(bench.World(), sim::DefaultScenario());
    bench.Plug(bench.World().GetBoard(0));
    std::string error;
    auto port = bench.MakePort(error);
    if (!port) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    testing::TempBackups backups;
    flashwell::testing::QuietAppUi ui;
    device::BoardTable boards(*port);
    protocol::BoardProtocol protocol(boards, ui);
    app::TForm1 form(app::Services{*port, boards, protocol, ui, backups.store});
    form.FormCreate();
    form.Button1Click();
    const double usbSeconds = Seconds(start);
    const bool usbOk = form.LastOutcome == app::RunOutcome::Succeeded;
    const bool sameLog = form.Memo1.lines == direct.Log();

    std::printf("full update, simulated driver : %.3f s wall (%s)\n", directSeconds,
                directOk ? "succeeded" : "FAILED");
    std::printf("full update, USB backend      : %.3f s wall (%s, log %s)\n", usbSeconds,
                usbOk ? "succeeded" : "FAILED", sameLog ? "identical" : "DIFFERS");
    std::printf("ratio USB / simulated driver  : %.0f\n", usbSeconds / directSeconds);
    return directOk && usbOk && sameLog ? 0 : 1;
}
