// The full update of the default simulated board in virtual time: how long it takes on this
// machine and how much memory it needs. Goal: under 1 s and under 50 MB.
#include "app/main_form.h"
#include "sim/scenario/scenario.h"
#include "sim/sim_world.h"
#include "testkit/app_world.h"

#include <chrono>
#include <cstdio>
#include <sys/resource.h>

using namespace flashwell;

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
    double best = 1e9;
    bool allSucceeded = true;
    std::uint64_t virtualMs = 0;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        testing::AppWorld w;
        w.world.Recorder().SetEnabled(false); // as the program runs it
        sim::ApplyScenario(w.world, sim::DefaultScenario());
        app::TForm1& form = w.Start();
        form.Button1Click();
        const auto end = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(end - start).count());
        allSucceeded = allSucceeded && !form.UpdateFailed;
        virtualMs = w.world.Clock().NowMs();
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    std::printf("full update of the default board: %s\n", allSucceeded ? "succeeded" : "FAILED");
    std::printf("virtual time per run : %.1f s\n", static_cast<double>(virtualMs) / 1000.0);
    std::printf("wall time (best of %d): %.3f s   goal < 1 s   %s\n", runs, best,
                best < 1.0 ? "met" : "MISSED");
    std::printf("peak memory           : %.1f MB  goal < 50 MB  %s\n", peakMb,
                peakMb < 50.0 ? "met" : "MISSED");
    return allSucceeded && best < 1.0 && peakMb < 50.0 ? 0 : 1;
}
