// The program entry: chooses the machine (the real driver on Windows, simulated boards
// elsewhere or on request) and the face (a window where a display can be opened, the terminal
// otherwise), creates the main window and runs it.
#include "app/board_summary.h"
#include "app/main_form.h"
#include "app/run_log.h"
#include "app/session_ui.h"
#include "app/update_step_table.h"
#include "boarddata/images/images.h"
#include "device/adapter_usb.h"
#include "protocol/board_protocol.h"
#include "sim/scenario/scenario.h"
#include "sim/sim_world.h"
#include "ui/console/console_ui.h"
#ifdef FLASHWELL_HAVE_FLTK
#include "ui/fltk/fltk_ui.h"
#endif
#ifdef FLASHWELL_HAVE_WIN32_UI
#include "ui/win32/win32_ui.h"
#endif

#ifdef _WIN32
#include "platform/win32/win32_os_port.h"
#endif
#ifdef FLASHWELL_HAVE_USB
#include "platform/usb/usb_os_port.h"
#endif

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define STDOUT_FILENO 1
#else
#include <unistd.h>
#endif

using namespace flashwell;

namespace {

// Exit statuses, as --help lists them.
constexpr int kExitSuccess = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 3;
constexpr int kExitNoBoard = 4;
constexpr int kExitReplayDiverged = 5;

constexpr const char* kExitStatusHelp =
    "Exit status: 0 the update ended successfully (or nothing "
    "was asked of it), 1 the update ended with the error "
    "message, 2 a usage error, 3 cancelled by the user, 4 no "
    "board can be selected for --update, 5 a --replay left its session.";

struct Options {
    std::string time;
    bool update = false;
    bool yes = false;
    std::string revision;
    std::string steps;
    std::optional<int> board;
    std::string report;
    bool console = false;
    std::string dataDir;
    std::string log;
    std::string restore;
    bool listBackups = false;
    bool list = false;
    bool json = false;
    bool usb = false;
    std::string record;
    std::string replay;
};

// "virtual": no pacing; "real": one simulated second per second; "xN": N times faster, N a
// finite positive decimal number.
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

// Ticks exactly the listed step boxes.
void ApplySteps(app::TForm1& form, const std::vector<const app::UpdateStep*>& chosen) {
    for (const app::UpdateStep& step : app::kUpdateSteps)
        (form.*step.box).checked = false;
    for (const app::UpdateStep* step : chosen)
        (form.*step->box).checked = true;
}

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

int Usage(const std::string& message) {
    std::cerr << "flashwell: " << message << "\nTry 'flashwell --help'.\n";
    return kExitUsage;
}

std::string OutcomeName(app::RunOutcome outcome) {
    switch (outcome) {
    case app::RunOutcome::Succeeded:
        return "succeeded";
    case app::RunOutcome::Failed:
        return "failed";
    case app::RunOutcome::Cancelled:
        return "cancelled";
    case app::RunOutcome::NotRun:
        break;
    }
    return "not run";
}

// The result of --update for programs: how it ended, on which board, with which steps.
std::string RunJson(const app::TForm1& form, int status, const app::RunLog& log) {
    nlohmann::json steps = nlohmann::json::array();
    for (const app::UpdateStep& step : app::kUpdateSteps)
        if ((form.*step.box).checked) steps.push_back(std::string(step.name));
    nlohmann::json result{
        {"outcome", OutcomeName(form.LastOutcome)},
        {"exitStatus", status},
        {"board", form.SelectedBoardIndex()},
        {"steps", steps},
        {"log", log.Writing() ? nlohmann::json(log.Path().string()) : nlohmann::json(nullptr)}};
    return result.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

int StatusOf(app::RunOutcome outcome) {
    switch (outcome) {
    case app::RunOutcome::Succeeded:
        return kExitSuccess;
    case app::RunOutcome::Cancelled:
        return kExitCancelled;
    case app::RunOutcome::Failed:
    case app::RunOutcome::NotRun:
        break;
    }
    return kExitError;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App cli{"Flashwell: brings measurement boards up to the revision built into this tool."};
    cli.footer(kExitStatusHelp);
    cli.set_version_flag("--version", VersionText(), "Print the tool's version and its images");
    Options o;
    std::string simulate;
    auto* simulateOption =
        cli.add_option("--simulate", simulate,
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
    cli.add_option("--revision", o.revision, "Answer of the SubID dialog: 1.1, 1.2, 1.3 or cancel");
    cli.add_option("--steps", o.steps,
                   "Update steps to run: a comma list of " + app::StepNames() + ", or none");
    cli.add_option("--board", o.board, "Select board line N (0 to 3) after the scan");
    cli.add_option("--report", o.report,
                   "Write a JSON report on every simulated board when the program ends");
    cli.add_flag("--console", o.console, "Use the terminal even where a window could be shown");
    cli.add_option(
        "--data-dir", o.dataDir,
        "Folder for parameter-block backups (default: " + app::DefaultDataFolder().string() + ")");
    cli.add_option("--log", o.log,
                   "Append the run's log to this file (default: flashwell.log in the data "
                   "folder)");
    cli.add_option("--restore", o.restore,
                   "Write a saved parameter block (a file of --list-backups) back onto the board "
                   "of --board (default: the first board found), after asking");
    cli.add_flag("--list-backups", o.listBackups, "List the saved parameter blocks and exit");
#ifdef FLASHWELL_HAVE_USB
    cli.add_flag("--usb", o.usb,
                 "Reach real boards straight over USB (libusb) instead of simulating them");
#endif
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
        return cli.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return cli.exit(e);
    } catch (const CLI::ParseError& e) {
        return Usage(e.what());
    }

#ifdef _WIN32
    const bool simulated = simulateOption->count() > 0 && o.replay.empty();
#else
    // Without Windows there is no board driver: real boards only over USB, on request.
    const bool simulated = !o.usb && o.replay.empty();
    if (o.usb && (simulateOption->count() > 0 || !o.replay.empty()))
        return Usage("--usb cannot be given with --simulate or --replay");
#endif
    (void)simulateOption;

    sim::ClockOptions clock;
    clock.speedFactor = 1.0; // people watch in real time unless told otherwise
    if (!o.time.empty()) {
        const auto factor = ParseTime(o.time);
        if (!factor) return Usage("--time must be virtual, real or xN, not '" + o.time + "'");
        clock.speedFactor = *factor;
    }
    std::optional<int> revision;
    if (!o.revision.empty()) {
        revision = ParseRevision(o.revision);
        if (!revision) return Usage("--revision must be 1.1, 1.2, 1.3 or cancel");
    }
    if (o.board && (*o.board < 0 || *o.board > 3)) return Usage("--board must be 0 to 3");
    std::vector<const app::UpdateStep*> chosenSteps;
    if (!o.steps.empty()) {
        auto parsed = app::ParseStepList(o.steps);
        if (!parsed)
            return Usage("--steps takes a comma list of " + app::StepNames() + ", or none");
        chosenSteps = std::move(*parsed);
    }
    const std::filesystem::path dataFolder =
        o.dataDir.empty() ? app::DefaultDataFolder() : std::filesystem::path(o.dataDir);
    if (o.listBackups) {
        const app::BackupStore store(dataFolder, "");
        const auto copies = store.List();
        std::cout << "Parameter-block backups in " << store.Folder().string() << ": "
                  << copies.size() << "\n";
        for (const app::BlockBackup& copy : copies)
            std::cout << "  " << app::BackupSummaryLine(copy) << "\n";
        // Writes that did not finish: their boards' blocks are not whole, these copies are.
        for (const app::PendingWrite& w : store.PendingWrites())
            std::cout << "Unfinished write on " << w.serial << " (" << w.devicePath << ", "
                      << w.timeUtc << "): restore " << w.copy.string() << "\n";
        return kExitSuccess;
    }
    if (o.json && !o.list && !o.update) return Usage("--json goes with --list or --update");
    if (o.list && (o.update || !o.restore.empty()))
        return Usage("--list writes nothing: it cannot be combined with --update or --restore");
    // With --json, standard output carries the JSON alone.
    std::ostream& text = o.json ? std::cerr : std::cout;
    std::optional<app::BlockBackup> restore;
    if (!o.restore.empty()) {
        if (o.update) return Usage("--restore and --update cannot be given together");
        std::string error;
        restore = app::ReadBackupFile(o.restore, error);
        if (!restore) return Usage("--restore: " + error);
    }
    if (!o.report.empty() && !simulated) return Usage("--report needs simulated boards");
    if (!o.report.empty() && !FolderWritable(o.report))
        return Usage("--report: no file can be written in the folder of '" + o.report + "'");

    sim::Scenario scenario = sim::DefaultScenario();
    if (simulated && !simulate.empty()) {
        sim::ScenarioResult loaded = sim::LoadScenarioFile(simulate);
        if (!loaded.scenario) {
            std::cerr << "flashwell: " << loaded.error << '\n';
            return kExitUsage;
        }
        scenario = std::move(*loaded.scenario);
    }

    std::unique_ptr<sim::SimWorld> world;
    std::unique_ptr<platform::OsPort> nativeOs;
#ifdef FLASHWELL_HAVE_USB
    platform::usb::UsbOsPort* usbPort = nullptr;
#endif
    platform::OsPort* os = nullptr;
    if (simulated) {
        sim::WorldOptions options;
        options.clock = clock;
        world = std::make_unique<sim::SimWorld>(options);
        world->Recorder().SetEnabled(false);
        sim::ApplyScenario(*world, scenario);
        os = &world->Os();
    } else {
#ifdef _WIN32
        nativeOs = std::make_unique<platform::win32::Win32OsPort>();
        os = nativeOs.get();
#elif defined(FLASHWELL_HAVE_USB)
        std::string error;
        auto usbOs = platform::usb::UsbOsPort::Create(error);
        if (!usbOs) {
            std::cerr << "flashwell: " << error << "\n";
            return kExitError;
        }
        usbPort = usbOs.get();
        nativeOs = std::move(usbOs);
        os = nativeOs.get();
#endif
    }

    ui::ConsoleOptions consoleOptions;
    consoleOptions.yes = o.yes;
    consoleOptions.revision = revision;
    consoleOptions.interactive = isatty(STDOUT_FILENO) != 0;
    ui::ConsoleUi console(std::cin, text, consoleOptions);
    app::AppUi* face = &console;
#ifdef FLASHWELL_HAVE_FLTK
    std::unique_ptr<ui::FltkUi> window;
    if (!o.console && ui::FltkDisplayAvailable()) {
        ui::FltkOptions windowOptions;
        // Long enough to read the box, short enough for unattended runs.
        if (o.yes) windowOptions.autoAnswerAfter = 0.5;
        windowOptions.revision = revision;
        window = std::make_unique<ui::FltkUi>(windowOptions);
        face = window.get();
    }
#endif
#ifdef FLASHWELL_HAVE_WIN32_UI
    std::unique_ptr<ui::Win32Ui> window;
    if (!o.console && ui::Win32DisplayAvailable()) {
        ui::Win32Options windowOptions;
        // Long enough to read the box, short enough for unattended runs.
        if (o.yes) windowOptions.autoAnswerAfter = 0.5;
        windowOptions.revision = revision;
        window = std::make_unique<ui::Win32Ui>(windowOptions);
        face = window.get();
        ui::HideOwnConsole();
    }
#endif
    if (simulated)
        text << "Simulated boards: scenario \"" << scenario.name << "\", " << scenario.boards.size()
             << " board(s), clock "
             << (clock.speedFactor == 0 ? std::string("virtual")
                                        : "x" + std::to_string(clock.speedFactor))
             << "\n";

    // A session wraps the machine and the face chosen above: recording passes everything on,
    // replaying stands in for both.
    std::unique_ptr<platform::session::RecordingOsPort> recorder;
    std::unique_ptr<platform::session::ReplayOsPort> replay;
    std::optional<app::SessionAppUi> sessionFace;
    app::AppUi* programFace = face;
    if (!o.record.empty() || !o.replay.empty()) {
        std::string error;
        if (!o.replay.empty()) {
            replay = platform::session::ReplayOsPort::Load(o.replay, error);
            if (replay)
                replay->OnDivergence([](const std::string& message) {
                    std::cerr << "flashwell: " << message << '\n';
                });
            os = replay.get();
        } else {
            // The options go along: a replay needs the same ones.
            std::string origin = std::string("flashwell ") + FLASHWELL_VERSION +
                                 (simulated ? ", simulated boards;" : ", Windows driver;");
            for (int i = 1; i < argc; ++i)
                origin += std::string(" ") + argv[i];
            recorder = platform::session::RecordingOsPort::Create(*os, o.record, origin, error);
            os = recorder.get();
        }
        if (os == nullptr) {
            std::cerr << "flashwell: " << error << '\n';
            return kExitUsage;
        }
        sessionFace.emplace(*face, recorder.get(), replay.get(), std::cout);
        programFace = &*sessionFace;
    }
    const auto sessionStatus = [&](int status) {
        if (recorder && !recorder->Healthy())
            std::cerr << "flashwell: the session file '" << o.record
                      << "' could not be written to the end (disk full?); it ends early\n";
        if (!replay) return status;
        replay->CheckFinished();
        return replay->Diverged() ? kExitReplayDiverged : status;
    };

    const std::string tool = std::string("flashwell ") + FLASHWELL_VERSION;
    app::RunLog runLog(o.log.empty() ? dataFolder / "flashwell.log" : std::filesystem::path(o.log),
                       tool);
    const bool logFailedAtStart = !runLog.Writing();
    if (logFailedAtStart)
        std::cerr << "flashwell: the run's log cannot be written (" << runLog.Problem() << ")\n";
    runLog.Begin(!o.replay.empty() ? "replay of " + o.replay
                 : simulated       ? "simulated boards, scenario \"" + scenario.name + "\""
                 : o.usb           ? std::string("boards over USB")
                                   : std::string("boards through the board driver"));
    app::DebugToLog loggedOs(*os, runLog);
    app::LoggingUi loggedFace(*programFace, runLog);
    // Tells where the record of this run is, once the run is over.
    const auto showLog = [&] {
        if (runLog.Writing())
            text << "Log: " << runLog.Path().string() << "\n";
        else if (!logFailedAtStart)
            std::cerr << "flashwell: warning: the run's log is incomplete (" << runLog.Problem()
                      << ")\n";
    };

    device::BoardTable boards(loggedOs);
    protocol::BoardProtocol protocol(boards, loggedFace);
    app::BackupStore backups(dataFolder, tool);
    app::TForm1 form(app::Services{loggedOs, boards, protocol, loggedFace, backups});
    form.FormCreate();
#ifdef FLASHWELL_HAVE_USB
    // Devices that were there but could not be opened: say why, once, rather than "not present".
    if (usbPort != nullptr)
        for (const std::string& path : usbPort->AccessDenied())
            std::cerr << "flashwell: no permission to open " << path
                      << " (install packaging/60-flashwell.rules and join the plugdev group)\n";
#endif

    if (!o.steps.empty()) ApplySteps(form, chosenSteps);
    if (o.list) {
        const auto summaries = app::SummarizeBoards(form, boards, protocol);
        std::cout << (o.json ? app::SummaryJson(summaries) + "\n" : app::SummaryText(summaries));
        return sessionStatus(kExitSuccess);
    }
    if (restore) {
        // A board whose block is lost shows a line that cannot be selected for an update, but
        // it is the very board a restore is for.
        std::optional<int> target = o.board;
        for (int i = 0; i < 4 && !target; ++i)
            if (form.BoardPresent(i)) target = i;
        if (!target || !form.BoardPresent(*target)) {
            std::cerr << "flashwell: no board " << (o.board ? std::to_string(*o.board) + " " : "")
                      << "found to restore onto\n";
            return sessionStatus(kExitNoBoard);
        }
        form.SelectBoardLine(*target);
        if (face == &console) console.ShowBoardLines();
#if defined(FLASHWELL_HAVE_FLTK) || defined(FLASHWELL_HAVE_WIN32_UI)
        if (window) window->Sync();
#endif
        form.RestoreFlashData(*restore);
        showLog();
        return sessionStatus(StatusOf(form.LastOutcome));
    }
    if (o.board) {
        if (!form.RadioButtons[static_cast<std::size_t>(*o.board)]->enabled) {
            std::cerr << "flashwell: board line " << *o.board << " cannot be selected\n";
            return sessionStatus(o.update ? kExitNoBoard : kExitUsage);
        }
        form.SelectBoardLine(*o.board);
    }
    const bool anySelectable = std::any_of(form.RadioButtons.begin(), form.RadioButtons.end(),
                                           [](const app::Control* line) { return line->enabled; });
    if (o.update && !anySelectable) {
        std::cerr << "flashwell: no board can be selected for the update\n";
        return sessionStatus(kExitNoBoard);
    }

    int status = kExitSuccess;
#if defined(FLASHWELL_HAVE_FLTK) || defined(FLASHWELL_HAVE_WIN32_UI)
    if (window) {
        window->Sync();
        if (o.update) {
            // As in the terminal: one run, then the program ends with its outcome.
            window->Click(form.Button1);
            status = StatusOf(form.LastOutcome);
        } else {
            window->Run();
        }
    }
#endif
    if (face == &console) {
        if (o.update) {
            console.ShowBoardLines();
            form.Button1Click();
            status = StatusOf(form.LastOutcome);
        } else {
            console.RunCommandLoop();
        }
    }

    showLog();
    if (o.json && o.update) std::cout << RunJson(form, status, runLog) << "\n";
    if (!o.report.empty() && world) {
        std::string error;
        if (!sim::WriteBoardReport(*world, o.report, error)) {
            std::cerr << "flashwell: " << error << '\n';
            return sessionStatus(kExitError);
        }
    }
    return sessionStatus(status);
}
