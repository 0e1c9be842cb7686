#include "cli/lanes.h"

#include <algorithm>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace flashwell::cli {

#ifdef _WIN32
struct LaneLock::Impl {
    CRITICAL_SECTION section;
};
LaneLock::LaneLock() : impl_(std::make_unique<Impl>()) {
    InitializeCriticalSection(&impl_->section);
}
LaneLock::~LaneLock() {
    DeleteCriticalSection(&impl_->section);
}
void LaneLock::Lock() {
    EnterCriticalSection(&impl_->section);
}
void LaneLock::Unlock() {
    LeaveCriticalSection(&impl_->section);
}

namespace {
DWORD WINAPI RunJob(LPVOID job) {
    (*static_cast<const std::function<void()>*>(job))();
    return 0;
}
} // namespace

void RunSideBySide(const std::vector<std::function<void()>>& jobs) {
    RunSideBySide(jobs, {});
}

void RunSideBySide(const std::vector<std::function<void()>>& jobs,
                   const std::function<void()>& meanwhile) {
    std::vector<HANDLE> threads;
    for (const std::function<void()>& job : jobs) {
        HANDLE t = CreateThread(nullptr, 0, RunJob,
                                const_cast<void*>(static_cast<const void*>(&job)), 0, nullptr);
        // Without a thread the job still runs, only not beside the others.
        if (t == nullptr)
            job();
        else
            threads.push_back(t);
    }
    if (!meanwhile) {
        for (HANDLE t : threads) {
            WaitForSingleObject(t, INFINITE);
            CloseHandle(t);
        }
        return;
    }
    // One handle at a time: WaitForMultipleObjects takes at most 64.
    const auto running = [&] {
        return std::any_of(threads.begin(), threads.end(),
                           [](HANDLE t) { return WaitForSingleObject(t, 0) == WAIT_TIMEOUT; });
    };
    while (running())
        meanwhile();
    for (HANDLE t : threads)
        CloseHandle(t);
}

struct LaneSignal::Impl {
    HANDLE event;
};
LaneSignal::LaneSignal() : impl_(std::make_unique<Impl>()) {
    impl_->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}
LaneSignal::~LaneSignal() {
    CloseHandle(impl_->event);
}
void LaneSignal::Set() {
    SetEvent(impl_->event);
}
void LaneSignal::Wait() {
    WaitForSingleObject(impl_->event, INFINITE);
}
#else
struct LaneLock::Impl {
    std::recursive_mutex mutex;
};
LaneLock::LaneLock() : impl_(std::make_unique<Impl>()) {}
LaneLock::~LaneLock() = default;
void LaneLock::Lock() {
    impl_->mutex.lock();
}
void LaneLock::Unlock() {
    impl_->mutex.unlock();
}

void RunSideBySide(const std::vector<std::function<void()>>& jobs) {
    RunSideBySide(jobs, {});
}

void RunSideBySide(const std::vector<std::function<void()>>& jobs,
                   const std::function<void()>& meanwhile) {
    std::atomic<std::size_t> ended{0};
    std::vector<std::thread> threads;
    for (const std::function<void()>& job : jobs)
        threads.emplace_back([&job, &ended] {
            job();
            ++ended;
        });
    while (meanwhile && ended < jobs.size())
        meanwhile();
    for (std::thread& t : threads)
        t.join();
}

struct LaneSignal::Impl {
    std::mutex mutex;
    std::condition_variable changed;
    bool set = false;
};
LaneSignal::LaneSignal() : impl_(std::make_unique<Impl>()) {}
LaneSignal::~LaneSignal() = default;
void LaneSignal::Set() {
    {
        const std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->set = true;
    }
    impl_->changed.notify_all();
}
void LaneSignal::Wait() {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->changed.wait(lock, [this] { return impl_->set; });
}
#endif

} // namespace flashwell::cli
