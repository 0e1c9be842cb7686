// The flashwell program with --record and --replay, as a user runs it: a recorded update
// replays to the same log and status, a replay with other options stops with status 5 and
// says where, and the committed sessions replay.
#include "testkit/program_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using Outcome = flashwell::testing::ProgramOutcome;

class ProgramSession : public flashwell::testing::ProgramTest {
protected:
    Outcome Run(const std::string& args) {
        const std::string command = "XDG_DATA_HOME='" + (dir_ / "xdg").string() + "' '" +
                                    FLASHWELL_PROGRAM + "' --console --data-dir '" +
                                    (dir_ / "data").string() + "' " + args + " </dev/null 2>&1";
        return flashwell::testing::RunCommand(command);
    }

    std::string File(const std::string& name) const { return (dir_ / name).string(); }
};

// The log and progress lines: what is left without the boxes (shown differently when their
// answers come from the session) and the machine's banner.
std::vector<std::string> LogLines(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("+--", 0) == 0 || line.rfind("| ", 0) == 0 || line.rfind("> ", 0) == 0 ||
            line.rfind("Simulated boards:", 0) == 0)
            continue;
        lines.push_back(line);
    }
    return lines;
}

} // namespace

TEST_F(ProgramSession, RecordedUpdateReplaysToTheSameLogAndStatus) {
    const Outcome recorded =
        Run("--simulate --time virtual --update --yes --record '" + File("update.fws") + "'");
    ASSERT_EQ(recorded.status, 0) << recorded.output;
    EXPECT_LT(fs::file_size(File("update.fws")), 2u * 1024 * 1024);

    // No --yes: the answers come from the session, nobody is asked (standard input is empty).
    const Outcome replayed = Run("--update --replay '" + File("update.fws") + "'");
    EXPECT_EQ(replayed.status, recorded.status) << replayed.output;
    EXPECT_EQ(LogLines(replayed.output), LogLines(recorded.output));
    EXPECT_NE(replayed.output.find("Update successfully ended"), std::string::npos);
    EXPECT_EQ(replayed.output.find("replay stopped"), std::string::npos) << replayed.output;
}

TEST_F(ProgramSession, ReplayWithOtherStepsStopsWithStatusFive) {
    ASSERT_EQ(Run("--simulate --time virtual --update --yes --steps flash --record '" +
                  File("flash.fws") + "'")
                  .status,
              0);
    const Outcome o = Run("--update --steps rbf --replay '" + File("flash.fws") + "'");
    EXPECT_EQ(o.status, 5) << o.output;
    EXPECT_NE(o.output.find("flashwell: replay stopped at call "), std::string::npos) << o.output;
    // The first call of the RBF step is not the first call of the recorded parameter-block step.
    EXPECT_NE(o.output.find("the program's log had reached \"   Write RBF for USB Hardware"),
              std::string::npos)
        << o.output;
    EXPECT_NE(o.output.find("During the update process an error has occured!"), std::string::npos);
}

TEST_F(ProgramSession, UnreadableSessionIsAUsageError) {
    std::ofstream(File("junk.fws")) << "not a session";
    const Outcome o = Run("--replay '" + File("junk.fws") + "'");
    EXPECT_EQ(o.status, 2) << o.output;
    EXPECT_NE(o.output.find("not a session file"), std::string::npos) << o.output;
    EXPECT_EQ(Run("--record '" + File("no/such/folder/x.fws") + "'").status, 2);
    EXPECT_EQ(Run("--record a.fws --replay b.fws").status, 2);
}

// Recorded by the native Windows build under wine (scripts/cross): its port's way through
// SETUPAPI to an empty interface list, on every board line.
TEST_F(ProgramSession, NativeWindowsScanWithoutBoardReplays) {
    const Outcome o =
        Run(std::string("--replay '") + FLASHWELL_SESSION_DIR + "/wine-scan-no-board.fws'");
    EXPECT_EQ(o.status, 0) << o.output;
    for (int board = 0; board < 4; ++board)
        EXPECT_NE(o.output.find("Board " + std::to_string(board) + " not present"),
                  std::string::npos)
            << o.output;
    EXPECT_EQ(o.output.find("replay stopped"), std::string::npos) << o.output;
}
