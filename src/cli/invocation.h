// The command line turned into one checked value: what to run, on which machine, with which
// face and options. Everything a user can get wrong is found here, before any board is touched.
#pragma once

#include "app/block_backup.h"
#include "app/update_step_table.h"
#include "sim/scenario/scenario.h"
#include "sim/virtual_clock.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace flashwell::cli {

// Exit statuses, as --help lists them.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCancelled = 3;
inline constexpr int kExitNoBoard = 4;
inline constexpr int kExitReplayDiverged = 5;

// Which machine the program talks to.
enum class Route {
    Simulation, // simulated Windows, driver and boards (the scenario below)
    Native,     // the real board driver (Windows)
    Usb,        // real boards over libusb
    Replay,     // a recorded session
};

struct Invocation {
    Route route = Route::Simulation;
    sim::Scenario scenario;  // for Route::Simulation
    sim::ClockOptions clock; // for Route::Simulation
    std::string record;      // session file to record into, if any
    std::string replay;      // session file, for Route::Replay
    // Windows (native or simulated) reaches boards bound to WinUSB besides those of the legacy
    // driver; with this, only them.
    bool winUsbOnly = false;

    bool console = false; // the terminal even where a window could be shown
    bool yes = false;
    // Blocks without a completion mark whose last cells read erased are taken as whole.
    bool acceptUnmarkedBlocks = false;
    std::optional<int> revision; // the SubID dialog's answer: 0, 1, 2, or -1 (cancel)
    bool stepsGiven = false;
    std::vector<const app::UpdateStep*> steps;
    std::optional<int> board;
    // A bench: boards named by line, serial number or place, or every selectable one.
    std::vector<std::string> boardNames;
    bool allBoards = false;
    bool Bench() const { return allBoards || !boardNames.empty(); }

    bool update = false;
    bool list = false;
    bool listBackups = false;
    bool json = false;
    std::optional<app::BlockBackup> restore;
    std::string report;

    // The board history: where (as --history-store gives it; empty: FLASHWELL_HISTORY, the
    // data folder's flashwell.conf, or SQLite in the data folder), and this computer's own for
    // this run when a shared one cannot be reached.
    std::string historyStore;
    bool localHistory = false;
    // --history [SERIAL]: print a board's runs and copies (every board's line when empty).
    std::optional<std::string> historyOf;
    // --restore without a file: the newest whole copy the history has of the named board.
    bool restoreFromHistory = false;

    std::filesystem::path dataFolder;
    std::filesystem::path logFile;
    // The options as given, for a session's record of how it was made.
    std::string arguments;
};

// Either the value, or the status to exit with at once (help, version, a usage error, which
// has been reported on standard error).
struct ParsedCommandLine {
    std::optional<Invocation> invocation;
    int exitStatus = kExitSuccess;
};

ParsedCommandLine ParseCommandLine(int argc, char** argv);

// "virtual": no pacing; "real": one simulated second per second; "xN": N times faster, N a
// finite positive decimal number.
std::optional<double> ParseTime(const std::string& text);
// "1.1", "1.2", "1.3" or "cancel" as the SubID dialog's choice.
std::optional<int> ParseRevision(const std::string& text);

} // namespace flashwell::cli
