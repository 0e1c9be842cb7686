// What happens in a scan or an update run, as values. The window model sends each event to its
// subscribers as it happens; a consumer (the bench, --json, a report) takes its facts from them
// and never from the log text, whose words are for people and may change.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace flashwell::app {

enum class RunOutcome { NotRun, Cancelled, Succeeded, Failed };

// A log line and what kind of line it is, for consumers that show some lines and not others.
enum class LineKind {
    Plain,
    StepTitle,   // "*** UpdateRBF ***"
    BoardAbsent, // the scan found no board at a line
    RestoreHint, // the command that restores a copy
};
struct Logged {
    std::string text;
    LineKind kind = LineKind::Plain;
};

// The scan identified a board: what its block says, and whether the update may write it.
struct BoardIdentified {
    int board = 0;
    std::string product, serial; // as the block holds them; empty when it could not be read
    bool accepted = false;
    std::string refusal; // why not, when not
};

// step: the step's name in the step table ("flash", "rbf", "kpci", "boot", "firmware").
struct StepStarted {
    int board = 0;
    std::string step;
};
struct StepProgress {
    int stepPercent = 0;    // of the operation running now
    int overallPercent = 0; // of the whole run
    std::string elapsed;    // hours:minutes:seconds since the run started
};
struct StepEnded {
    int board = 0;
    std::string step;
    bool failed = false; // this step set the run's error flag
};

// A copy of a board's parameter block is on the disk, read back, before anything erases it.
struct CopySaved {
    int board = 0;
    std::filesystem::path path;
    std::string serial;
};
// The block on the board is not whole; copy: the one to restore, when this computer has it.
struct BlockNotWhole {
    int board = 0;
    std::string why;
    std::optional<std::filesystem::path> copy;
};
// The board went away in the middle of its block write; its copy holds the block as it was.
struct BoardLost {
    int board = 0;
    std::filesystem::path copy;
};
// An update started on a line the scan did not accept: nothing was opened.
struct RunRefused {
    int board = 0;
    std::string why;
};
struct RunEnded {
    RunOutcome outcome = RunOutcome::NotRun;
};

using RunEvent = std::variant<Logged, BoardIdentified, StepStarted, StepProgress, StepEnded,
                              CopySaved, BlockNotWhole, BoardLost, RunRefused, RunEnded>;

// A subscriber of a window model's events (TForm1::Subscribe). Called on the thread that runs
// the model, in the order things happen.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    virtual void OnRunEvent(const RunEvent& event) = 0;
};

} // namespace flashwell::app
