#include "ui/console/interrupt_guard.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#else
#include <csignal>
#include <ctime>
#include <pthread.h>
#endif

namespace flashwell::ui {

#ifdef _WIN32

namespace {

// The console calls its control handler on a thread of its own; the flag is the only way back.
std::atomic<bool>& Seen() {
    static std::atomic<bool> seen{false};
    return seen;
}

BOOL WINAPI HoldBack(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        Seen() = true;
        return TRUE;
    }
    return FALSE; // closing the console or logging off cannot be held back
}

} // namespace

InterruptGuard::InterruptGuard() {
    Seen() = false;
    SetConsoleCtrlHandler(HoldBack, TRUE);
}

InterruptGuard::~InterruptGuard() {
    SetConsoleCtrlHandler(HoldBack, FALSE);
}

bool InterruptGuard::Requested() {
    return Seen();
}

bool InterruptGuard::Consume() {
    return Seen().exchange(false);
}

#else

namespace {

sigset_t HeldSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

// Blocked signals stay pending, so no handler and no shared flag are needed: the run asks the
// kernel whether one is waiting.
InterruptGuard::InterruptGuard() {
    const sigset_t set = HeldSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

InterruptGuard::~InterruptGuard() {
    const sigset_t set = HeldSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool InterruptGuard::Requested() {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1;
}

bool InterruptGuard::Consume() {
    bool any = false;
    const sigset_t set = HeldSignals();
    const timespec none{0, 0};
    while (Requested() && sigtimedwait(&set, nullptr, &none) > 0)
        any = true;
    return any;
}

#endif

} // namespace flashwell::ui
