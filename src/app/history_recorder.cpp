#include "app/history_recorder.h"
#include "app/main_form.h"
#include "app/update_step_table.h"

#include <ctime>

namespace flashwell::app {

namespace {

std::string Now() {
    return UtcTimeText(std::time(nullptr));
}

} // namespace

HistoryRecorder::HistoryRecorder(history::History& history, const TForm1& form,
                                 const BackupStore& backups, std::string route)
    : history_(history), form_(form), backups_(backups), route_(std::move(route)) {}

void HistoryRecorder::Note(bool ok, const std::string& error) {
    if (!ok) problems_.push_back(history_.Description() + ": " + error);
}

void HistoryRecorder::OnRunEvent(const RunEvent& event) {
    std::string error;
    if (const auto* seen = std::get_if<BoardIdentified>(&event)) {
        if (seen->serial.empty()) return;
        const BoardFacts& facts = form_.Facts(seen->board);
        Note(history_.NoteBoard(seen->serial, seen->product,
                                std::to_string(facts.revisionMajor) + "." +
                                    std::to_string(facts.revisionMinor),
                                Now(), error),
             error);
    } else if (const auto* started = std::get_if<StepStarted>(&event)) {
        if (run_.startedAt.empty()) run_.startedAt = Now();
        board_ = started->board;
        if (!run_.steps.empty()) run_.steps += ',';
        run_.steps += started->step;
    } else if (const auto* ended = std::get_if<StepEnded>(&event)) {
        if (!run_.outcomes.empty()) run_.outcomes += ',';
        run_.outcomes += ended->step + (ended->failed ? "=failed" : "=ok");
    } else if (const auto* saved = std::get_if<CopySaved>(&event)) {
        if (run_.copyId.empty()) run_.copyId = backups_.HistoryIdOf(saved->path);
    } else if (const auto* refused = std::get_if<RunRefused>(&event)) {
        board_ = refused->board;
        refused_ = true;
    } else if (const auto* end = std::get_if<RunEnded>(&event)) {
        if (board_ < 0) board_ = form_.SelectedBoardIndex();
        run_.serial = form_.Facts(board_).serial;
        run_.route = route_;
        if (run_.startedAt.empty()) run_.startedAt = Now();
        run_.endedAt = Now();
        switch (end->outcome) {
        case RunOutcome::Succeeded:
            run_.result = "succeeded";
            run_.exitStatus = 0;
            break;
        case RunOutcome::Cancelled:
            run_.result = "cancelled";
            run_.exitStatus = 3;
            break;
        case RunOutcome::Failed:
        case RunOutcome::NotRun:
            run_.result = refused_ ? "refused" : "failed";
            run_.exitStatus = 1;
            break;
        }
        Note(history_.AddRun(run_, error), error);
        run_ = {};
        board_ = -1;
        refused_ = false;
    }
}

} // namespace flashwell::app
