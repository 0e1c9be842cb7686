// One run of the program as the invocation asks for it: the machine, the face, the run log, the
// main window and its scan, then the action (list, restore, update, or the face's own loop).
#pragma once

#include "cli/invocation.h"

namespace flashwell::cli {

// The exit status.
int RunProgram(const Invocation& invocation);

} // namespace flashwell::cli
