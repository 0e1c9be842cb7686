// The run's record on the disk: every line with its time, debug lines marked, message boxes
// with their answers, appended run after run.
#include "app/run_log.h"
#include "testkit/fake_ui.h"
#include "testkit/file_bytes.h"
#include "testkit/temp_data_folder.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace flashwell;
using flashwell::testing::ReadAll;

TEST(RunLog, LinesBoxesAndDebugLinesAreAppendedWithTheirTime) {
    flashwell::testing::TempDataFolder dir;
    const auto file = dir.Path() / "sub" / "flashwell.log";
    {
        app::RunLog log(file, "flashwell 9.9", [] { return std::string("2026-12-09 12:00:00"); });
        ASSERT_TRUE(log.Writing()) << log.Problem();
        log.Begin("simulated boards");
        flashwell::testing::QuietAppUi face;
        app::LoggingUi ui(face, log);
        ui.LogAppended("*** UpdateRBF ***");
        face.boxes.answers.push_back(platform::MessageAnswer::Cancel);
        ui.ShowMessage(platform::MessageKind::Warning, "Warning", "first\r\nsecond",
                       platform::MessageButtons::OkCancel);
        log.Debug("Fehler beim Lesen\n");
        EXPECT_EQ(face.lines, std::vector<std::string>{"*** UpdateRBF ***"}) << "passed on";
    }
    {
        app::RunLog again(file, "flashwell 9.9", [] { return std::string("2026-12-09 13:00:00"); });
        again.Begin("second start");
    }
    EXPECT_EQ(ReadAll(file), "2026-12-09 12:00:00  === flashwell 9.9: simulated boards ===\n"
                             "2026-12-09 12:00:00  *** UpdateRBF ***\n"
                             "2026-12-09 12:00:00  [box] Warning: first | second\n"
                             "2026-12-09 12:00:00  [box] answered Cancel\n"
                             "2026-12-09 12:00:00  debug: Fehler beim Lesen\n"
                             "2026-12-09 13:00:00  === flashwell 9.9: second start ===\n");
}

TEST(RunLog, UnwritableFileIsOneProblemNotAFailure) {
    flashwell::testing::TempDataFolder dir;
    std::ofstream(dir.Path() / "blocker") << "a file, not a folder";
    app::RunLog log(dir.Path() / "blocker" / "flashwell.log", "flashwell");
    EXPECT_FALSE(log.Writing());
    EXPECT_NE(log.Problem().find("blocker"), std::string::npos);
    log.Line("goes nowhere, harms nothing");
}

} // namespace
