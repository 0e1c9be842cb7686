// A bench of boards: named by line, serial number or place, each updated in a lane of its own
// at the same time as the others (docs/bench.md). A lane has its own machine (its own simulated
// Windows, libusb context or driver handles), its own view of it that shows only its board, its
// own program, backup store and log, so that nothing one board does reaches another.
#pragma once

#include "app/board_summary.h"
#include "app/main_form.h"
#include "cli/backend.h"
#include "cli/invocation.h"
#include "cli/place_filter.h"

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace flashwell::ui::layout {
class BenchWindow;
} // namespace flashwell::ui::layout

namespace flashwell::cli {

// A board of the bench as the names found it.
struct BenchTarget {
    std::string place;
    std::string serial; // empty when the names did not need the block read
    std::string Name() const { return serial.empty() ? place : serial; }
};

// The named boards, or the usage error (names that match none, or more than one, with what
// was found). Places need nothing but the listing; line numbers, serial numbers and --all
// need one scan of every board, as the program without names does.
struct BenchResolution {
    std::vector<BenchTarget> targets;
    std::string error;
};
BenchResolution ResolveBench(const Invocation& v);

// A board left open would be in use for the next program that looks at it.
void CloseAll(device::BoardTable& boards);

// The boards on the route that the scan's four lines do not show (those at `linePlaces` are
// left out): each scanned alone, through a view that shows only it. Their summaries have no
// line (index -1).
std::vector<app::BoardSummary> BoardsBeyondLines(const Invocation& v, platform::OsPort& os,
                                                 const std::set<std::string>& linePlaces,
                                                 bool withPlan);

struct BenchLane {
    BenchTarget target;
    // What the lane's backend was made from: it keeps a reference, so the lane keeps the value.
    std::unique_ptr<Invocation> invocation;
    std::unique_ptr<Backend> backend;
    std::unique_ptr<PlaceFilterOsPort> view;
    // The lane's program while it runs; its log lines once it is over.
    app::TForm1* form = nullptr;
    std::vector<std::string> logLines;
    // How the board's run ended, in the summary's words, and its exit status.
    std::string result = "not run";
    int status = kExitSuccess;
    std::string backup;
    std::string log;
    // Copies the run named for a block it lost or found not whole: to be written back onto
    // this very board.
    std::vector<std::string> restoreCopies;
    // For the bench view: the step running and the elapsed time, as the window shows them.
    std::string step;
    // The step during which the run first failed (later steps still run).
    std::string failedStep;
    std::string failedStepKey; // its stable name, as --steps has it, for --json
    int stepPercent = 0;
    std::string elapsed = "00:00:00";
    bool done = false;
};

// Tests watch the lanes: when a lane's machine is made, and at every pump of its run.
struct BenchHooks {
    std::function<void(BenchLane&)> laneMade;
    std::function<void(BenchLane&)> pump;
    // Where the lanes go when the run is over, machines and all.
    std::vector<BenchLane>* keep = nullptr;
};

// Runs --update on every named board at once; returns the exit status (0 every board updated,
// 1 any failed, 3 cancelled, 4 a named board not present). With a window, the rows, the warning,
// the questions and the summary are the window's; the terminal gets the summary too.
int RunBench(const Invocation& v, const std::vector<BenchTarget>& targets, std::ostream& out,
             const BenchHooks& hooks = {}, ui::layout::BenchWindow* window = nullptr);

} // namespace flashwell::cli
