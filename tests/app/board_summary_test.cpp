// --list: what each board holds and what an update would do, told without writing anything.
#include "app/board_summary.h"
#include "app/update_step_table.h"
#include "boarddata/images/images.h"
#include "sim/board_contents.h"
#include "sim/scenario/scenario.h"
#include "testkit/app_world.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace {

using namespace flashwell;

TEST(BoardSummary, TellsWhatTheBoardHoldsAndWritesNothing) {
    flashwell::testing::AppWorld w;
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.boards[0].subId = 1; // revision 1.1: no 32-bit counter mode, the 1.1 image
    sim::ApplyScenario(w.world, scenario);
    sim::Board& board = w.world.GetBoard(0);
    app::TForm1& form = w.Start();
    const std::size_t operationsAfterScan = board.FlashOperations().size();

    const auto boards = app::SummarizeBoards(form, w.boards, w.protocol);
    ASSERT_EQ(boards.size(), 4u);
    const app::BoardSummary& b = boards[0];
    EXPECT_TRUE(b.present && b.selectable && b.blockReadable);
    EXPECT_EQ(b.serial, "2004-K7A-1024-5-0312");
    EXPECT_EQ(b.hardwareRevision, "1.2");
    EXPECT_EQ(b.date, "12.05.2005");
    EXPECT_EQ(b.subId, 1);
    EXPECT_FALSE(b.counter32);
    EXPECT_EQ(b.firmwareVersion, "5.8.1");
    EXPECT_EQ(b.driverVersion, "6.2.17");
    ASSERT_EQ(b.plan.size(), app::kUpdateSteps.size());
    // A revision 1.1 board gets no counter-mode change, so its block is not rewritten.
    EXPECT_EQ(b.plan[0], "flash: leaves the parameter block as it is");
    EXPECT_NE(b.plan[1].find(images::RbfFileNameRev11), std::string::npos) << b.plan[1];
    EXPECT_FALSE(boards[1].present);

    // Only reads: no erase, no write, nothing saved.
    const auto& ops = board.FlashOperations();
    EXPECT_TRUE(std::all_of(
        ops.begin() + static_cast<long>(operationsAfterScan), ops.end(),
        [](const sim::FlashOperation& op) { return op.kind == sim::FlashOperation::Kind::Read; }));
    EXPECT_TRUE(w.backups.store.List().empty());

    // Unticked steps are not in the plan.
    form.CheckBox2.checked = false;
    EXPECT_EQ(app::SummarizeBoards(form, w.boards, w.protocol)[0].plan.size(),
              app::kUpdateSteps.size() - 1);

    const auto json = nlohmann::json::parse(app::SummaryJson(boards));
    EXPECT_EQ(json["boards"][0]["serialNumber"], "2004-K7A-1024-5-0312");
    EXPECT_EQ(json["boards"][0]["subId"], 1);
    EXPECT_EQ(json["boards"][1]["present"], false);
    const std::string text = app::SummaryText(boards);
    EXPECT_NE(text.find("Board 0: vexta/USB\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Board 3: not present\n"), std::string::npos) << text;
}

} // namespace
