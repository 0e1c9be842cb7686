// Writes what the run's events say into the board history: each board identified (serial
// number, product, revision, when it was seen), and each run on a board (who, where, which
// route, the steps asked for and how each ended, the result, the copy the run saved). A consumer
// of the events like any other: it learns nothing from the log.
#pragma once

#include "app/block_backup.h"
#include "app/run_events.h"
#include "history/history.h"

#include <string>
#include <vector>

namespace flashwell::app {

class TForm1;

class HistoryRecorder final : public RunObserver {
public:
    HistoryRecorder(history::History& history, const TForm1& form, const BackupStore& backups,
                    std::string route);
    void OnRunEvent(const RunEvent& event) override;
    // What could not be written, if anything: the history is a record, never a reason to stop
    // a run that has begun (the copies and write records are guarded where they are made).
    const std::vector<std::string>& Problems() const { return problems_; }

private:
    void Note(bool ok, const std::string& error);
    history::History& history_;
    const TForm1& form_;
    const BackupStore& backups_;
    std::string route_;
    history::StoredRun run_;
    int board_ = -1;
    bool refused_ = false;
    std::vector<std::string> problems_;
};

} // namespace flashwell::app
