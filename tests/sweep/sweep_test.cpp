// The sampled fault sweep: a few hundred faulted update runs, each judged by the board's
// contents after a power cycle against the final message.
#include "testkit/fault_sweep.h"

#include <gtest/gtest.h>

#include <iostream>

using namespace flashwell::sweep;

namespace {

// Runs the sweep and judges it: enough runs, and none that broke a rule.
void ExpectEveryRuleKept(const SweepOptions& options, std::size_t atLeast) {
    const SweepReport report = RunSweep(options);
    std::cout << report.Matrix();
    EXPECT_GT(report.runs.size(), atLeast);
    EXPECT_EQ(report.LostOnOtherComputer(), 0u) << "a board taken to another computer";
    EXPECT_EQ(report.Broken(), 0u) << report.Matrix();
}

} // namespace

TEST(FaultSweep, SampledRunsKeepEveryRule) {
    SweepOptions options;
#ifdef FLASHWELL_OPTIMISED_BUILD
    // An optimised build runs a faulted update in a few milliseconds: sample widely.
    options.controlSample = 800;
    options.samplesPerStream = 20;
    options.answerWordSamples = 120;
    options.secondFaultSamples = 40;
#endif
    ExpectEveryRuleKept(options, 50u);
}

// The same rules on the WinUSB route, where every driver request is one or more transfers and
// an unplugged board answers with the errors WinUSB gives.
TEST(FaultSweep, SampledRunsOnWinUsbKeepEveryRule) {
    SweepOptions options;
    options.winUsb = true;
    options.controlSample = 12;
    options.answerWordSamples = 2;
    options.secondFaultSamples = 2;
#ifdef FLASHWELL_OPTIMISED_BUILD
    options.controlSample = 200;
    options.samplesPerStream = 6;
    options.secondFaultSamples = 10;
#endif
    ExpectEveryRuleKept(options, 12u);
}

// The rule that guards the sweep itself: a fault placed beyond the end of the clean run is
// never injected, and such a run must not pass as clean.
TEST(FaultSweep, FaultNeverReachedBreaksARule) {
    const RunResult request = RunWithFault(FaultKind::Refused87, 100'000'000);
    EXPECT_NE(request.brokenRule.find("never injected"), std::string::npos) << request.brokenRule;
    const RunResult word = RunWithFault(FaultKind::FailureWordAnswer, 100'000'000);
    EXPECT_NE(word.brokenRule.find("never injected"), std::string::npos) << word.brokenRule;
}
