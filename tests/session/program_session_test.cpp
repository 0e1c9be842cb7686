// The flashwell program with --record and --replay, as a user runs it: a recorded update
// replays to the same log and status, a replay with other options stops with status 5 and
// says where, and the committed sessions replay.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string output; // stdout and stderr together
};

class ProgramSession : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("flashwell-session-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    Outcome Run(const std::string& args) {
        const std::string command = "XDG_DATA_HOME='" + (dir_ / "xdg").string() + "' '" +
                                    FLASHWELL_PROGRAM + "' --console --data-dir '" +
                                    (dir_ / "data").string() + "' " + args + " </dev/null 2>&1";
        Outcome outcome;
        std::FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return outcome;
        std::array<char, 4096> chunk{};
        for (std::size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;)
            outcome.output.append(chunk.data(), n);
        const int raw = ::pclose(pipe);
        outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return outcome;
    }

    std::string File(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
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
