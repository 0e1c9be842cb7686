// Holds back Ctrl-C (SIGINT, SIGTERM; the console's control events on Windows) while an update
// writes to a board: ending the program in the middle of a flash write can leave a board that
// no longer starts. The request is remembered and the program stops once the run is over.
#pragma once

namespace flashwell::ui {

class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // Whether the user asked to stop since the guard was made.
    bool Requested();
    // Takes a request out of the way so that releasing the guard does not end the program at
    // once; the caller then stops in its own time. Returns whether there was one.
    bool Consume();
};

} // namespace flashwell::ui
