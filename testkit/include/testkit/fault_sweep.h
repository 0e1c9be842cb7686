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

// What became of the board when the tool was started again after a power cycle and its lines
// followed: the next update brought it back, or the restore it asked for and then an update, or
// nothing did (not enumerated, not selectable, the next run failed, images or block wrong).
enum class Recovery { NextRun, AfterRestore, Bricked };
const char* RecoveryName(Recovery recovery);

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
    Recovery recovery = Recovery::Bricked;
    // The run after this one was faulted too (secondInjected: the fault was reached).
    bool secondFault = false;
    bool secondInjected = false;
    // The tool on another computer (an empty data folder), asked to update the board after
    // this run: whether it reported success, refused the board, or lost its block (how).
    bool otherComputerSucceeded = false;
    bool otherComputerRefused = false;
    std::string lostOnOtherComputer;
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
    // Runs whose next run is faulted as well, at a random request.
    std::size_t secondFaultSamples = 4;
    std::uint64_t seed = 20261209;
    // The board bound to WinUSB and reached through the WinUSB route instead of the driver.
    bool winUsb = false;
    // A run that takes longer than this in virtual time counts as hung.
    std::uint64_t virtualLimitMs = 6ull * 3600 * 1000;
};

struct SweepReport {
    std::uint64_t cleanRequests = 0;
    std::uint64_t cleanAnswerWords = 0;
    std::size_t streams = 0;
    std::vector<RunResult> runs;

    std::size_t Broken() const;
    std::size_t LostOnOtherComputer() const;
    std::size_t Count(Recovery recovery) const;
    // Runs per fault kind and step, outcomes per class, and every run that broke a rule.
    std::string Matrix() const;
};

SweepReport RunSweep(const SweepOptions& options);
// One run with one fault, for regression tests of what the sweep found.
RunResult RunWithFault(FaultKind kind, std::uint64_t index);

} // namespace flashwell::sweep
