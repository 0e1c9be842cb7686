// The full fault sweep: every control request of a clean update, the ends of every stream and
// a seeded sample inside each, each with all four request faults, plus lost answer words.
// Prints the matrix; exits 1 when any run broke a rule.
#include "testkit/fault_sweep.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    flashwell::sweep::SweepOptions options;
    options.full = true;
    options.samplesPerStream = argc > 1 ? static_cast<std::size_t>(std::atoi(argv[1])) : 100;
    options.answerWordSamples = 200;
    options.secondFaultSamples = 200;
    const auto start = std::chrono::steady_clock::now();
    const auto report = flashwell::sweep::RunSweep(options);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s\nfull sweep: %zu runs in %.1f s\n", report.Matrix().c_str(), report.runs.size(),
                seconds);
    return report.Broken() == 0 ? 0 : 1;
}
