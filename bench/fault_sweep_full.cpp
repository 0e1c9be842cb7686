// The full fault sweep: every control request of a clean update, the ends of every stream and
// a seeded sample inside each, each with all four request faults, plus lost answer words.
// Prints the matrix; exits 1 when any run broke a rule.
//
//   flashwell_bench_fault_sweep [SAMPLES_PER_STREAM] [winusb]
#include "testkit/fault_sweep.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    flashwell::sweep::SweepOptions options;
    options.full = true;
    options.samplesPerStream = argc > 1 ? static_cast<std::size_t>(std::atoi(argv[1])) : 100;
    options.answerWordSamples = 200;
    options.secondFaultSamples = 200;
    options.winUsb = argc > 2 && std::string(argv[2]) == "winusb";
    const auto start = std::chrono::steady_clock::now();
    const auto report = flashwell::sweep::RunSweep(options);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s\nfull sweep (%s): %zu runs in %.1f s; silently lost on another computer: %zu, "
                "bricked: %zu\n",
                report.Matrix().c_str(), options.winUsb ? "WinUSB" : "board driver",
                report.runs.size(), seconds, report.LostOnOtherComputer(),
                report.Count(flashwell::sweep::Recovery::Bricked));
    return report.Broken() == 0 ? 0 : 1;
}
