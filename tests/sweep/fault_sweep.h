// The fault sweep: a clean full update of the default board is recorded, then rerun once per
// chosen request with a fault injected there, and every run is judged by what the board holds
// after a power cycle against what the program told the user.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace flashwell::sweep {

enum class FaultKind { Vanish1167, Vanish31, Refused87, Busy170, FailureWordAnswer };
const char* FaultKindName(FaultKind kind);

// What became of the board's parameter block: as it was, the new one, or lost by the run and
// then written back from the copy the run left (Restored) or not (Unrecoverable).
enum class BlockOutcome { Unchanged, Intended, Restored, Unrecoverable };
const char* BlockOutcomeName(BlockOutcome outcome);

struct RunResult {
    FaultKind kind = FaultKind::Refused87;
    // Request number (from 0) or, for answer words, the word's ordinal (from 1).
    std::uint64_t index = 0;
    // The step running when the fault struck ("scan" before the first step).
    std::string step;
    bool successShown = false;
    bool errorShown = false;
    bool everyImageInPlace = false;
    BlockOutcome block = BlockOutcome::Unchanged;
    // The parameter block was written again after a failed attempt.
    bool blockRetried = false;
    std::uint64_t virtualMs = 0;
    // Empty when the run kept every rule.
    std::string brokenRule;
};

struct SweepOptions {
    // Full: every control request, and `samplesPerStream` random requests inside each stream.
    // Sampled: `controlSample` random control requests.
    bool full = false;
    std::size_t controlSample = 16;
    std::size_t samplesPerStream = 1;
    std::size_t answerWordSamples = 6;
    std::uint64_t seed = 20261209;
    // A run that takes longer than this in virtual time counts as hung.
    std::uint64_t virtualLimitMs = 6ull * 3600 * 1000;
};

struct SweepReport {
    std::uint64_t cleanRequests = 0;
    std::uint64_t cleanAnswerWords = 0;
    std::size_t streams = 0;
    std::vector<RunResult> runs;

    std::size_t Broken() const;
    // Runs per fault kind and step, outcomes per class, and every run that broke a rule.
    std::string Matrix() const;
};

SweepReport RunSweep(const SweepOptions& options);
// One run with one fault, for regression tests of what the sweep found.
RunResult RunWithFault(FaultKind kind, std::uint64_t index);

} // namespace flashwell::sweep
