#include "sim/virtual_clock.h"

#include <thread>

namespace flashwell::sim {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

} // namespace

VirtualClock::VirtualClock(ClockOptions options)
    : options_(options),
      sleeper_([](std::chrono::nanoseconds d) { std::this_thread::sleep_for(d); }) {}

void VirtualClock::Advance(std::uint64_t milliseconds) {
    nowMs_ += milliseconds;
    if (options_.speedFactor > 0.0 && milliseconds > 0 && sleeper_) {
        const double ns = static_cast<double>(milliseconds) * 1e6 / options_.speedFactor;
        sleeper_(std::chrono::nanoseconds(static_cast<std::int64_t>(ns)));
    }
}

platform::LocalTime VirtualClock::LocalTimeNow() const {
    return AddMilliseconds(options_.start, nowMs_);
}

platform::LocalTime AddMilliseconds(const platform::LocalTime& start, std::uint64_t milliseconds) {
    constexpr std::int64_t kMsPerDay = 86'400'000;
    const std::int64_t startDay = DaysFromCivil(start.Year, start.Month, start.Day);
    const std::int64_t startMs =
        ((start.Hour * 60 + start.Minute) * 60 + start.Second) * 1000LL + start.Milliseconds;
    const std::int64_t total = startMs + static_cast<std::int64_t>(milliseconds);
    const std::int64_t day = startDay + total / kMsPerDay;
    std::int64_t msOfDay = total % kMsPerDay;

    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(day, y, m, d);
    platform::LocalTime t{};
    t.Year = static_cast<std::uint16_t>(y);
    t.Month = static_cast<std::uint16_t>(m);
    t.Day = static_cast<std::uint16_t>(d);
    // 1970-01-01 was a Thursday; Windows counts Sunday as 0.
    t.DayOfWeek = static_cast<std::uint16_t>(((day % 7) + 7 + 4) % 7);
    t.Milliseconds = static_cast<std::uint16_t>(msOfDay % 1000);
    msOfDay /= 1000;
    t.Second = static_cast<std::uint16_t>(msOfDay % 60);
    msOfDay /= 60;
    t.Minute = static_cast<std::uint16_t>(msOfDay % 60);
    t.Hour = static_cast<std::uint16_t>(msOfDay / 60);
    return t;
}

} // namespace flashwell::sim
