// Threads for the lanes of a bench. The Windows toolchain's C++ library has no std::thread or
// std::mutex (its thread model is Win32's own), so the lanes get these few pieces from here:
// Win32 threads and critical sections there, the standard ones elsewhere.
#pragma once

#include <functional>
#include <memory>
#include <vector>

namespace flashwell::cli {

// A lock the thread that holds it may take again (an answer given under it goes on into code
// that takes it too).
class LaneLock {
public:
    LaneLock();
    ~LaneLock();
    LaneLock(const LaneLock&) = delete;
    LaneLock& operator=(const LaneLock&) = delete;
    void Lock();
    void Unlock();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class LaneGuard {
public:
    explicit LaneGuard(LaneLock& lock) : lock_(lock) { lock_.Lock(); }
    ~LaneGuard() { lock_.Unlock(); }
    LaneGuard(const LaneGuard&) = delete;
    LaneGuard& operator=(const LaneGuard&) = delete;

private:
    LaneLock& lock_;
};

// Runs every job in a thread of its own; returns when all have ended.
void RunSideBySide(const std::vector<std::function<void()>>& jobs);
// The same, with the calling thread calling `meanwhile` over and over until they have: a window
// lives on the thread that made it, and that thread keeps it answering while the lanes run.
void RunSideBySide(const std::vector<std::function<void()>>& jobs,
                   const std::function<void()>& meanwhile);

// One thread waits until another says it may go on (a lane until its question was answered).
class LaneSignal {
public:
    LaneSignal();
    ~LaneSignal();
    LaneSignal(const LaneSignal&) = delete;
    LaneSignal& operator=(const LaneSignal&) = delete;
    void Set();
    void Wait();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace flashwell::cli
