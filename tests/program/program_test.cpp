// Runs the flashwell binary with the console face against simulated boards in virtual time and
// checks what a caller relies on: the exit status, and the line that explains it.
#include "testkit/file_bytes.h"
#include "testkit/program_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

using Outcome = flashwell::testing::ProgramOutcome;

class Program : public flashwell::testing::ProgramTest {
protected:
    // Runs the program with these arguments (shell words) and the given standard input.
    Outcome Run(const std::string& args, const std::string& input = "",
                const std::string& runner = "") {
        const fs::path in = dir_ / "stdin";
        std::ofstream(in) << input;
        // Whatever the program keeps for the user goes to the test's folder, never the user's.
        // stderr joins the pipe first, so an argument may still send stdout to a file.
        const std::string command = "XDG_DATA_HOME='" + (dir_ / "xdg").string() + "' " + runner +
                                    "'" + FLASHWELL_PROGRAM + "' --console 2>&1 " + args + " <'" +
                                    in.string() + "'";
        return flashwell::testing::RunCommand(command);
    }

    std::string Scenario(const std::string& name, const std::string& json) {
        const fs::path file = dir_ / name;
        std::ofstream(file) << json;
        return file.string();
    }
};

constexpr const char* kUpdate = "--simulate --time virtual --update ";

TEST_F(Program, FullUpdateSucceedsWithStatusZero) {
    const Outcome o = Run(std::string(kUpdate) + "--yes");
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_NE(o.output.find("Update successfully ended"), std::string::npos);
    // The record of the run, in the data folder, named at the end.
    const fs::path log = dir_ / "xdg" / "flashwell" / "flashwell.log";
    EXPECT_NE(o.output.find("Log: " + log.string()), std::string::npos) << o.output;
    const std::string text = flashwell::testing::ReadAll(log);
    EXPECT_NE(text.find("=== flashwell " FLASHWELL_VERSION ": simulated boards"),
              std::string::npos);
    EXPECT_NE(text.find("  *** Update Firmware ***\n"), std::string::npos);
    EXPECT_NE(text.find("  debug: [ADAPTER0] protocol: "), std::string::npos);
    EXPECT_NE(text.find("  [box] Flashwell: Update successfully ended | "), std::string::npos);
}

TEST_F(Program, ErrorMessageGivesStatusOne) {
    // An EEPROM byte that never takes: the firmware step ends with the error message.
    const std::string file = Scenario(
        "never.json", R"({"boards": [{"eepromWeakBytes": [{"address": 100, "verifyAt": 0}]}]})");
    const Outcome o = Run("--simulate=" + file + " --time virtual --update --yes --steps firmware");
    EXPECT_EQ(o.status, 1) << o.output;
    EXPECT_NE(o.output.find("During the update process an error has occured!"), std::string::npos);
}

TEST_F(Program, CancelAtTheWarningGivesStatusThree) {
    const Outcome cancelled = Run(kUpdate, "cancel\n");
    EXPECT_EQ(cancelled.status, 3);
    EXPECT_NE(cancelled.output.find("Update cancelled - nothing was written"), std::string::npos);
    // End of input answers no question with OK.
    EXPECT_EQ(Run(kUpdate, "").status, 3);
}

TEST_F(Program, NoSelectableBoardGivesStatusFour) {
    // A name that matches no board is a usage error that lists what was found.
    const Outcome unknown = Run("--simulate --time virtual --update --yes --board 2099-X");
    EXPECT_EQ(unknown.status, 2) << unknown.output;
    EXPECT_NE(unknown.output.find("--board 2099-X matches no board; found: line 0"),
              std::string::npos)
        << unknown.output;
    const std::string none = Scenario("none.json", R"({"boards": []})");
    const Outcome o = Run("--simulate=" + none + " --time virtual --update --yes");
    EXPECT_EQ(o.status, 4) << o.output;
    EXPECT_NE(o.output.find("no board can be selected"), std::string::npos);

    const Outcome line = Run(std::string(kUpdate) + "--yes --board 2");
    EXPECT_EQ(line.status, 4) << line.output;
    EXPECT_NE(line.output.find("board line 2 cannot be selected"), std::string::npos);

    // A board of another product: refused with the product it names, and the report is there.
    const std::string junk =
        Scenario("junk.json", R"({"boards": [{"parameterBlock": {"productName": "junk"}}]})");
    const fs::path report = dir_ / "report.txt";
    const Outcome other =
        Run("--simulate=" + junk + " --time virtual --update --yes --report " + report.string());
    EXPECT_EQ(other.status, 4) << other.output;
    EXPECT_NE(other.output.find("board 0: its parameter block names the product \"junk\""),
              std::string::npos)
        << other.output;
    EXPECT_TRUE(fs::exists(report)) << "the report is written on this way out too";
    // "u" in the console on that line: one error box says why, nothing is written.
    const Outcome typed = Run("--simulate=" + junk + " --time virtual", "u\n\nq\n");
    EXPECT_EQ(typed.status, 1) << typed.output;
    EXPECT_NE(typed.output.find("Board 0 cannot be updated: its parameter block names the "
                                "product \"junk\""),
              std::string::npos)
        << typed.output;
    EXPECT_EQ(typed.output.find("WARNING!!!"), std::string::npos) << typed.output;
    EXPECT_EQ(typed.output.find("*** UpdateFlashData ***"), std::string::npos) << typed.output;
}

