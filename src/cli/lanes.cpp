#include "cli/lanes.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
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
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
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
    std::vector<std::thread> threads;
    for (const std::function<void()>& job : jobs)
        threads.emplace_back(job);
    for (std::thread& t : threads)
        t.join();
}
#endif

} // namespace flashwell::cli
