// Simulated time: the host's pauses cost nothing unless someone wants to watch.
#pragma once

#include "platform/os_port.h"

#include <chrono>
#include <cstdint>
#include <functional>

namespace flashwell::sim {

struct ClockOptions {
    // Wall-clock date and time at virtual time 0 (DayOfWeek is recomputed, Milliseconds used).
    platform::LocalTime start{2006, 3, 0, 15, 9, 30, 0, 0};
    // 0: virtual time jumps at once. x > 0: every advance also waits real time / x, so 1 runs
    // the demo in real time and 10 ten times faster.
    double speedFactor = 0.0;
};

class VirtualClock {
public:
    using RealSleeper = std::function<void(std::chrono::nanoseconds)>;

    explicit VirtualClock(ClockOptions options = {});

    // Milliseconds since the world started.
    std::uint64_t NowMs() const { return nowMs_; }
    void Advance(std::uint64_t milliseconds);

    void SetSpeedFactor(double factor) { options_.speedFactor = factor; }
    double SpeedFactor() const { return options_.speedFactor; }
    // Replaces the real-time wait used for pacing (tests hand in a recorder instead).
    void SetRealSleeper(RealSleeper sleeper) { sleeper_ = std::move(sleeper); }

    platform::LocalTime LocalTimeNow() const;

private:
    ClockOptions options_;
    std::uint64_t nowMs_ = 0;
    RealSleeper sleeper_;
};

// Civil-calendar arithmetic behind LocalTimeNow, exposed for tests.
platform::LocalTime AddMilliseconds(const platform::LocalTime& start, std::uint64_t milliseconds);

} // namespace flashwell::sim
