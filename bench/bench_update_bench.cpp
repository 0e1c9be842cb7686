// A bench of four boards updated side by side against one board alone, on the same paced
// simulated clock: the four should cost hardly more than the one (goal: at most 1.15 times).
// Usage: flashwell_bench_bench_update [speed factor, default 50]
#include "cli/bench.h"
#include "sim/scenario/scenario.h"
#include "testkit/temp_data_folder.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>

using namespace flashwell;

namespace {

// The wall time of one bench run of the first `boards` boards of the four-board scenario.
double Run(const sim::Scenario& four, std::size_t boards, double speed, int& status) {
    sim::Scenario scenario = four;
    scenario.boards.resize(boards);
    testing::TempDataFolder folder;
    cli::Invocation v;
    v.scenario = scenario;
    v.clock.speedFactor = speed;
    v.update = v.yes = v.console = v.allBoards = true;
    v.revision = 1;
    v.dataFolder = folder.Path();
    v.logFile = folder.Path() / "flashwell.log";
    const auto start = std::chrono::steady_clock::now();
    const cli::BenchResolution r = cli::ResolveBench(v);
    std::ostringstream out;
    status = r.error.empty() ? cli::RunBench(v, r.targets, out) : cli::kExitUsage;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const double speed = argc > 1 ? std::atof(argv[1]) : 50.0;
    const sim::ScenarioResult loaded =
        sim::LoadScenarioFile(FLASHWELL_SCENARIO_DIR "/bench-4.json");
    if (!loaded.scenario) {
        std::fprintf(stderr, "%s\n", loaded.error.c_str());
        return 2;
    }
    int oneStatus = 0, fourStatus = 0;
    const double one = Run(*loaded.scenario, 1, speed, oneStatus);
    const double four = Run(*loaded.scenario, 4, speed, fourStatus);
    const double ratio = four / one;
    std::printf("clock x%.0f\n", speed);
    std::printf("one board   : %.2f s wall (exit %d)\n", one, oneStatus);
    std::printf("four boards : %.2f s wall (exit %d)\n", four, fourStatus);
    std::printf("ratio       : %.3f   goal <= 1.15   %s\n", ratio,
                ratio <= 1.15 ? "met" : "MISSED");
    return oneStatus == 0 && fourStatus == 0 && ratio <= 1.15 ? 0 : 1;
}
