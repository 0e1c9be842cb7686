#include "cli/invocation.h"

#include "boarddata/images/images.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <iostream>

namespace flashwell::cli {

namespace {

constexpr const char* kExitStatusHelp =
    "Exit status: 0 the update ended successfully (or nothing "
    "was asked of it), 1 the update ended with the error "
    "message, 2 a usage error, 3 cancelled by the user, 4 no "
    "board can be selected for --update, 5 a --replay left its session.";

// The options as CLI11 fills them in, before they are checked.
struct RawOptions {
    std::string simulate;
    std::string time;
    bool update = false;
    bool yes = false;
    bool acceptUnmarked = false;
    std::string revision;
    std::string steps;
    std::vector<std::string> boards;
    bool all = false;
    std::string report;
    bool console = false;
    std::string dataDir;
    std::string log;
    std::string restore;
    std::string historyStore;
    bool localHistory = false;
    std::string history;
    bool listBackups = false;
    bool list = false;
    bool json = false;
    bool usb = false;
    bool winUsb = false;
    std::string record;
    std::string replay;
};

// Whether a file can be created in the folder that is to hold `path`: checked before any board
// is touched, so that a report cannot be lost at the end of a long run.
bool FolderWritable(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path folder = fs::path(path).parent_path();
    if (folder.empty()) folder = ".";
    if (!fs::is_directory(folder, ec)) return false;
    const fs::path probe = folder / ".flashwell-write-test";
    std::FILE* file = std::fopen(probe.string().c_str(), "wb");
    if (file == nullptr) return false;
    std::fclose(file);
    fs::remove(probe, ec);
    return true;
}

std::string VersionText() {
    return std::string("flashwell ") + FLASHWELL_VERSION + "\nImages: " + images::RbfFileNameRev11 +
           ", " + images::RbfFileNameRev12 + ", " + images::RbfFileNameRev13 +
           ", KPCI data, DSP boot program, DSP flash-access program, controller RAM firmware, "
           "EEPROM boot image";
}

ParsedCommandLine Usage(const std::string& message) {
    std::cerr << "flashwell: " << message << "\nTry 'flashwell --help'.\n";
    return {std::nullopt, kExitUsage};
}

} // namespace

std::optional<double> ParseTime(const std::string& text) {
    if (text == "virtual") return 0.0;
    if (text == "real") return 1.0;
    if (text.size() < 2 || text[0] != 'x') return std::nullopt;
    const std::string number = text.substr(1);
    // Only digits and one point: stod alone would take "inf", "nan", hex and exponents.
    if (number.find_first_not_of("0123456789.") != std::string::npos ||
        std::count(number.begin(), number.end(), '.') > 1 || number == ".")
        return std::nullopt;
    try {
        const double factor = std::stod(number);
        if (std::isfinite(factor) && factor > 0) return factor;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::optional<int> ParseRevision(const std::string& text) {
    if (text == "1.1") return 0;
    if (text == "1.2") return 1;
    if (text == "1.3") return 2;
    if (text == "cancel") return -1;
    return std::nullopt;
}

ParsedCommandLine ParseCommandLine(int argc, char** argv) {
    CLI::App cli{"Flashwell: brings measurement boards up to the revision built into this tool."};
    cli.footer(kExitStatusHelp);
    cli.set_version_flag("--version", VersionText(), "Print the tool's version and its images");
    RawOptions o;
    auto* simulateOption =
        cli.add_option("--simulate", o.simulate,
                       "Run against simulated boards, described by a scenario file (default: "
                       "the built-in scenario)")
            ->expected(0, 1);
    // The last one given counts: scripts/run sets its own pace, which a caller may override.
    cli.add_option("--time", o.time, "Simulated clock: virtual, real or xN (N times real time)")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    cli.add_flag("--update", o.update, "Click \"Update\" after the scan and exit after the run");
    cli.add_flag("--yes", o.yes,
                 "Answer every question with its first button (in the window: shown, then "
                 "clicked after half a second)");
    cli.add_flag("--accept-unmarked-block", o.acceptUnmarked,
                 "Take a parameter block that ends in erased cells but was written by an earlier "
                 "tool as whole (docs/parameter-block-safety.md)");
    cli.add_option("--revision", o.revision, "Answer of the SubID dialog: 1.1, 1.2, 1.3 or cancel");
    cli.add_option("--steps", o.steps,
                   "Update steps to run: a comma list of " + app::StepNames() + ", or none");
    cli.add_option("--board", o.boards,
                   "Select board line N (0 to 3) after the scan; or name a board by serial "
                   "number or place (see --list); given again, name a bench of boards");
    cli.add_flag("--all", o.all, "Name every board that can be selected as the bench");
    cli.add_option("--report", o.report,
                   "Write a JSON report on every simulated board when the program ends");
    cli.add_flag("--console", o.console, "Use the terminal even where a window could be shown");
    cli.add_option(
        "--data-dir", o.dataDir,
        "Folder for parameter-block backups (default: " + app::DefaultDataFolder().string() + ")");
    cli.add_option("--log", o.log,
                   "Append the run's log to this file (default: flashwell.log in the data "
                   "folder)");
    auto* restoreOption =
        cli.add_option("--restore", o.restore,
                       "Write a saved parameter block (a file of --list-backups) back onto the "
                       "board of --board (default: the first board found), after asking; without "
                       "a file, the newest whole copy the board history has of that board")
            ->expected(0, 1);
    cli.add_option("--history-store", o.historyStore,
                   "The board history: sqlite (the default, in the data folder), sqlite:FILE, "
                   "files (the copies' files only), or an ODBC connection string or DSN of a "
                   "department's server; also FLASHWELL_HISTORY, or \"history = ...\" in the "
                   "data folder's flashwell.conf");
    cli.add_flag("--local-history", o.localHistory,
                 "When the shared board history cannot be reached, keep this run's history on "
                 "this computer");
    auto* historyOption =
        cli.add_option("--history", o.history,
                       "Print a board's runs and copies (by serial number, or the board of "
                       "--board), or every board the history knows, and exit")
            ->expected(0, 1);
    cli.add_flag("--list-backups", o.listBackups, "List the saved parameter blocks and exit");
#ifdef FLASHWELL_HAVE_USB
    cli.add_flag("--usb", o.usb,
                 "Reach real boards straight over USB (libusb) instead of simulating them");
#endif
    cli.add_flag("--winusb", o.winUsb,
                 "Reach boards only through WinUSB (bound with packaging/windows/"
                 "flashwell-winusb.inf), not through the legacy board driver");
    cli.add_flag("--list", o.list,
                 "Scan, tell what every board holds and what an update would do to it, and exit "
                 "(nothing is written)");
    cli.add_flag("--json", o.json,
                 "With --list or --update: the result as JSON on standard output (the log goes "
                 "to standard error)");
    cli.add_option("--record", o.record,
                   "Write every call to Windows, and every answer to a question, to a session file")
        ->excludes(cli.add_option("--replay", o.replay,
                                  "Run against a recorded session instead of boards; the "
                                  "session answers the questions (see docs/sessions.md)"));
    try {
        cli.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return {std::nullopt, cli.exit(e)};
    } catch (const CLI::CallForVersion& e) {
        return {std::nullopt, cli.exit(e)};
    } catch (const CLI::ParseError& e) {
        return Usage(e.what());
    }

    Invocation v;
#ifdef _WIN32
    const bool simulated = simulateOption->count() > 0 && o.replay.empty();
    v.route = !o.replay.empty() ? Route::Replay : simulated ? Route::Simulation : Route::Native;
#else
    // Without Windows there is no board driver: real boards only over USB, on request.
    const bool simulated = !o.usb && o.replay.empty();
    if (o.usb && (simulateOption->count() > 0 || !o.replay.empty()))
        return Usage("--usb cannot be given with --simulate or --replay");
    v.route = !o.replay.empty() ? Route::Replay : o.usb ? Route::Usb : Route::Simulation;
#endif
    (void)simulateOption;
    if (o.winUsb && v.route != Route::Simulation && v.route != Route::Native)
        return Usage("--winusb cannot be given with --usb or --replay");
    v.winUsbOnly = o.winUsb;

    v.clock.speedFactor = 1.0; // people watch in real time unless told otherwise
    if (!o.time.empty()) {
        const auto factor = ParseTime(o.time);
        if (!factor) return Usage("--time must be virtual, real or xN, not '" + o.time + "'");
        v.clock.speedFactor = *factor;
    }
    if (!o.revision.empty()) {
        v.revision = ParseRevision(o.revision);
        if (!v.revision) return Usage("--revision must be 1.1, 1.2, 1.3 or cancel");
    }
    // One line number is the board line of the scan, as ever; anything else names a bench.
    const bool oneLine =
        o.boards.size() == 1 && !o.all && !o.boards[0].empty() && o.boards[0].size() <= 9 &&
        std::all_of(o.boards[0].begin() + (o.boards[0][0] == '-'), o.boards[0].end(),
                    [](unsigned char c) { return std::isdigit(c) != 0; }) &&
        o.boards[0] != "-";
    if (oneLine) {
        const int line = std::stoi(o.boards[0]);
        if (line < 0 || line > 3) return Usage("--board must be 0 to 3");
        v.board = line;
    } else {
        v.boardNames = o.boards;
        v.allBoards = o.all;
    }
    if (v.Bench()) {
        if (!o.record.empty() || !o.replay.empty())
            return Usage("a bench of boards cannot be recorded or replayed: name one board line");
        if (!o.update && !o.list && restoreOption->count() == 0)
            return Usage("a bench of boards (--all, a serial number, a place or several "
                         "--board) goes with --update or --list");
        if (restoreOption->count() > 0 && (o.all || o.boards.size() != 1))
            return Usage("--restore writes onto one board: name it with one --board");
    }
    if (!o.steps.empty()) {
        auto parsed = app::ParseStepList(o.steps);
        if (!parsed)
            return Usage("--steps takes a comma list of " + app::StepNames() + ", or none");
        v.steps = std::move(*parsed);
        v.stepsGiven = true;
    }
    v.dataFolder = o.dataDir.empty() ? app::DefaultDataFolder() : std::filesystem::path(o.dataDir);
    v.historyStore = o.historyStore;
    v.localHistory = o.localHistory;
    v.json = o.json;
    if (historyOption->count() > 0) {
        // A serial number given with --board names the board as well.
        v.historyOf = !o.history.empty()              ? o.history
                      : !o.boards.empty() && !v.board ? o.boards.front()
                                                      : std::string();
        if (v.board) return Usage("--history names a board by its serial number, not by a line");
        return {std::move(v), kExitSuccess};
    }
    // Listing the copies needs no machine: nothing after this concerns it.
    v.listBackups = o.listBackups;
    if (v.listBackups) return {std::move(v), kExitSuccess};

    if (o.json && !o.list && !o.update) return Usage("--json goes with --list or --update");
    if (o.list && (o.update || !o.restore.empty()))
        return Usage("--list writes nothing: it cannot be combined with --update or --restore");
    if (restoreOption->count() > 0 && o.restore.empty()) {
        if (o.update || o.list) return Usage("--restore cannot be given with --update or --list");
        if (!v.board && v.boardNames.size() != 1)
            return Usage("--restore without a file takes the history's copy of one board: name "
                         "it with --board");
        v.restoreFromHistory = true;
    }
    if (!o.restore.empty()) {
        if (o.update) return Usage("--restore and --update cannot be given together");
        std::string error;
        v.restore = app::ReadBackupFile(o.restore, error);
        if (!v.restore) return Usage("--restore: " + error);
    }
    if (!o.report.empty() && !simulated) return Usage("--report needs simulated boards");
    if (!o.report.empty() && std::filesystem::is_directory(o.report))
        return Usage("--report names a folder ('" + o.report + "'), not a file to write");
    if (!o.report.empty() && !FolderWritable(o.report))
        return Usage("--report: no file can be written in the folder of '" + o.report + "'");

    v.scenario = sim::DefaultScenario();
    if (simulated && !o.simulate.empty()) {
        sim::ScenarioResult loaded = sim::LoadScenarioFile(o.simulate);
        if (!loaded.scenario) {
            std::cerr << "flashwell: " << loaded.error << '\n';
            return {std::nullopt, kExitUsage};
        }
        v.scenario = std::move(*loaded.scenario);
    }

    v.update = o.update;
    v.list = o.list;
    v.json = o.json;
    v.yes = o.yes;
    v.acceptUnmarkedBlocks = o.acceptUnmarked;
    v.console = o.console;
    v.report = o.report;
    v.record = o.record;
    v.replay = o.replay;
    v.logFile = o.log.empty() ? v.dataFolder / "flashwell.log" : std::filesystem::path(o.log);
    for (int i = 1; i < argc; ++i)
        v.arguments += std::string(" ") + argv[i];
    return {std::move(v), kExitSuccess};
}

} // namespace flashwell::cli
