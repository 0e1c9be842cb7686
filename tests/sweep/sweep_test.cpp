// The sampled fault sweep: a few hundred faulted update runs, each judged by the board's
// contents after a power cycle against the final message.
#include "fault_sweep.h"

#include <gtest/gtest.h>

#include <iostream>

using namespace flashwell::sweep;

TEST(FaultSweep, SampledRunsKeepEveryRule) {
    SweepOptions options;
    const SweepReport report = RunSweep(options);
    std::cout << report.Matrix();
    EXPECT_GT(report.runs.size(), 50u);
    EXPECT_EQ(report.Broken(), 0u) << report.Matrix();
}
