#include "cli/program.h"

#include "platform/winusb/winusb_os_port.h"

#include "app/board_summary.h"
#include "app/history_recorder.h"
#include "app/main_form.h"
#include "app/run_log.h"
#include "cli/backend.h"
#include "cli/bench.h"
#include "cli/faces.h"
#include "cli/history_store.h"
#include "device/adapter_usb.h"
#include "protocol/board_protocol.h"
#include "sim/scenario/scenario.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

namespace flashwell::cli {

namespace {

int ListBackups(const Invocation& v) {
    const app::BackupStore store(v.dataFolder, "");
    const auto copies = store.List();
    std::cout << "Parameter-block backups in " << store.Folder().string() << ": " << copies.size()
              << "\n";
    for (const app::BlockBackup& copy : copies)
        std::cout << "  " << app::BackupSummaryLine(copy) << "\n";
    // Writes that did not finish: their boards' blocks are not whole, these copies are.
    for (const app::PendingWrite& w : store.PendingWrites())
        std::cout << "Unfinished write on " << w.serial << " (" << w.devicePath << ", " << w.timeUtc
                  << "): restore " << w.copy.string() << "\n";
    // Copies other computers saved, and unfinished writes they began.
    int status = kExitSuccess;
    const auto shared = OpenRunHistory(v, std::cerr, status);
    if (shared) {
        ListStoredCopies(*shared, store, std::cout);
        std::string error;
        for (const history::StoredWrite& w : shared->OpenWrites(error))
            std::cout << "Unfinished write on " << w.serial << " begun " << w.begunAt << " on "
                      << w.origin.computer << " (" << w.place << ")\n";
    }
    return status;
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

// What --update --json tells beyond the window's state, taken from the run's events.
struct RunFacts final : app::RunObserver {
    void OnRunEvent(const app::RunEvent& event) override {
        if (const auto* ended = std::get_if<app::StepEnded>(&event))
            stepResults.push_back({{"step", ended->step}, {"failed", ended->failed}});
        else if (const auto* saved = std::get_if<app::CopySaved>(&event))
            copy = saved->path.string();
        else if (const auto* refused = std::get_if<app::RunRefused>(&event))
            refusal = refused->why;
    }
    nlohmann::json stepResults = nlohmann::json::array();
    std::string copy, refusal;
};

// The result of --update for programs: how it ended, on which board, with which steps.
std::string RunJson(const app::TForm1& form, int status, const app::RunLog& log,
                    const RunFacts& facts) {
    nlohmann::json steps = nlohmann::json::array();
    for (const app::UpdateStep& step : app::kUpdateSteps)
        if (form.StepBox(step).checked) steps.push_back(std::string(step.name));
    const auto orNull = [](const std::string& text) {
        return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
    };
    nlohmann::json result{
        {"outcome", OutcomeName(form.LastOutcome)},
        {"exitStatus", status},
        {"board", form.SelectedBoardIndex()},
        {"steps", steps},
        {"stepResults", facts.stepResults},
        {"copy", orNull(facts.copy)},
        {"refused", orNull(facts.refusal)},
        {"log", log.Writing() ? nlohmann::json(log.Path().string()) : nlohmann::json(nullptr)}};
    return result.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A board whose block is lost shows a line that cannot be selected for an update, but it is
// the very board a restore is for.
int Restore(const Invocation& v, app::TForm1& form, Faces& faces) {
    std::optional<int> target = v.board;
    for (int i = 0; i < 4 && !target; ++i)
        if (form.BoardPresent(i)) target = i;
    if (!target || !form.BoardPresent(*target)) {
        std::cerr << "flashwell: no board " << (v.board ? std::to_string(*v.board) + " " : "")
                  << "found to restore onto\n";
        return kExitNoBoard;
    }
    form.SelectBoardLine(*target);
    faces.ShowSelection();
    form.RestoreFlashData(*v.restore);
    return StatusOf(form.LastOutcome);
}

// The copy --restore without a file writes: the one the scan named for the board (its block is
// not whole), else the newest the history (or this computer) has of its serial number.
std::optional<app::BlockBackup> NewestCopyOf(const Invocation& v, const app::TForm1& form,
                                             const app::BackupStore& backups) {
    const int line = v.board.value_or(0);
    const app::BoardFacts& board = form.Facts(line);
    if (!board.present) {
        std::cerr << "flashwell: no board " << line << " found to restore onto\n";
        return std::nullopt;
    }
    std::string error;
    if (board.copyToRestore)
        if (auto copy = app::ReadBackupFile(*board.copyToRestore, error)) return copy;
    if (!board.serial.empty()) {
        const auto copies = backups.List(board.serial);
        if (!copies.empty()) return copies.front();
    }
    std::cerr << "flashwell: no copy of board " << (board.serial.empty() ? "" : board.serial + " ")
              << "is in the history or on this computer: restore a file with --restore FILE\n";
    return std::nullopt;
}

// --board, and whether a board can be updated at all: the status to end with at once, if not.
std::optional<int> SelectBoard(const Invocation& v, app::TForm1& form) {
    if (v.board) {
        if (const app::BoardFacts& board = form.Facts(*v.board); !board.accepted) {
            std::cerr << "flashwell: board line " << *v.board << " cannot be selected";
            if (!board.refusal.empty()) std::cerr << ": " << board.refusal;
            std::cerr << "\n";
            return v.update ? kExitNoBoard : kExitUsage;
        }
        form.SelectBoardLine(*v.board);
    }
    bool anySelectable = false;
    for (int i = 0; i < 4; ++i)
        anySelectable = anySelectable || form.Facts(i).accepted;
    if (v.update && !anySelectable) {
        std::cerr << "flashwell: no board can be selected for the update\n";
        for (int i = 0; i < 4; ++i)
            if (const std::string& why = form.Facts(i).refusal; !why.empty())
                std::cerr << "flashwell: board " << i << ": " << why << "\n";
        return kExitNoBoard;
    }
    return std::nullopt;
}

} // namespace

int RunProgram(const Invocation& v) {
    if (v.listBackups) return ListBackups(v);
    if (v.historyOf) return PrintHistory(v);
    // With --json, standard output carries the JSON alone.
    std::ostream& text = v.json ? std::cerr : std::cout;
    int status = kExitSuccess;
    const std::unique_ptr<Backend> backend = Backend::Make(v, status);
    if (!backend) return status;
    // The report tells what the simulated boards hold whatever the program did to them, on
    // every way the program ends once they exist.
    const auto finish = [&](int result) {
        if (!v.report.empty() && backend->World() != nullptr) {
            std::string error;
            if (!sim::WriteBoardReport(*backend->World(), v.report, error)) {
                std::cerr << "flashwell: " << error << '\n';
                return backend->Finish(kExitError);
            }
        }
        return backend->Finish(result);
    };
    // No copy is made where the configured history cannot keep it: the run stops before the
    // scan, with one line saying why. A --list writes nothing and goes on without it.
    int historyStatus = kExitSuccess;
    std::ostringstream historyProblem;
    std::unique_ptr<history::History> history =
        OpenRunHistory(v, v.list ? historyProblem : std::cerr, historyStatus);
    if (historyStatus != kExitSuccess) {
        if (!v.list) return finish(historyStatus);
        std::cerr << historyProblem.str().substr(0, historyProblem.str().find('\n') + 1);
    }
    Faces faces(v, text);
    if (v.route == Route::Simulation) {
        // Written piece by piece: gcc 12 misreads "x" + std::to_string(...) at -O3.
        text << "Simulated boards: scenario \"" << v.scenario.name << "\", "
             << v.scenario.boards.size() << " board(s), clock ";
        if (v.clock.speedFactor == 0)
            text << "virtual\n";
        else
            text << 'x' << std::to_string(v.clock.speedFactor) << "\n";
    }
    // Named boards: a bench is updated side by side; listed, only the named boards are seen.
    std::set<std::string> places;
    if (v.Bench()) {
        const BenchResolution resolution = ResolveBench(v);
        if (!resolution.error.empty()) {
            std::cerr << "flashwell: " << resolution.error << "\n";
            return finish(kExitUsage);
        }
        if (v.update) {
            const std::unique_ptr<ui::layout::BenchWindow> window = faces.BenchWindow();
            return RunBench(v, resolution.targets, text, {}, window.get());
        }
        // A restore onto a board named by serial number or place: the only board in view.
        for (const BenchTarget& target : resolution.targets)
            places.insert(target.place);
    }
    // Over USB an empty bus is the usual first experience: say what to check, once.
    if (v.route == Route::Usb && v.list && !v.json && places.empty() &&
        ListDevicePaths(backend->Os()).empty() && backend->AccessDenied().empty()) {
        std::cout << "No board found over USB: check the cable and the power, that "
                     "packaging/60-flashwell.rules is installed, and that you are in the plugdev "
                     "group (then log in again).\n";
        return finish(kExitSuccess);
    }
    // WinUSB alone finds only boards bound to it: with none, say how a board gets bound.
    if (v.winUsbOnly && v.list && !v.json && places.empty() &&
        ListDevicePaths(backend->Os()).empty()) {
        std::cout << "No board bound to WinUSB found: install packaging/windows/"
                     "flashwell-winusb.inf for the board (pnputil /add-driver "
                     "flashwell-winusb.inf /install, as README says), then check that Device "
                     "Manager lists it under Universal Serial Bus devices.\n";
        return finish(kExitSuccess);
    }
    app::AppUi* programFace = backend->WrapSession(faces.Face(), status);
    if (programFace == nullptr) return finish(status);

    const std::string tool = std::string("flashwell ") + FLASHWELL_VERSION;
    app::RunLog runLog(v.logFile, tool);
    const bool logFailedAtStart = !runLog.Writing();
    if (logFailedAtStart)
        std::cerr << "flashwell: the run's log cannot be written (" << runLog.Problem() << ")\n";
    runLog.Begin(backend->Description());
    // Without names every board is seen; either way a board another program holds is noted.
    PlaceFilterOsPort seen(backend->Os(), places);
    app::DebugToLog loggedOs(seen, runLog);
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
    app::BackupStore backups(v.dataFolder, tool);
    backups.UseHistory(history.get());
    app::TForm1 form(app::Services{loggedOs, boards, protocol, loggedFace, backups});
    form.AcceptUnmarkedBlocks(v.acceptUnmarkedBlocks);
    std::optional<app::HistoryRecorder> recorder;
    if (history && !v.list) {
        recorder.emplace(*history, form, backups, backend->Description());
        form.Subscribe(*recorder);
    }
    const auto historyWarnings = [&] {
        if (recorder)
            for (const std::string& problem : recorder->Problems())
                std::cerr << "flashwell: warning: " << problem << "\n";
    };
    form.FormCreate();
    // A board reached otherwise than through the legacy driver says so in the log.
    for (int i = 0; i < 4; ++i)
        if (const device::TUSBAdapter* a = boards.Adapter(i);
            a != nullptr && form.BoardPresent(i) &&
            platform::winusb::WinUsbOsPort::IsWinUsbPath(a->DevicePathText())) {
            // Built piece by piece: gcc 12 at -O3 misreads a chain of + here.
            std::string line = "   Board ";
            line += std::to_string(i);
            line += " is reached through WinUSB";
            form.Note(line);
        }
    // The window has four lines; a bigger bench is there all the same, and the lines say so.
    // Only four boards on four lines leave room for more: otherwise no call is added to the
    // scan's (recorded sessions replay it call for call).
    int present = 0;
    for (int i = 0; i < 4; ++i)
        present += form.BoardPresent(i);
    if (places.empty() && present == 4) {
        int onRoute = 0;
        for (const std::string& path : ListDevicePaths(seen))
            onRoute += !path.empty();
        if (onRoute > present) {
            std::string line = "   ";
            line += std::to_string(onRoute - present);
            line += " more board(s) present than the four lines show - flashwell --list shows "
                    "them all, --all updates them side by side";
            form.Note(line);
        }
    }
    // Devices that were there but could not be opened: say why, once, rather than "not present".
    for (const std::string& path : backend->AccessDenied())
        std::cerr << "flashwell: no permission to open " << path
                  << " (install packaging/60-flashwell.rules and join the plugdev group)\n";

    if (v.stepsGiven) {
        for (const app::UpdateStep& step : app::kUpdateSteps)
            form.StepBox(step).checked = false;
        for (const app::UpdateStep* step : v.steps)
            form.StepBox(*step).checked = true;
    }
    if (v.list) {
        auto summaries = app::SummarizeBoards(form, boards, protocol);
        std::set<std::string> onLines;
        for (const app::BoardSummary& summary : summaries)
            if (summary.present) onLines.insert(PlaceOf(summary.place));
        CloseAll(boards);
        // Every board the route has, beyond the four lines too (unless names chose some).
        if (places.empty())
            for (app::BoardSummary& extra : BoardsBeyondLines(v, backend->Os(), onLines, true))
                summaries.push_back(std::move(extra));
        for (app::BoardSummary& summary : summaries) {
            summary.route = backend->RouteOf(summary.place);
            summary.devicePath = summary.place;
            if (!summary.place.empty()) summary.place = PlaceOf(summary.place);
        }
        std::cout << (v.json ? app::SummaryJson(summaries) + "\n" : app::SummaryText(summaries));
        for (const std::string& place : seen.InUsePlaces())
            text << "In use by another program, passed over: " << place << "\n";
        return finish(kExitSuccess);
    }
    if (v.restoreFromHistory) {
        std::optional<app::BlockBackup> copy = NewestCopyOf(v, form, backups);
        if (!copy) return finish(kExitNoBoard);
        Invocation withCopy = v;
        withCopy.restore = std::move(copy);
        status = Restore(withCopy, form, faces);
        historyWarnings();
        showLog();
        return finish(status);
    }
    if (v.restore) {
        status = Restore(v, form, faces);
        historyWarnings();
        if (status != kExitNoBoard) showLog();
        return finish(status);
    }
    if (const auto refused = SelectBoard(v, form)) return finish(*refused);
    RunFacts facts;
    form.Subscribe(facts);
    if (v.update) {
        faces.Update(form);
        status = StatusOf(form.LastOutcome);
        if (form.LastOutcome == app::RunOutcome::Cancelled)
            text << "Update cancelled - nothing was written\n";
    } else {
        faces.RunUntilClosed();
        // Quitting after a run ends with that run's status.
        if (form.LastOutcome != app::RunOutcome::NotRun) status = StatusOf(form.LastOutcome);
    }
    historyWarnings();
    showLog();
    if (v.json && v.update) std::cout << RunJson(form, status, runLog, facts) << "\n";
    return finish(status);
}

} // namespace flashwell::cli