TEST_F(Program, UsageErrorsStopBeforeTheScan) {
    const fs::path big = dir_ / "big.json";
    {
        std::ofstream out(big);
        out << R"({"name": ")" << std::string(1024 * 1024, 'a') << R"(", "boards": []})";
    }
    const std::string bad = Scenario("bad.json", "{\"boards\": [ {\"subId\": \"x\"} ]}");
    const std::pair<std::string, std::string> cases[] = {
        {"--board 4", "--board must be 0 to 3"},
        {"--board -1", "--board must be 0 to 3"},
        {"--time xinf", "--time must be"},
        {"--time x0", "--time must be"},
        {"--time x-2", "--time must be"},
        {"--time x1e3", "--time must be"},
        {"--time fast", "--time must be"},
        {"--steps flash,bogus", "--steps takes"},
        {"--revision 2.0", "--revision must be"},
        {"--report /nonexistent-folder/report.json", "--report"},
        {"--report " + dir_.string(), "--report names a folder"},
        {"--simulate=" + Scenario("list.json", "[1]"), "top level: expected an object"},
        {"--simulate=/dev/zero", "not a regular file"},
        {"--simulate=" + (dir_ / "missing.json").string(), "no such file"},
        {"--simulate=" + big.string(), "larger than 1 MiB"},
        {"--simulate=" + bad, "boards[0].subId"},
        {"--no-such-option", "no-such-option"},
    };
    for (const auto& [args, says] : cases) {
        std::string words = "--update --yes " + args;
        if (args.find("--simulate") == std::string::npos) words += " --simulate";
        if (args.find("--time") == std::string::npos) words += " --time virtual";
        const Outcome o = Run(words);
        EXPECT_EQ(o.status, 2) << args << "\n" << o.output;
        EXPECT_NE(o.output.find(says), std::string::npos) << args << "\n" << o.output;
        // Nothing was scanned: no board line was ever printed.
        EXPECT_EQ(o.output.find("Found board"), std::string::npos) << args;
    }
}

// scripts/run passes its own pace first; a pace given after it counts.
TEST_F(Program, LastTimeGivenCounts) {
    const Outcome o = Run("--simulate --update --yes --steps boot --time x20 --time virtual");
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_NE(o.output.find("clock virtual"), std::string::npos) << o.output;
}

TEST_F(Program, StepsChooseWhatRuns) {
    const Outcome o = Run(std::string(kUpdate) + "--yes --steps boot");
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_NE(o.output.find("*** Update Bootprogram ***"), std::string::npos);
    EXPECT_EQ(o.output.find("*** UpdateRBF ***"), std::string::npos);
    EXPECT_EQ(o.output.find("*** Update KPCI ***"), std::string::npos);
}

// The restore as a technician uses it from the terminal: an update leaves a copy, the list
// shows it, and --restore puts it back after asking; a damaged copy is refused before the scan.
TEST_F(Program, BackupListAndRestoreEndToEnd) {
    const std::string data = "--data-dir '" + (dir_ / "data").string() + "' ";
    const Outcome update = Run(std::string(kUpdate) + "--yes " + data);
    ASSERT_EQ(update.status, 0) << update.output;

    const Outcome list = Run("--list-backups " + data);
    EXPECT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("Parameter-block backups in "), std::string::npos);
    EXPECT_NE(list.output.find(": 1\n"), std::string::npos) << list.output;
    std::string file;
    for (const auto& entry : fs::directory_iterator(dir_ / "data" / "backups"))
        file = entry.path().string();
    ASSERT_FALSE(file.empty());
    EXPECT_NE(list.output.find(file), std::string::npos);

    const std::string restore = "--simulate --time virtual " + data + "--restore '" + file + "' ";
    const Outcome declined = Run(restore, "cancel\n");
    EXPECT_EQ(declined.status, 3) << declined.output;
    EXPECT_NE(declined.output.find("Restore cancelled - nothing written"), std::string::npos);

    const Outcome done = Run(restore + "--board 0", "ok\nok\n");
    EXPECT_EQ(done.status, 0) << done.output;
    EXPECT_NE(done.output.find("The copy: serial 2004-K7A-1024-5-0312"), std::string::npos)
        << done.output;
    EXPECT_NE(done.output.find("Parameter block restored and verified"), std::string::npos);

    const Outcome noBoard = Run(restore + "--board 3 --yes");
    EXPECT_EQ(noBoard.status, 4) << noBoard.output;

    {
        std::fstream damage(file, std::ios::in | std::ios::out | std::ios::binary);
        damage.seekp(-10, std::ios::end);
        damage.put('\x5A');
    }
    const Outcome damaged = Run(restore + "--yes");
    EXPECT_EQ(damaged.status, 2) << damaged.output;
    EXPECT_NE(damaged.output.find("damaged"), std::string::npos) << damaged.output;
    EXPECT_EQ(damaged.output.find("Found board"), std::string::npos);
}

