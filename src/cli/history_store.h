// The board history as the program uses it: which store a run opens (and what it says when a
// store cannot be used), and --history's report of a board.
#pragma once

#include "cli/invocation.h"
#include "history/history.h"

#include <memory>
#include <ostream>

namespace flashwell::cli {

// The history this run keeps its copies, write records and runs in. nullptr with status 0:
// the copies' files alone (chosen, or a Windows without SQLite of its own). nullptr with a
// status: the configured store cannot be used and the run must not start; one line has said so.
std::unique_ptr<history::History> OpenRunHistory(const Invocation& v, std::ostream& err,
                                                 int& status);

// --history [SERIAL]: a board's copies and runs, or every board the history knows.
int PrintHistory(const Invocation& v);

// The copies of the history that are not files on this computer, for --list-backups.
void ListStoredCopies(history::History& history, const app::BackupStore& files, std::ostream& out);

} // namespace flashwell::cli
