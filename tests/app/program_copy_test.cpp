// A copy of the program and its machine, made after the scan, runs the update as the original
// would, and only on its own machine: the device fuzzer starts most of its runs this way.
#include "sim/board_contents.h"
#include "sim/scenario/scenario.h"
#include "testkit/app_world.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace flashwell;
using namespace flashwell::testing;

namespace {

// The program's objects bound to a copy of another program's machine and state.
struct CopiedProgram {
    explicit CopiedProgram(AppWorld& from)
        : world(from.world), boards(from.boards, world.Os()), protocol(from.protocol, boards, ui),
          form(*from.form, app::Services{world.Os(), boards, protocol, ui, backups.store}) {}

    TempBackups backups;
    sim::SimWorld world;
    device::BoardTable boards;
    ScriptedAppUi ui;
    protocol::BoardProtocol protocol;
    app::TForm1 form;
};

// The log with the run's data folder named alike, so that two programs' logs compare.
std::vector<std::string> Lines(const app::TForm1& form, const TempBackups& backups) {
    const std::string folder = backups.folder.Path().string();
    std::vector<std::string> lines;
    for (std::string line : form.Memo1.lines) {
        for (auto at = line.find(folder); at != std::string::npos; at = line.find(folder))
            line.replace(at, folder.size(), "<data>");
        lines.push_back(line);
    }
    return lines;
}

TEST(ProgramCopy, RunsTheUpdateAsTheOriginalWouldOnItsOwnMachine) {
    AppWorld original;
    sim::ApplyScenario(original.world, sim::DefaultScenario());
    app::TForm1& form = original.Start();
    ASSERT_TRUE(form.Button1.enabled);
    const auto before = sim::Inspect(original.world.GetBoard(0));

    CopiedProgram copy(original);
    EXPECT_EQ(copy.form.Memo1.lines, form.Memo1.lines);
    EXPECT_TRUE(copy.form.BoardPresent(0));
    EXPECT_EQ(copy.form.RadioButtons[0], &copy.form.RadioButton1);

    // The copy's update works on its own board, whatever happens to the original's.
    original.world.Vanish(original.world.GetBoard(0));
    copy.form.Button1Click();
    ASSERT_FALSE(copy.ui.boxes.shown.empty());
    EXPECT_EQ(copy.ui.boxes.shown.back().text, app::kSuccessText);
    EXPECT_EQ(copy.form.LastOutcome, app::RunOutcome::Succeeded);
    original.world.Reattach(original.world.GetBoard(0));
    EXPECT_EQ(sim::Inspect(original.world.GetBoard(0)).ToString(), before.ToString());

    // The original, plugged in again, does exactly what its copy did.
    form.Button1Click();
    EXPECT_EQ(Lines(copy.form, copy.backups), Lines(form, original.backups));
    EXPECT_EQ(copy.ui.boxes.shown.size(), original.ui.boxes.shown.size());
    copy.world.PowerCycle(copy.world.GetBoard(0));
    original.world.PowerCycle(original.world.GetBoard(0));
    EXPECT_EQ(sim::Inspect(copy.world.GetBoard(0)).ToString(),
              sim::Inspect(original.world.GetBoard(0)).ToString());
}

} // namespace