// --list and --json for programs: standard output is the JSON alone.
TEST_F(Program, ListAndJsonResults) {
    const Outcome list = Run("--simulate --time virtual --list");
    EXPECT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("  an update would:\n"), std::string::npos) << list.output;

    std::string json = "'";
    json += (dir_ / "out.json").string();
    json += '\'';
    EXPECT_EQ(Run("--simulate --time virtual --list --json >" + json).status, 0);
    const auto boards = nlohmann::json::parse(std::ifstream(dir_ / "out.json"));
    EXPECT_EQ(boards["boards"][0]["serialNumber"], "2004-K7A-1024-5-0312");
    EXPECT_EQ(boards["boards"].size(), 4u);

    EXPECT_EQ(Run(std::string(kUpdate) + "--yes --steps boot --json >" + json).status, 0);
    const auto result = nlohmann::json::parse(std::ifstream(dir_ / "out.json"));
    EXPECT_EQ(result["outcome"], "succeeded");
    EXPECT_EQ(result["exitStatus"], 0);
    EXPECT_EQ(result["steps"], nlohmann::json::array({"boot"}));

    EXPECT_EQ(Run("--simulate --json").status, 2);
    EXPECT_EQ(Run("--simulate --list --update").status, 2);
}

TEST_F(Program, VersionAndHelp) {
    const Outcome version = Run("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.output.find("flashwell "), std::string::npos);
    EXPECT_NE(version.output.find("usbvexta_21_05_2008_08_11_2016.rbf"), std::string::npos);
    const Outcome help = Run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("3 cancelled by the user"), std::string::npos);
}

} // namespace

#ifdef FLASHWELL_FAULT_POINTS
// The computer fails instead of the board: the real binary under libfiu's fiu-run, one fault
// point of its file writes at a time. No erase may follow a copy that is not whole, synced and
// read back; the run says which file and why, ends with status 1 and leaves no partial copy.
// A failing run log costs one warning.
TEST_F(Program, DiskFaultsNeverLetAnEraseGoAhead) {
    struct Case {
        const char* point;
        const char* said; // in the line that names the file
        int status;
    };
    const Case cases[] = {
        {"disk/copy/create,failnum=28", ".fwblock.tmp: No space left on device", 1},
        {"disk/copy/create,failnum=30", ".fwblock.tmp: Read-only file system", 1},
        {"disk/copy/write,failnum=28", ".fwblock.tmp: No space left on device", 1},
        {"disk/copy/fsync,failnum=5", ".fwblock.tmp: Input/output error", 1},
        {"disk/copy/rename,failnum=5", "cannot rename ", 1},
        {"disk/copy/dirsync,failnum=5", "cannot flush the folder of ", 1},
        {"disk/copy/corrupt-read", ".fwblock: damaged (CRC-32 ", 1},
        {"disk/record/create,failnum=28", ".fwwriting.tmp: No space left on device", 1},
        {"disk/record/fsync,failnum=5", ".fwwriting.tmp: Input/output error", 1},
        {"kill/copy/fsync", "", 137},
        {"kill/copy/rename", "", 137},
        {"kill/record/rename", "", 137},
        {"disk/log/write,failnum=28", "flashwell: warning: the run's log is incomplete (", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.point);
        fs::remove_all(dir_ / "xdg");
        // The sanitizers' runtime wants to be loaded first; libfiu's preload comes before it.
        const Outcome o =
            Run(std::string(kUpdate) + "--yes --steps flash", "",
                std::string("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 fiu-run -f '' "
                            "-c 'enable name=flashwell/") +
                    c.point + "' ");
        if (c.status == 137) {
            EXPECT_TRUE(o.status == 137 || o.status == -1) << o.output; // killed
        } else {
            EXPECT_EQ(o.status, c.status) << o.output;
        }
        if (*c.said != '\0') {
            EXPECT_NE(o.output.find(c.said), std::string::npos) << o.output;
        }
        if (c.status == 1) {
            EXPECT_NE(o.output.find("   Parameter block could not be saved - nothing written: "),
                      std::string::npos);
        }
        // Whatever is left, nothing that passes for a good copy unless it is one.
        const Outcome listed = Run("--list-backups");
        const bool copyWritten = std::string(c.point).find("record") != std::string::npos ||
                                 std::string(c.point).find("log") != std::string::npos;
        EXPECT_NE(listed.output.find(copyWritten ? ": 1\n" : ": 0\n"), std::string::npos)
            << listed.output;
        // The board is whole: the next run updates it.
        const Outcome next = Run(std::string(kUpdate) + "--yes --steps flash");
        EXPECT_EQ(next.status, 0) << next.output;
    }
}
#endif

