// The bench in its window: the four simulated boards of scenarios/bench-4.json on the virtual
// clock, the warning and the SubID question answered as a person would, a picture while the
// boards are written and one of the summary, and a board's log one click away.
#include "cli/bench.h"
#include "screenshot.h"
#include "sim/scenario/scenario.h"
#include "testkit/temp_data_folder.h"
#include "ui/fltk/fltk_bench_window.h"
#include "ui/fltk/fltk_ui.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ui/fltk/fl_headers.h"

using namespace flashwell;
using ui::layout::BenchColumn;

namespace {

cli::Invocation BenchInvocation(const sim::Scenario& scenario, const std::filesystem::path& data) {
    cli::Invocation v;
    v.scenario = scenario;
    v.clock.speedFactor = 0;
    v.update = true;
    v.allBoards = true;
    v.dataFolder = data;
    v.logFile = data / "flashwell.log";
    return v;
}

// The lanes wait in their run until the window has been pictured with every board under way.
struct Pause {
    std::mutex mutex;
    std::condition_variable released;
    bool pictured = false;
};

} // namespace

TEST(BenchWindow, FourBoardsSideBySideEachInItsRowToTheSummary) {
    if (!ui::FltkDisplayAvailable()) GTEST_SKIP() << "no X display (and no Xvfb) here";
    const sim::ScenarioResult loaded =
        sim::LoadScenarioFile(FLASHWELL_SCENARIO_DIR "/bench-4.json");
    ASSERT_TRUE(loaded.scenario) << loaded.error;
    flashwell::testing::TempDataFolder folder;
    const cli::Invocation v = BenchInvocation(*loaded.scenario, folder.Path());
    const cli::BenchResolution resolved = cli::ResolveBench(v);
    ASSERT_EQ(resolved.error, "");
    ASSERT_EQ(resolved.targets.size(), 4u);

    ui::FltkUi face;
    std::vector<std::string> boxes;
    face.onMessageShown = [&](ui::FltkMessageView& box) {
        boxes.push_back(box.title);
        box.buttons.front()->do_callback(); // OK
    };
    std::vector<std::string> dialogCaptions;
    face.onSubIdDialogShown = [&](ui::FltkSubIdView& dialog) {
        dialogCaptions.emplace_back(dialog.window->label());
        dialog.revisions[1]->do_callback(); // revision 1.2
        dialog.accept->do_callback();
    };
    ui::FltkBenchWindow window(face);

    Pause pause;
    cli::BenchHooks hooks;
    hooks.pump = [&](cli::BenchLane& lane) {
        if (lane.stepPercent == 0) return;
        std::unique_lock<std::mutex> lock(pause.mutex);
        pause.released.wait(lock, [&] { return pause.pictured; });
    };
    std::string during;
    window.onPass = [&](ui::FltkBenchWindow& w) {
        if (pause.pictured) return;
        for (std::size_t r = 0; r < 4; ++r)
            if (w.Text(r, BenchColumn::Step).empty() || w.Text(r, BenchColumn::Gauge) == "0%")
                return;
        EXPECT_EQ(w.StateLineText(), "4 of 4 boards running");
        EXPECT_FALSE(w.CloseButton()->active()) << "no closing while boards are written";
        during = flashwell::testing::SavePng(ui::CaptureWindow(*w.Window()), "bench-window-during");
        {
            const std::lock_guard<std::mutex> lock(pause.mutex);
            pause.pictured = true;
        }
        pause.released.notify_all();
    };
    bool summaryShown = false;
    std::string after, log;
    window.onSummaryShown = [&](ui::FltkBenchWindow& w) {
        summaryShown = true;
        for (std::size_t r = 0; r < 4; ++r) {
            SCOPED_TRACE("row " + std::to_string(r));
            EXPECT_EQ(w.Text(r, BenchColumn::Place), resolved.targets[r].place);
            EXPECT_EQ(w.Text(r, BenchColumn::Serial), resolved.targets[r].serial);
            EXPECT_EQ(w.Text(r, BenchColumn::Result), "updated");
            EXPECT_EQ(w.Text(r, BenchColumn::Gauge), "100%");
            EXPECT_TRUE(w.LogButton(r)->active());
        }
        EXPECT_EQ(w.StateLineText(), "4 of 4 boards updated");
        after = flashwell::testing::SavePng(ui::CaptureWindow(*w.Window()), "bench-window-after");
        // A board's log, one click away.
        w.LogButton(2)->do_callback();
        ASSERT_NE(w.LogWindow(), nullptr);
        EXPECT_TRUE(w.LogWindow()->shown());
        EXPECT_NE(std::string(w.LogWindow()->label()).find(resolved.targets[2].place),
                  std::string::npos);
        EXPECT_NE(w.LogText().find(resolved.targets[2].Name()), std::string::npos);
        log = flashwell::testing::SavePng(ui::CaptureWindow(*w.LogWindow()), "bench-window-log");
        w.CloseButton()->do_callback();
    };

    std::ostringstream out;
    const int status = cli::RunBench(v, resolved.targets, out, hooks, &window);
    EXPECT_EQ(status, cli::kExitSuccess) << out.str();
    EXPECT_TRUE(summaryShown);
    EXPECT_TRUE(pause.pictured);
    // The warning once, before anything is written; then one board's question of its flash's
    // type and one board's SubID question, each naming its board.
    const auto namesABoard = [&](const std::string& caption) {
        for (const cli::BenchTarget& t : resolved.targets)
            if (caption.find(t.serial + " at " + t.place) != std::string::npos) return true;
        return false;
    };
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], "Warning");
    EXPECT_TRUE(namesABoard(boxes[1])) << boxes[1];
    ASSERT_EQ(dialogCaptions.size(), 1u);
    EXPECT_TRUE(namesABoard(dialogCaptions[0])) << dialogCaptions[0];
    EXPECT_FALSE(during.empty());
    EXPECT_FALSE(after.empty());
    EXPECT_FALSE(log.empty());
}
