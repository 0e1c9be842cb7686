#include "cli/bench.h"

#include "cli/faces.h"
#include "cli/lanes.h"

#include "app/board_summary.h"
#include "app/history_recorder.h"
#include "app/run_log.h"
#include "app/subid_dialog.h"
#include "app/update_step_table.h"
#include "cli/history_store.h"
#include "device/adapter_usb.h"
#include "protocol/board_protocol.h"
#include "sim/scenario/scenario.h"
#include "sim/sim_world.h"
#include "ui/console/console_ui.h"
#include "ui/layout/bench_window_layout.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>

namespace flashwell::cli {

namespace {

// The step in the words its check box shows the technician ("KPCI-Update"), not the code's.
std::string StepWords(const app::TForm1* form, const std::string& name) {
    const app::UpdateStep* step = app::FindUpdateStep(name);
    if (step != nullptr && form != nullptr) return form->StepBox(*step).caption;
    if (name == "restore") return "Restore";
    return step != nullptr ? std::string(step->title) : name;
}

// The command that writes a copy back onto the board at this place.
std::string RestoreCommand(const std::string& copy, const std::string& place) {
    return "flashwell --restore \"" + copy + "\" --board \"" + place + "\"";
}

bool IsLineNumber(const std::string& name) {
    return !name.empty() && name.size() <= 2 &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The scan of the names, answered as --yes would: it writes nothing and asks nothing.
class SilentUi final : public app::AppUi {
public:
    platform::MessageAnswer ShowMessage(platform::MessageKind, const std::string&,
                                        const std::string&,
                                        platform::MessageButtons buttons) override {
        return app::ButtonChoices(buttons).front().answer;
    }
    void ProcessPendingMessages() override {}
    void ShowSubIdDialog(app::TSubIDDialog&) override {}
};

struct KnownBoard {
    int line = -1;
    std::string place, path, serial;
    bool selectable = false;
};

std::string Found(const std::vector<KnownBoard>& known) {
    if (known.empty()) return "no board";
    std::string text;
    for (const KnownBoard& k : known) {
        if (!text.empty()) text += "; ";
        if (k.line >= 0) text += "line " + std::to_string(k.line) + ", ";
        if (!k.serial.empty()) text += "serial " + k.serial + ", ";
        text += "place " + k.place;
    }
    return text;
}

// One line of a file name from a board's name.
std::string FileSafe(const std::string& name) {
    std::string out;
    for (const char c : name)
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '_';
    return out;
}

ui::layout::BenchRow RowOf(const BenchLane& lane) {
    ui::layout::BenchRow row;
    row.place = lane.target.place;
    row.serial = lane.target.serial;
    row.step = lane.step;
    row.stepPercent = lane.stepPercent;
    row.elapsed = lane.elapsed;
    row.result = lane.done ? lane.result : std::string();
    row.log = lane.log;
    row.done = lane.done;
    return row;
}

// What the lanes share to show themselves: a window where the face has one (its rows drawn by
// the window's own thread), else the terminal, whole lines into a pipe or file, one row per board
// rewritten in place on a terminal; questions of one lane take it for themselves.
class BenchView {
public:
    BenchView(std::ostream& out, bool terminal, const std::vector<BenchLane>& lanes,
              ui::layout::BenchWindow* window)
        : out_(out), terminal_(terminal), lanes_(lanes), window_(window) {}

    bool Windowed() const { return window_ != nullptr; }
    // The rows as they are now, for the window.
    std::vector<ui::layout::BenchRow> Rows() {
        LaneGuard guard(lock_);
        std::vector<ui::layout::BenchRow> rows;
        for (const BenchLane& lane : lanes_)
            rows.push_back(RowOf(lane));
        return rows;
    }

    void Line(const BenchLane& lane, const std::string& text) {
        // The rows tell; the lines are in the board's log.
        if (terminal_ || window_ != nullptr) return;
        LaneGuard guard(lock_);
        const std::string line = lane.target.Name() + ": " + text + "\n";
        if (asking_) {
            held_ += line;
            return;
        }
        out_ << line;
        out_.flush();
    }
    // Lanes change their rows only through here: the rows are drawn from other threads.
    void Change(BenchLane& lane, const std::function<void(BenchLane&)>& change) {
        {
            LaneGuard guard(lock_);
            change(lane);
            if (window_ == nullptr && terminal_ && !asking_) Render();
        }
        if (window_ != nullptr) window_->Wake();
    }
    // A lane asks: while the question is open the other lanes go on, their lines and rows wait.
    void Ask(const BenchLane& lane, const std::function<void()>& question) {
        // The window's boxes and dialog name the board themselves.
        if (window_ != nullptr) {
            question();
            return;
        }
        {
            LaneGuard guard(lock_);
            asking_ = true;
            rows_ = 0;
            out_ << lane.target.Name() << " asks:\n";
        }
        question();
        LaneGuard guard(lock_);
        asking_ = false;
        out_ << held_;
        held_.clear();
        if (terminal_) Render();
        out_.flush();
    }
    void Done() {
        LaneGuard guard(lock_);
        if (terminal_ && window_ == nullptr) Render();
    }

private:
    void Render() {
        std::string frame;
        if (rows_ > 0) frame += "\x1b[" + std::to_string(rows_) + "F";
        for (const BenchLane& lane : lanes_) {
            char row[256];
            if (lane.done)
                std::snprintf(row, sizeof row, "%-26s %-40s %s", lane.target.Name().c_str(),
                              lane.result.c_str(), lane.elapsed.c_str());
            else
                std::snprintf(row, sizeof row, "%-26s %-34s %3d%%  %s", lane.target.Name().c_str(),
                              lane.step.c_str(), lane.stepPercent, lane.elapsed.c_str());
            frame += "\x1b[2K";
            frame += row;
            frame += "\n";
        }
        if (frame == last_ && rows_ > 0) return;
        last_ = frame;
        out_ << frame;
        out_.flush();
        rows_ = static_cast<int>(lanes_.size());
    }

    std::ostream& out_;
    bool terminal_;
    const std::vector<BenchLane>& lanes_;
    ui::layout::BenchWindow* window_;
    LaneLock lock_;
    bool asking_ = false;
    std::string held_; // lines of the other lanes while a question is open
    int rows_ = 0;
    std::string last_;
};

// The window's questions are asked on the window's own thread: a lane hands its question over
// and waits for the answer, while the window's thread runs the questions it was handed between
// its passes over events.
class WindowAsker final : public app::AppUi {
public:
    explicit WindowAsker(ui::layout::BenchWindow& window) : window_(window) {}

    platform::MessageAnswer ShowMessage(platform::MessageKind kind, const std::string& title,
                                        const std::string& text,
                                        platform::MessageButtons buttons) override {
        platform::MessageAnswer answer = platform::MessageAnswer::Closed;
        HandOver([&] { answer = window_.Asker().ShowMessage(kind, title, text, buttons); });
        return answer;
    }
    void ShowSubIdDialog(app::TSubIDDialog& dialog) override {
        HandOver([&] { window_.Asker().ShowSubIdDialog(dialog); });
    }
    void ProcessPendingMessages() override {}

    // On the window's thread: the question handed over, if any.
    void AskWaiting() {
        Question* question = nullptr;
        {
            LaneGuard guard(lock_);
            std::swap(question, waiting_);
        }
        if (question == nullptr) return;
        question->ask();
        question->answered.Set();
    }

private:
    struct Question {
        std::function<void()> ask;
        LaneSignal answered;
    };
    void HandOver(std::function<void()> ask) {
        Question question{std::move(ask), {}};
        {
            LaneGuard guard(lock_);
            waiting_ = &question;
        }
        window_.Wake();
        question.answered.Wait();
    }

    ui::layout::BenchWindow& window_;
    LaneLock lock_;
    Question* waiting_ = nullptr; // one at a time: the lanes' askers lock sees to it
};

// What a lane's program shows: the warning the bench asked once, the final messages as lines,
// questions through the shared terminal, progress into the lane's row.
class LaneFace final : public app::AppUi {
public:
    LaneFace(BenchLane& lane, BenchView& view, app::AppUi& asker, LaneLock& askers,
             const BenchHooks& hooks)
        : lane_(lane), view_(view), asker_(asker), askers_(askers), hooks_(hooks) {}

    platform::MessageAnswer ShowMessage(platform::MessageKind kind, const std::string& title,
                                        const std::string& text,
                                        platform::MessageButtons buttons) override {
        if (text == app::kConfirmText) return platform::MessageAnswer::Ok;
        if (buttons == platform::MessageButtons::Ok) {
            std::string flat = text;
            std::replace(flat.begin(), flat.end(), '\r', ' ');
            std::replace(flat.begin(), flat.end(), '\n', ' ');
            view_.Line(lane_, "[" + title + "] " + flat);
            return platform::MessageAnswer::Ok;
        }
        LaneGuard one(askers_);
        platform::MessageAnswer answer = platform::MessageAnswer::Closed;
        // Over the window the box must say whose question it is; the terminal says it first.
        const std::string caption =
            view_.Windowed() ? ui::layout::CaptionNamingBoard(title, RowOf(lane_)) : title;
        view_.Ask(lane_, [&] { answer = asker_.ShowMessage(kind, caption, text, buttons); });
        return answer;
    }
    void ShowSubIdDialog(app::TSubIDDialog& dialog) override {
        LaneGuard one(askers_);
        // In a window the dialog is all the technician sees of the question: it names its board.
        if (view_.Windowed())
            dialog.Caption = ui::layout::CaptionNamingBoard(dialog.Caption, RowOf(lane_));
        view_.Ask(lane_, [&] { asker_.ShowSubIdDialog(dialog); });
    }
    void ProcessPendingMessages() override {
        if (hooks_.pump) hooks_.pump(lane_);
    }

private:
    BenchLane& lane_;
    BenchView& view_;
    app::AppUi& asker_;
    LaneLock& askers_;
    const BenchHooks& hooks_;
};

// What a lane learns of its run, from the run's events: the step, its progress, where it
// failed, the copy it saved, the board's serial number, the copies to restore.
class LaneEvents final : public app::RunObserver {
public:
    LaneEvents(BenchLane& lane, BenchView& view) : lane_(lane), view_(view) {}
    void OnRunEvent(const app::RunEvent& event) override {
        std::visit([&](const auto& e) { On(e); }, event);
    }
    std::string serial;

private:
    void On(const app::Logged& e) {
        // The lane's program sees one board: the empty lines of its scan say nothing here.
        if (e.kind != app::LineKind::BoardAbsent) view_.Line(lane_, e.text);
    }
    void On(const app::BoardIdentified& e) {
        if (!e.serial.empty()) serial = e.serial;
    }
    void On(const app::StepStarted& e) {
        view_.Change(lane_, [&](BenchLane& l) { l.step = StepWords(l.form, e.step); });
    }
    void On(const app::StepProgress& e) {
        view_.Change(lane_, [&](BenchLane& l) {
            l.stepPercent = e.stepPercent;
            if (!e.elapsed.empty()) l.elapsed = e.elapsed;
        });
    }
    void On(const app::StepEnded& e) {
        if (e.failed && lane_.failedStep.empty()) {
            lane_.failedStep = StepWords(lane_.form, e.step);
            lane_.failedStepKey = e.step;
        }
    }
    void On(const app::CopySaved& e) {
        lane_.backup = e.path.string();
        if (!e.serial.empty()) serial = e.serial;
    }
    void On(const app::BlockNotWhole& e) {
        if (e.copy) lane_.restoreCopies.push_back(e.copy->string());
    }
    void On(const app::BoardLost& e) { lane_.restoreCopies.push_back(e.copy.string()); }
    void On(const app::RunRefused&) {}
    void On(const app::RunEnded&) {}

    BenchLane& lane_;
    BenchView& view_;
};

void RunLane(const Invocation& v, BenchLane& lane, BenchView& view, app::AppUi& asker,
             LaneLock& askers, const BenchHooks& hooks) {
    const std::string tool = std::string("flashwell ") + FLASHWELL_VERSION;
    const std::filesystem::path logFile =
        v.logFile.parent_path() /
        (v.logFile.stem().string() + "-" + FileSafe(lane.target.Name()) + ".log");
    app::RunLog log(logFile, tool);
    log.Begin(lane.backend->Description() + ", board " + lane.target.Name());
    app::DebugToLog os(*lane.view, log);
    LaneFace face(lane, view, asker, askers, hooks);
    app::LoggingUi loggedFace(face, log);
    device::BoardTable boards(os);
    protocol::BoardProtocol protocol(boards, loggedFace);
    app::BackupStore backups(v.dataFolder, tool);
    // Each lane its own connection to the history; a lane whose store fails writes nothing.
    int historyStatus = kExitSuccess;
    std::ostringstream historyProblem;
    const auto history = OpenRunHistory(v, historyProblem, historyStatus);
    if (historyStatus != kExitSuccess) {
        const std::string problem = historyProblem.str();
        lane.result = "not started: " + problem.substr(0, problem.find('\n'));
        lane.status = kExitError;
        view.Change(lane, [](BenchLane& l) { l.done = true; });
        return;
    }
    backups.UseHistory(history.get());
    LaneEvents events(lane, view);
    app::TForm1 form(app::Services{os, boards, protocol, loggedFace, backups});
    lane.form = &form;
    form.Subscribe(events);
    std::optional<app::HistoryRecorder> recorder;
    if (history) {
        recorder.emplace(*history, form, backups, lane.backend->Description());
        form.Subscribe(*recorder);
    }
    // The lane's line 0 is another board's line 0 on the machine: restore lines name the place.
    form.NameBoardInHints(lane.target.place);
    form.AcceptUnmarkedBlocks(v.acceptUnmarkedBlocks);
    form.FormCreate();
    if (!form.BoardPresent(0)) {
        lane.result = lane.view->InUse() ? "in use by another program" : "not present";
        lane.status = kExitNoBoard;
    } else if (const app::BoardFacts& board = form.Facts(0); !board.accepted) {
        lane.result = "cannot be selected (" + board.caption + ")";
        if (!board.refusal.empty()) lane.result += ": " + board.refusal;
        lane.status = kExitNoBoard;
    } else {
        if (v.stepsGiven) {
            for (const app::UpdateStep& step : app::kUpdateSteps)
                form.StepBox(step).checked = false;
            for (const app::UpdateStep* step : v.steps)
                form.StepBox(*step).checked = true;
        }
        form.SelectBoardLine(0);
        form.Button1Click();
        switch (form.LastOutcome) {
        case app::RunOutcome::Succeeded:
            lane.result = "updated";
            lane.status = kExitSuccess;
            break;
        case app::RunOutcome::Cancelled:
            lane.result = "cancelled";
            lane.status = kExitCancelled;
            break;
        case app::RunOutcome::Failed:
        case app::RunOutcome::NotRun:
            lane.result = "failed at " + (!lane.failedStep.empty() ? lane.failedStep
                                          : !lane.step.empty()     ? lane.step
                                                                   : std::string("the scan"));
            lane.status = kExitError;
            break;
        }
    }
    const std::string serial = lane.target.serial.empty() ? events.serial : lane.target.serial;
    lane.log = log.Writing() ? log.Path().string() : std::string();
    CloseAll(boards);
    lane.logLines = form.Memo1.lines;
    lane.form = nullptr;
    view.Change(lane, [&](BenchLane& l) {
        l.target.serial = serial;
        l.done = true;
    });
}

// For each target of a simulated bench, the scenario of its board alone, with the instance and
// contents it has on the whole bench; empty when the boards are not simulated.
std::vector<sim::Scenario> BoardsAlone(const Invocation& v,
                                       const std::vector<BenchTarget>& targets) {
    std::vector<sim::Scenario> out;
    if (v.route != Route::Simulation) return out;
    sim::SimWorld whole;
    sim::ApplyScenario(whole, v.scenario);
    std::uint64_t seed = 1;
    std::vector<sim::ScenarioBoard> boards = v.scenario.boards;
    for (std::size_t i = 0; i < boards.size() && i < whole.BoardCount(); ++i) {
        // The seeds go to old contents of USB boards in order, as the whole bench has them.
        if (boards[i].contents == "old" && boards[i].kind == "usb1801")
            boards[i].contentsSeed = seed++;
        boards[i].instanceId = whole.GetBoard(static_cast<int>(i)).Config().instanceId;
    }
    for (const BenchTarget& t : targets) {
        sim::Scenario one = v.scenario;
        one.boards.clear();
        for (std::size_t i = 0; i < boards.size() && i < whole.BoardCount(); ++i)
            if (PlaceOf(whole.GetBoard(static_cast<int>(i)).DevicePath()) == t.place)
                one.boards.push_back(boards[i]);
        // A place not among the boards (gone since): the whole bench, as before.
        out.push_back(one.boards.empty() ? v.scenario : one);
    }
    return out;
}

int BenchStatus(const std::vector<BenchLane>& lanes) {
    const auto any = [&](int status) {
        return std::any_of(lanes.begin(), lanes.end(),
                           [&](const BenchLane& l) { return l.status == status; });
    };
    if (any(kExitError)) return kExitError;
    if (any(kExitNoBoard)) return kExitNoBoard;
    if (any(kExitCancelled)) return kExitCancelled;
    return kExitSuccess;
}

void Summary(std::ostream& out, const std::vector<BenchLane>& lanes) {
    std::size_t w[3] = {5, 6, 6};
    for (const BenchLane& l : lanes) {
        w[0] = std::max(w[0], l.target.place.size());
        w[1] = std::max(w[1], l.target.serial.size());
        w[2] = std::max(w[2], l.result.size());
    }
    const auto row = [&](const std::string& a, const std::string& b, const std::string& c,
                         const std::string& d) {
        out << a << std::string(w[0] - a.size() + 2, ' ') << b
            << std::string(w[1] - b.size() + 2, ' ') << c << std::string(w[2] - c.size() + 2, ' ')
            << d << "\n";
    };
    out << "\n";
    row("Board", "Serial", "Result", "Backup");
    for (const BenchLane& l : lanes)
        row(l.target.place, l.target.serial.empty() ? "-" : l.target.serial, l.result,
            l.backup.empty() ? "-" : l.backup);
    for (const BenchLane& l : lanes)
        if (!l.log.empty()) out << "Log of " << l.target.Name() << ": " << l.log << "\n";
    // A board whose block the run lost: the copy to write back, onto that very board.
    for (const BenchLane& l : lanes)
        for (const std::string& copy : l.restoreCopies)
            out << "Restore " << l.target.Name()
                << " with: " << RestoreCommand(copy, l.target.place) << "\n";
}

std::string BenchJson(const std::vector<BenchLane>& lanes, int status) {
    nlohmann::json boards = nlohmann::json::array();
    for (const BenchLane& l : lanes)
        boards.push_back(
            {{"place", l.target.place},
             {"serialNumber", l.target.serial},
             {"result", l.result},
             {"failedStep",
              l.failedStepKey.empty() ? nlohmann::json(nullptr) : nlohmann::json(l.failedStepKey)},
             {"exitStatus", l.status},
             {"backup", l.backup.empty() ? nlohmann::json(nullptr) : nlohmann::json(l.backup)},
             {"log", l.log.empty() ? nlohmann::json(nullptr) : nlohmann::json(l.log)}});
    nlohmann::json result{{"exitStatus", status}, {"boards", boards}};
    return result.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace

// A board left open would be in use for the next program that looks at it.
void CloseAll(device::BoardTable& boards) {
    for (int i = 0; i < device::BoardTable::kSlots; ++i)
        if (boards.IsBoardOpen(i)) boards.CloseBoard(i);
}

std::vector<app::BoardSummary> BoardsBeyondLines(const Invocation& v, platform::OsPort& os,
                                                 const std::set<std::string>& linePlaces,
                                                 bool withPlan) {
    std::vector<BenchTarget> beyond;
    for (const std::string& path : ListDevicePaths(os))
        if (!path.empty() && linePlaces.count(PlaceOf(path)) == 0)
            beyond.push_back({PlaceOf(path), ""});
    // Side by side, each through a machine of its own as a lane has it: a scan loads the
    // flash-access program and waits for it, and sixteen of those one after the other would
    // cost more than the bench's update.
    const std::vector<sim::Scenario> alone = BoardsAlone(v, beyond);
    std::vector<std::optional<app::BoardSummary>> found(beyond.size());
    std::vector<std::function<void()>> jobs;
    for (std::size_t i = 0; i < beyond.size(); ++i)
        jobs.emplace_back([&, i] {
            Invocation one = v;
            if (!alone.empty()) one.scenario = alone[i];
            int status = kExitSuccess;
            const std::unique_ptr<Backend> backend = Backend::Make(one, status);
            if (!backend) return;
            PlaceFilterOsPort view(backend->Os(), {beyond[i].place});
            SilentUi face;
            device::BoardTable boards(view);
            protocol::BoardProtocol protocol(boards, face);
            app::BackupStore backups(v.dataFolder, "");
            app::TForm1 form(app::Services{view, boards, protocol, face, backups});
            form.AcceptUnmarkedBlocks(v.acceptUnmarkedBlocks);
            if (v.stepsGiven) {
                for (const app::UpdateStep& step : app::kUpdateSteps)
                    form.StepBox(step).checked = false;
                for (const app::UpdateStep* step : v.steps)
                    form.StepBox(*step).checked = true;
            }
            form.FormCreate();
            if (form.BoardPresent(0)) { // not held by another program, nor gone
                app::BoardSummary s = app::SummarizeBoards(form, boards, protocol).front();
                if (!withPlan) s.plan.clear();
                s.index = -1;
                found[i] = std::move(s);
            }
            CloseAll(boards);
        });
    RunSideBySide(jobs);
    std::vector<app::BoardSummary> out;
    for (auto& s : found)
        if (s) out.push_back(std::move(*s));
    return out;
}

BenchResolution ResolveBench(const Invocation& v) {
    BenchResolution r;
    int status = kExitSuccess;
    const std::unique_ptr<Backend> backend = Backend::Make(v, status);
    if (!backend) {
        r.error = "the boards cannot be reached";
        return r;
    }
    std::vector<KnownBoard> known;
    for (const std::string& path : ListDevicePaths(backend->Os()))
        if (!path.empty()) known.push_back({-1, PlaceOf(path), path, "", true});
    const auto isPlace = [&](const std::string& name) {
        return std::any_of(known.begin(), known.end(), [&](const KnownBoard& k) {
            return k.place == LowerCase(name) || k.place == PlaceOf(name);
        });
    };
    const bool needScan = v.allBoards || !std::all_of(v.boardNames.begin(), v.boardNames.end(),
                                                      [&](const std::string& n) {
                                                          return !IsLineNumber(n) && isPlace(n);
                                                      });
    if (needScan) {
        std::set<std::string> onLines;
        // Lines and serial numbers are what a scan shows: one scan of every board, as without
        // names.
        SilentUi face;
        device::BoardTable boards(backend->Os());
        protocol::BoardProtocol protocol(boards, face);
        app::BackupStore backups(v.dataFolder, "");
        app::TForm1 form(app::Services{backend->Os(), boards, protocol, face, backups});
        form.AcceptUnmarkedBlocks(v.acceptUnmarkedBlocks);
        form.FormCreate();
        known.clear();
        for (const app::BoardSummary& s : app::SummarizeBoards(form, boards, protocol))
            if (s.present) {
                known.push_back({s.index, PlaceOf(s.place), s.place, s.serial, s.selectable});
                onLines.insert(PlaceOf(s.place));
            }
        CloseAll(boards);
        // Every board on the route counts, not only the four the window has lines for.
        for (const app::BoardSummary& s : BoardsBeyondLines(v, backend->Os(), onLines, false))
            known.push_back({-1, PlaceOf(s.place), s.place, s.serial, s.selectable});
    }
    const auto add = [&](const KnownBoard& k) {
        if (std::none_of(r.targets.begin(), r.targets.end(),
                         [&](const BenchTarget& t) { return t.place == k.place; }))
            r.targets.push_back({k.place, k.serial});
    };
    if (v.allBoards)
        for (const KnownBoard& k : known)
            if (k.selectable) add(k);
    for (const std::string& name : v.boardNames) {
        std::vector<const KnownBoard*> matches;
        for (const KnownBoard& k : known)
            if (IsLineNumber(name) ? k.line == std::stoi(name)
                                   : k.place == LowerCase(name) || k.place == PlaceOf(name) ||
                                         (!k.serial.empty() && k.serial == name))
                matches.push_back(&k);
        if (matches.size() != 1) {
            r.error = "--board " + name + " matches " +
                      (matches.empty() ? std::string("no board")
                                       : std::to_string(matches.size()) + " boards") +
                      "; found: " + Found(known);
            r.targets.clear();
            return r;
        }
        add(*matches.front());
    }
    if (r.targets.empty()) r.error = "no board can be selected; found: " + Found(known);
    return r;
}

int RunBench(const Invocation& v, const std::vector<BenchTarget>& targets, std::ostream& out,
             const BenchHooks& hooks, ui::layout::BenchWindow* window) {
    ui::ConsoleOptions options;
    options.yes = v.yes;
    options.revision = v.revision;
    ui::ConsoleUi console(std::cin, out, options);
    std::optional<WindowAsker> windowAsker;
    if (window != nullptr) windowAsker.emplace(*window);
    app::AppUi& asker = window != nullptr ? static_cast<app::AppUi&>(*windowAsker) : console;
    std::vector<BenchLane> lanes(targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i)
        lanes[i].target = targets[i];
    BenchView view(out, StandardOutputIsTerminal() && &out == &std::cout, lanes, window);
    std::string names;
    for (const BenchTarget& t : targets)
        names += (names.empty() ? "" : ", ") + t.Name();
    out << "Boards to update: " << names << "\n";
    // In the window the rows name the boards before the warning is asked, over them.
    if (window != nullptr) window->Open([&view] { return view.Rows(); });
    app::AppUi& warner = window != nullptr ? window->Asker() : console;
    if (warner.ShowMessage(platform::MessageKind::Warning, "Warning", app::kConfirmText,
                           platform::MessageButtons::OkCancel) != platform::MessageAnswer::Ok) {
        out << "Update cancelled - nothing was written\n";
        return kExitCancelled;
    }

    // A simulated lane holds its own board only, as it sits on the bench: memory grows with
    // the lanes, not with their square.
    const std::vector<sim::Scenario> alone = BoardsAlone(v, targets);
    for (std::size_t i = 0; i < targets.size(); ++i) {
        BenchLane& lane = lanes[i];
        int status = kExitSuccess;
        lane.invocation = std::make_unique<Invocation>(v);
        if (!alone.empty()) lane.invocation->scenario = alone[i];
        lane.backend = Backend::Make(*lane.invocation, status);
        if (!lane.backend) return status;
        lane.view = std::make_unique<PlaceFilterOsPort>(lane.backend->Os(),
                                                        std::set<std::string>{lane.target.place});
        if (hooks.laneMade) hooks.laneMade(lane);
    }
    LaneLock askers;
    std::vector<std::function<void()>> jobs;
    for (BenchLane& lane : lanes)
        jobs.emplace_back(
            [&, lanePointer = &lane] { RunLane(v, *lanePointer, view, asker, askers, hooks); });
    if (window != nullptr)
        RunSideBySide(jobs, [&] {
            windowAsker->AskWaiting();
            window->WaitForEvents();
        });
    else
        RunSideBySide(jobs);
    view.Done();
    const int status = BenchStatus(lanes);
    if (v.json)
        std::cout << BenchJson(lanes, status) << "\n";
    else
        Summary(out, lanes);
    // The summary stays in the window, each board's log a click away.
    if (window != nullptr) window->RunUntilClosed();
    if (hooks.keep != nullptr) *hooks.keep = std::move(lanes);
    return status;
}

} // namespace flashwell::cli
