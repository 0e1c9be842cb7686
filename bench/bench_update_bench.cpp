// Benches of 1, 4 and 16 boards updated side by side on the same paced simulated clock: the wall
// time against one board alone (goal: 16 boards at most 1.10 times one), and the peak memory of
// each (goal: growing with the lanes, under 10 MB a lane). Each bench runs in a child process of
// its own, so that each peak is its own.
// Usage: flashwell_bench_bench_update [speed factor, default 50]
#include "cli/bench.h"
#include "sim/scenario/scenario.h"
#include "testkit/temp_data_folder.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>

using namespace flashwell;

namespace {

// `boards` boards: those of the four-board scenario over and over, each with its own serial.
sim::Scenario Bench(const sim::Scenario& four, std::size_t boards) {
    sim::Scenario out = four;
    out.boards.clear();
    for (std::size_t i = 0; i < boards; ++i) {
        sim::ScenarioBoard b = four.boards[i % four.boards.size()];
        b.parameterBlock.serialNumber.back() = static_cast<char>('0' + i / four.boards.size());
        out.boards.push_back(b);
    }
    return out;
}

// The wall time of one bench run of every board of `scenario`.
double Run(const sim::Scenario& scenario, double speed, int& status) {
    testing::TempDataFolder folder;
    cli::Invocation v;
    v.scenario = scenario;
    v.clock.speedFactor = speed;
    v.update = v.yes = v.console = v.allBoards = true;
    v.revision = 1;
    v.dataFolder = folder.Path();
    v.logFile = folder.Path() / "flashwell.log";
    v.historyStore = "files"; // the bench's own cost, not the history's (bench/history_bench)
    const auto start = std::chrono::steady_clock::now();
    const cli::BenchResolution r = cli::ResolveBench(v);
    std::ostringstream out;
    status = r.error.empty() && r.targets.size() == scenario.boards.size()
                 ? cli::RunBench(v, r.targets, out)
                 : cli::kExitUsage;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Figures {
    double seconds = 0;
    long peakKb = 0;
    int status = -1;
};

Figures InChild(const sim::Scenario& scenario, double speed) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        Figures f;
        f.seconds = Run(scenario, speed, f.status);
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        f.peakKb = usage.ru_maxrss;
        if (write(pipeEnds[1], &f, sizeof f) != static_cast<ssize_t>(sizeof f)) _exit(1);
        _exit(0);
    }
    close(pipeEnds[1]);
    Figures f;
    if (read(pipeEnds[0], &f, sizeof f) != static_cast<ssize_t>(sizeof f)) f = {};
    close(pipeEnds[0]);
    waitpid(child, nullptr, 0);
    return f;
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
    std::printf("clock x%.0f\n", speed);
    Figures one;
    bool ok = true;
    for (const std::size_t boards : {1u, 4u, 16u}) {
        const Figures f = InChild(Bench(*loaded.scenario, boards), speed);
        if (boards == 1) one = f;
        const double ratio = one.seconds > 0 ? f.seconds / one.seconds : 0;
        std::printf("%2zu board(s): %.2f s wall, %.3f times one board, peak %.1f MB (%.1f MB a "
                    "board), exit %d\n",
                    boards, f.seconds, ratio, f.peakKb / 1024.0,
                    f.peakKb / 1024.0 / static_cast<double>(boards), f.status);
        ok = ok && f.status == 0 && (boards != 16 || ratio <= 1.10);
    }
    std::printf("goal: 16 boards at most 1.10 times one board: %s\n", ok ? "met" : "MISSED");
    return ok ? 0 : 1;
}
