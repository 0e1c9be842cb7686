#include "testkit/fault_sweep.h"

#include "sim/board_contents.h"
#include "sim/scenario/scenario.h"
#include "testkit/app_world.h"
#include "testkit/board_judge.h"
#include "testkit/temp_data_folder.h"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <variant>

namespace flashwell::sweep {

namespace {

using testing::AppWorld;
using testing::HostRoute;
using testing::MakeHostRoute;

constexpr std::size_t kBulkThreshold = 40;

struct CleanRun {
    std::vector<std::string> signatures; // one per request, in order
    std::uint64_t answerWords = 0;
    boarddata::FlashDataBlock intendedBlock{};
};

// What kind of request this is, coarse enough that the thousands of word packets of a flash
// block or the EEPROM byte packets share one signature.
std::string Signature(const sim::TrafficEvent& e) {
    std::ostringstream s;
    s << std::hex << e.code;
    if (e.code == 0x222051 && !e.output.empty())
        s << ":w" << int(e.output[0]) << ":" << std::dec << e.output.size();
    if (e.code == 0x22204E) s << ":r" << std::dec << e.bytesReturned;
    return s.str();
}

std::unique_ptr<AppWorld> MakeWorld(bool record, HostRoute route) {
    auto w = std::make_unique<AppWorld>(sim::WorldOptions{}, route);
    w->world.Recorder().SetEnabled(record);
    sim::Scenario scenario = sim::DefaultScenario();
    if (route == HostRoute::WinUsb) scenario.boards.at(0).driver = "winusb";
    sim::ApplyScenario(w->world, scenario);
    return w;
}

CleanRun RecordCleanRun(HostRoute route) {
    CleanRun clean;
    auto w = MakeWorld(true, route);
    sim::Board& board = w->world.GetBoard(0);
    const std::uint64_t wordsBefore = board.Dsp().HostReadCount();
    // On WinUSB a request is a transfer, known by the driver request it stands for.
    std::vector<std::string> transfers;
    if (route == HostRoute::WinUsb)
        w->world.Windows().SetIoControlObserver([&](std::uint64_t, platform::DWORD code) {
            std::ostringstream s;
            s << std::hex << code;
            transfers.push_back(s.str());
        });
    w->Start().Button1Click();
    w->world.Windows().SetIoControlObserver(nullptr);
    clean.answerWords = board.Dsp().HostReadCount() - wordsBefore;
    for (const auto& e : w->world.Recorder().OfKind(sim::EventKind::IoControl))
        clean.signatures.push_back(Signature(e));
    if (route == HostRoute::WinUsb) clean.signatures = std::move(transfers);
    w->world.PowerCycle(board);
    clean.intendedBlock = sim::Inspect(board).parameterBlock;
    return clean;
}

std::string CurrentStep(const AppWorld& w) {
    if (!w.form) return "scan";
    const auto& lines = w.form->Memo1.lines;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (it->rfind("***", 0) == 0) return *it;
    return "scan";
}

// Strikes the board with a request fault; true when the board was pulled.
bool Strike(FaultKind kind, sim::SimWorld& world, sim::Board& board) {
    switch (kind) {
    case FaultKind::Vanish1167:
        board.MutableConfig().winUsbGoneError = platform::kErrorDeviceNotConnected;
        world.Vanish(board, platform::kErrorDeviceNotConnected);
        return true;
    case FaultKind::Vanish31:
        board.MutableConfig().winUsbGoneError = platform::kErrorGenFailure;
        world.Vanish(board, platform::kErrorGenFailure);
        return true;
    case FaultKind::Refused87:
        board.AddFault({sim::FaultRule::kAnyCode, 0, platform::kErrorInvalidParameter, true});
        return false;
    case FaultKind::Busy170:
        board.AddFault({sim::FaultRule::kAnyCode, 0, platform::kErrorBusy, true});
        return false;
    case FaultKind::FailureWordAnswer:
        break;
    }
    return false;
}

// The tool started afresh on the same machine, with the same data folder: what a technician
// gets after plugging the board in again.
struct FreshProgram {
    explicit FreshProgram(AppWorld& w) : FreshProgram(w, w.backups.store) {}
    // On another computer: a data folder of its own.
    FreshProgram(AppWorld& w, app::BackupStore& backups)
        : world(w), store(backups), route(MakeHostRoute(w.world, w.route)),
          os(route ? *route : w.world.Os()), boards(os), protocol(boards, ui) {}
    app::TForm1& Start() {
        form = std::make_unique<app::TForm1>(app::Services{os, boards, protocol, ui, store});
        form->FormCreate();
        return *form;
    }
    AppWorld& world;
    app::BackupStore& store;
    std::unique_ptr<platform::OsPort> route;
    platform::OsPort& os;
    device::BoardTable boards;
    testing::ScriptedAppUi ui;
    protocol::BoardProtocol protocol;
    std::unique_ptr<app::TForm1> form;
};

// The copy the program's own lines tell the technician to restore, if they name one.
std::optional<std::string> NamedCopy(const std::vector<std::string>& log) {
    const std::string prefix = "   Restore it with: flashwell --restore \"";
    for (auto it = log.rbegin(); it != log.rend(); ++it) {
        if (it->rfind(prefix, 0) != 0) continue;
        const std::size_t end = it->find('"', prefix.size());
        if (end != std::string::npos) return it->substr(prefix.size(), end - prefix.size());
    }
    return std::nullopt;
}

std::string LastLines(const std::vector<std::string>& log, std::size_t n) {
    std::string text;
    for (std::size_t i = log.size() > n ? log.size() - n : 0; i < log.size(); ++i)
        text += " | " + log[i];
    return text;
}

struct Rerun {
    Recovery recovery = Recovery::Bricked;
    std::string why;
};

// After a power cycle: start the tool, scan, and do what its lines say (restore the copy they
// name, then update; otherwise update). `strike`, when set, faults the update of this run.
Rerun FollowTheProgram(AppWorld& w, sim::Board& board, const boarddata::FlashDataBlock& intended,
                       const std::function<void()>& arm = {}) {
    Rerun out;
    auto program = std::make_unique<FreshProgram>(w);
    app::TForm1* form = &program->Start();
    bool restored = false;
    if (const auto copy = NamedCopy(form->Memo1.lines)) {
        form->RestoreFromFile(*copy);
        if (form->LastOutcome != app::RunOutcome::Succeeded) {
            out.why = "the restore the program asked for failed:" + LastLines(form->Memo1.lines, 4);
            return out;
        }
        restored = true;
        // "Please disconnect the device and connect it again."
        w.world.PowerCycle(board);
        program = std::make_unique<FreshProgram>(w);
        form = &program->Start();
    }
    if (!form->BoardPresent(0)) {
        out.why = "not enumerated";
        return out;
    }
    if (!form->RadioButton1.enabled) {
        out.why = "not selectable (" + form->RadioButton1.caption +
                  "):" + LastLines(form->Memo1.lines, 4);
        return out;
    }
    if (arm) arm();
    form->Button1Click();
    w.world.Windows().SetIoControlObserver(nullptr);
    if (arm) {
        // The caller judges a faulted run by the run after it.
        out.recovery = restored ? Recovery::AfterRestore : Recovery::NextRun;
        return out;
    }
    if (form->LastOutcome != app::RunOutcome::Succeeded) {
        out.why = "the next run failed:" + LastLines(form->Memo1.lines, 4);
        return out;
    }
    w.world.PowerCycle(board);
    const sim::BoardReport r = sim::Inspect(board);
    if (!EveryImageInPlace(r, intended)) {
        out.why = r.parameterBlock != intended && r.eepromIsBootImage
                      ? "calibration silently replaced or block wrong after a run that succeeded"
                      : "images wrong after a run that succeeded: " + r.ToString();
        return out;
    }
    out.recovery = restored ? Recovery::AfterRestore : Recovery::NextRun;
    return out;
}

// Whether a run ended with a refusal of the board, which is its error message.
struct RefusalSeen final : app::RunObserver {
    void OnRunEvent(const app::RunEvent& event) override {
        refused = refused || std::holds_alternative<app::RunRefused>(event);
    }
    bool refused = false;
};

struct OtherComputer {
    bool succeeded = false;
    bool refused = false;
    std::string lost; // how the run there lost the board's block, if it did
    std::string broken;
};

// A technician at another bench: the tool with an empty data folder scans the board and is
// asked to update it, whatever its line shows. It must not report success over a block that is
// not the intended one, and must not change a cut block it found.
OtherComputer OnAnotherComputer(AppWorld& w, sim::Board& board,
                                const boarddata::FlashDataBlock& intended, bool cut) {
    OtherComputer out;
    const boarddata::FlashDataBlock found = sim::Inspect(board).parameterBlock;
    testing::TempBackups elsewhere;
    FreshProgram program(w, elsewhere.store);
    app::TForm1& form = program.Start();
    RefusalSeen seen;
    form.Subscribe(seen);
    form.RadioButton1.enabled = true; // pressed whatever the line shows
    form.Button1Click();
    out.succeeded = form.LastOutcome == app::RunOutcome::Succeeded;
    out.refused = seen.refused;
    w.world.PowerCycle(board);
    const sim::BoardReport r = sim::Inspect(board);
    if (out.succeeded && r.parameterBlock != intended)
        out.lost = "success reported while the board does not hold its intended block";
    else if (cut && r.parameterBlock != found)
        out.lost = "the cut block it found was changed";
    else if (out.succeeded && !EveryImageInPlace(r, intended))
        out.broken = "success reported there but images wrong: " + r.ToString();
    return out;
}

struct SecondFault {
    FaultKind kind;
    std::uint64_t index;
};

RunResult Run(FaultKind kind, std::uint64_t index, const boarddata::FlashDataBlock& intended,
              std::uint64_t limitMs, HostRoute route,
              std::optional<SecondFault> second = std::nullopt) {
    RunResult result;
    result.kind = kind;
    result.index = index;
    result.step = "not reached";
    auto w = MakeWorld(false, route);
    sim::Board& board = w->world.GetBoard(0);
    const boarddata::FlashDataBlock original = sim::Inspect(board).parameterBlock;
    bool vanished = false;
    bool injected = false;
    const std::uint64_t wordsBefore = board.Dsp().HostReadCount();

    if (kind == FaultKind::FailureWordAnswer) {
        board.FailAnswerWords({index});
        result.step = "(answer word)";
    } else {
        w->world.Windows().SetIoControlObserver([&](std::uint64_t i, platform::DWORD) {
            if (i != index) return;
            injected = true;
            result.step = CurrentStep(*w);
            vanished = Strike(kind, w->world, board);
        });
    }
    RefusalSeen refusal;
    w->Start().Subscribe(refusal);
    w->form->Button1Click();
    result.virtualMs = w->world.Clock().NowMs();
    if (kind == FaultKind::FailureWordAnswer)
        injected = board.Dsp().HostReadCount() - wordsBefore >= index;
    for (const auto& shown : w->ui.boxes.shown) {
        if (shown.text == app::kSuccessText) result.successShown = true;
        if (shown.text == app::kErrorText) result.errorShown = true;
    }
    // A board its scan did not accept is refused in one error box of its own.
    if (refusal.refused) result.errorShown = true;
    if (kind == FaultKind::FailureWordAnswer) {
        // Name the step by where the lost word was: the first step whose lines follow it is
        // not known here, so report the whole run.
        result.step = "(answer word)";
    }

    w->world.Windows().SetIoControlObserver(nullptr);
    if (vanished) w->world.Reattach(board);
    w->world.PowerCycle(board);
    const sim::BoardReport r = sim::Inspect(board);
    result.everyImageInPlace = EveryImageInPlace(r, intended);
    const auto& log = w->form->Memo1.lines;
    result.blockRetried = std::any_of(log.begin(), log.end(), [](const std::string& line) {
        return line.rfind("   Writing flashdata again", 0) == 0;
    });
    result.block = r.parameterBlock == original   ? BlockOutcome::Unchanged
                   : r.parameterBlock == intended ? BlockOutcome::Intended
                                                  : BlockOutcome::Unrecoverable;
    // The board taken to another computer first, then back to this one.
    const OtherComputer other = OnAnotherComputer(
        *w, board, intended, r.parameterBlock != original && r.parameterBlock != intended);
    result.otherComputerSucceeded = other.succeeded;
    result.otherComputerRefused = other.refused;
    result.lostOnOtherComputer = other.lost;
    // What a technician does next: plug the board in again, start the tool, follow its lines.
    Rerun next;
    if (second) {
        bool secondVanished = false;
        next = FollowTheProgram(*w, board, intended, [&] {
            w->world.Windows().SetIoControlObserver([&](std::uint64_t i, platform::DWORD) {
                if (i != second->index) return;
                result.secondInjected = true;
                secondVanished = Strike(second->kind, w->world, board);
            });
        });
        if (next.why.empty()) {
            const bool restoredBefore = next.recovery == Recovery::AfterRestore;
            if (secondVanished) w->world.Reattach(board);
            w->world.PowerCycle(board);
            next = FollowTheProgram(*w, board, intended);
            if (restoredBefore && next.recovery == Recovery::NextRun)
                next.recovery = Recovery::AfterRestore;
        }
    } else {
        next = FollowTheProgram(*w, board, intended);
    }
    result.recovery = next.recovery;
    if (result.block == BlockOutcome::Unrecoverable && next.recovery == Recovery::AfterRestore)
        result.block = BlockOutcome::Restored;

    // A run the fault never reached proves nothing: the sweep's own recording no longer
    // matches the program it judges.
    if (!injected)
        result.brokenRule = "the fault was never injected (the run did not reach it)";
    else if (result.virtualMs > limitMs)
        result.brokenRule = "did not end within the time limit";
    else if (result.successShown == result.errorShown)
        result.brokenRule = "no single final message";
    else if (result.successShown && !result.everyImageInPlace)
        result.brokenRule =
            "success reported but the board does not hold every image: " + r.ToString();
    else if (!other.lost.empty())
        result.brokenRule = "silently lost on another computer: " + other.lost;
    else if (!other.broken.empty())
        result.brokenRule = "on another computer: " + other.broken;
    else if (result.recovery == Recovery::Bricked)
        result.brokenRule = "bricked: " + next.why;
    else if (result.block == BlockOutcome::Unrecoverable)
        result.brokenRule = "parameter block lost and not brought back from a copy";
    else if (result.block == BlockOutcome::Restored && !vanished)
        result.brokenRule = "parameter block lost although the board stayed";
    return result;
}

} // namespace

const char* FaultKindName(FaultKind kind) {
    switch (kind) {
    case FaultKind::Vanish1167:
        return "vanish 1167";
    case FaultKind::Vanish31:
        return "vanish 31";
    case FaultKind::Refused87:
        return "refused 87";
    case FaultKind::Busy170:
        return "busy 170";
    case FaultKind::FailureWordAnswer:
        return "failure word";
    }
    return "?";
}

const char* BlockOutcomeName(BlockOutcome outcome) {
    switch (outcome) {
    case BlockOutcome::Unchanged:
        return "unchanged";
    case BlockOutcome::Intended:
        return "intended";
    case BlockOutcome::Restored:
        return "restored";
    case BlockOutcome::Unrecoverable:
        return "unrecoverable";
    }
    return "?";
}

const char* RecoveryName(Recovery recovery) {
    switch (recovery) {
    case Recovery::NextRun:
        return "recovered by the next run";
    case Recovery::AfterRestore:
        return "recovered after the restore it asked for";
    case Recovery::Bricked:
        return "bricked";
    }
    return "?";
}

std::size_t SweepReport::Count(Recovery recovery) const {
    return static_cast<std::size_t>(std::count_if(
        runs.begin(), runs.end(), [&](const RunResult& r) { return r.recovery == recovery; }));
}

std::size_t SweepReport::LostOnOtherComputer() const {
    return static_cast<std::size_t>(std::count_if(runs.begin(), runs.end(), [](const RunResult& r) {
        return !r.lostOnOtherComputer.empty();
    }));
}

std::size_t SweepReport::Broken() const {
    return static_cast<std::size_t>(std::count_if(
        runs.begin(), runs.end(), [](const RunResult& r) { return !r.brokenRule.empty(); }));
}

std::string SweepReport::Matrix() const {
    std::ostringstream out;
    out << "clean run: " << cleanRequests << " requests, " << cleanAnswerWords << " answer words, "
        << streams << " streams; " << runs.size() << " faulted runs\n\n";
    out << "runs per fault kind and step (success / error / broken rule):\n";
    std::map<std::pair<std::string, std::string>, std::array<int, 4>> cells;
    for (const RunResult& r : runs) {
        auto& c = cells[{FaultKindName(r.kind), r.step}];
        ++c[0];
        c[1] += r.successShown;
        c[2] += r.errorShown;
        c[3] += !r.brokenRule.empty();
    }
    for (const auto& [key, c] : cells)
        out << "  " << key.first << " | " << key.second << " | runs " << c[0] << ", success "
            << c[1] << ", error " << c[2] << ", broken " << c[3] << "\n";
    out << "\nparameter block after each run (recovered: written again while the board stayed; "
           "restored: lost by the run, brought back from its copy):\n";
    std::map<std::string, std::array<int, 5>> blocks;
    for (const RunResult& r : runs) {
        auto& c = blocks[FaultKindName(r.kind)];
        ++c[static_cast<int>(r.block)];
        c[4] += r.blockRetried && r.block == BlockOutcome::Intended;
    }
    for (const auto& [kind, c] : blocks)
        out << "  " << kind << " | unchanged " << c[0] << ", intended " << c[1] << " (recovered "
            << c[4] << "), lost " << c[2] + c[3] << ": restored " << c[2] << ", unrecoverable "
            << c[3] << "\n";
    out << "\nafter a power cycle, the tool started again and its lines followed:\n";
    for (Recovery recovery : {Recovery::NextRun, Recovery::AfterRestore, Recovery::Bricked})
        out << "  " << RecoveryName(recovery) << ": " << Count(recovery) << "\n";
    std::size_t updated = 0, refused = 0;
    for (const RunResult& r : runs) {
        updated += r.otherComputerSucceeded;
        refused += r.otherComputerRefused;
    }
    out << "  on another computer (empty data folder) first: updated " << updated << ", refused "
        << refused << ", silently lost " << LostOnOtherComputer() << "\n";
    std::size_t seconds = 0, secondsReached = 0;
    for (const RunResult& r : runs) {
        seconds += r.secondFault;
        secondsReached += r.secondInjected;
    }
    if (seconds > 0)
        out << "  of them with a second fault in the second run: " << seconds << " ("
            << secondsReached << " reached it)\n";
    out << "\nruns that broke a rule: " << Broken() << "\n";
    for (const RunResult& r : runs)
        if (!r.brokenRule.empty())
            out << "  " << FaultKindName(r.kind) << " at " << r.index << " (" << r.step
                << "): " << r.brokenRule << "\n";
    return out.str();
}

SweepReport RunSweep(const SweepOptions& options) {
    SweepReport report;
    const HostRoute route = options.winUsb ? HostRoute::WinUsb : HostRoute::Driver;
    const CleanRun clean = RecordCleanRun(route);
    report.cleanRequests = clean.signatures.size();
    report.cleanAnswerWords = clean.answerWords;

    std::map<std::string, std::size_t> counts;
    for (const auto& s : clean.signatures)
        ++counts[s];
    std::vector<std::uint64_t> control;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> streams; // [first, last]
    for (std::uint64_t i = 0; i < clean.signatures.size(); ++i) {
        const bool bulk = counts[clean.signatures[i]] > kBulkThreshold;
        if (!bulk) {
            control.push_back(i);
        } else if (!streams.empty() && streams.back().second + 1 == i) {
            streams.back().second = i;
        } else {
            streams.push_back({i, i});
        }
    }
    report.streams = streams.size();

    std::mt19937_64 random(options.seed);
    std::set<std::uint64_t> chosen;
    if (options.full || control.size() <= options.controlSample) {
        chosen.insert(control.begin(), control.end());
    } else {
        std::vector<std::uint64_t> sample;
        std::sample(control.begin(), control.end(), std::back_inserter(sample),
                    options.controlSample, random);
        chosen.insert(sample.begin(), sample.end());
    }
    for (const auto& [first, last] : streams) {
        chosen.insert(first);
        chosen.insert(last);
        for (std::size_t n = 0; n < options.samplesPerStream && last > first + 1; ++n)
            chosen.insert(first + 1 + random() % (last - first - 1));
    }

    const FaultKind requestKinds[] = {FaultKind::Vanish1167, FaultKind::Vanish31,
                                      FaultKind::Refused87, FaultKind::Busy170};
    std::size_t turn = 0;
    for (std::uint64_t index : chosen) {
        if (options.full) {
            for (FaultKind kind : requestKinds)
                report.runs.push_back(
                    Run(kind, index, clean.intendedBlock, options.virtualLimitMs, route));
        } else {
            // One kind per request, taking turns, keeps the sampled mode short.
            report.runs.push_back(Run(requestKinds[turn++ % 4], index, clean.intendedBlock,
                                      options.virtualLimitMs, route));
        }
    }

    // A second fault in the run after the first: the third run must still bring the board back.
    const FaultKind vanishKinds[] = {FaultKind::Vanish1167, FaultKind::Refused87};
    for (std::size_t n = 0; n < options.secondFaultSamples && !chosen.empty(); ++n) {
        auto first = chosen.begin();
        std::advance(first, static_cast<long>(random() % chosen.size()));
        const SecondFault second{vanishKinds[n % 2], random() % clean.signatures.size()};
        RunResult r = Run(FaultKind::Vanish1167, *first, clean.intendedBlock,
                          options.virtualLimitMs, route, second);
        r.secondFault = true;
        report.runs.push_back(std::move(r));
    }

    std::set<std::uint64_t> words = {1, clean.answerWords};
    for (std::size_t n = 0; n < options.answerWordSamples && clean.answerWords > 2; ++n)
        words.insert(2 + random() % (clean.answerWords - 2));
    for (std::uint64_t ordinal : words)
        report.runs.push_back(Run(FaultKind::FailureWordAnswer, ordinal, clean.intendedBlock,
                                  options.virtualLimitMs, route));
    return report;
}

RunResult RunWithFault(FaultKind kind, std::uint64_t index) {
    const CleanRun clean = RecordCleanRun(HostRoute::Driver);
    return Run(kind, index, clean.intendedBlock, SweepOptions{}.virtualLimitMs, HostRoute::Driver);
}

} // namespace flashwell::sweep