TEST_F(Program, TheBoardHistoryKeepsRunsAndCopiesAndAStoreThatFailsStopsTheRun) {
    // After an update, the history tells the board's run and the copy it saved.
    ASSERT_EQ(Run(std::string(kUpdate) + "--yes").status, 0);
    const Outcome shown = Run("--history 2004-K7A-1024-5-0312 --json");
    ASSERT_EQ(shown.status, 0) << shown.output;
    const auto json = nlohmann::json::parse(shown.output.substr(shown.output.find('{')));
    ASSERT_EQ(json["runs"].size(), 1u) << shown.output;
    EXPECT_EQ(json["runs"][0]["result"], "succeeded");
    EXPECT_EQ(json["runs"][0]["outcomes"], "flash=ok,rbf=ok,kpci=ok,boot=ok,firmware=ok");
    ASSERT_EQ(json["copies"].size(), 1u);
    EXPECT_EQ(json["runs"][0]["copy"], json["copies"][0]["id"]);
    const Outcome boards = Run("--history");
    EXPECT_NE(boards.output.find("2004-K7A-1024-5-0312  vexta/USB  revision 1.2"),
              std::string::npos)
        << boards.output;

    // A folder an earlier version filled (copies as files only) joins the history once.
    const std::string older = "--data-dir '" + (dir_ / "older").string() + "' ";
    ASSERT_EQ(
        Run(std::string(kUpdate) + "--yes --steps flash --history-store files " + older).status, 0);
    for (int time = 0; time < 2; ++time) {
        const Outcome imported = Run("--history 2004-K7A-1024-5-0312 --json " + older);
        const auto j = nlohmann::json::parse(imported.output.substr(imported.output.find('{')));
        EXPECT_EQ(j["copies"].size(), 1u) << imported.output;
        EXPECT_EQ(j["runs"].size(), 0u);
    }

    // A store that cannot be used: one line naming it, nothing written, no password shown.
    const std::string damaged = (dir_ / "damaged.sqlite").string();
    std::ofstream(damaged) << std::string(4096, 'x');
    const std::string unreachable =
        "'Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Uid=u;Pwd=hunter2'";
    struct Case {
        std::string store, extra, says;
        int status;
    };
    for (const Case& c : std::vector<Case>{
             {"sqlite:" + damaged, "", damaged, 1},
             {unreachable, "", "the shared history (Driver={PostgreSQL Unicode};Server=127.0.0.1",
              1},
             {unreachable, "--local-history", "this run keeps its history on this computer", 0},
         }) {
        SCOPED_TRACE(c.store + " " + c.extra);
        const fs::path data = dir_ / ("data-" + std::to_string(c.status) + c.extra);
        const Outcome o = Run(std::string(kUpdate) + "--yes --data-dir '" + data.string() +
                              "' --history-store " + c.store + " " + c.extra);
        EXPECT_EQ(o.status, c.status) << o.output;
        EXPECT_NE(o.output.find(c.says), std::string::npos) << o.output;
        EXPECT_EQ(o.output.find("hunter2"), std::string::npos) << o.output;
        EXPECT_EQ(fs::exists(data / "backups"), c.status == 0) << "a copy only where it ran";
    }
    // A full disk under the SQLite file: its every write fails as the system's would.
    const Outcome full = Run(
        std::string(kUpdate) + "--yes --steps flash --data-dir '" + (dir_ / "full").string() + "'",
        "",
        "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 fiu-run -x -f '' -c 'enable "
        "name=posix/io/rw/pwrite,failinfo=28' ");
    EXPECT_EQ(full.status, 1) << full.output;
    EXPECT_NE(full.output.find("history.sqlite: database or disk is full"), std::string::npos)
        << full.output;
    EXPECT_FALSE(fs::exists(dir_ / "full" / "backups"));
}
