#include "sim/virtual_clock.h"

#include <gtest/gtest.h>

#include <vector>

namespace flashwell::sim {
namespace {

TEST(SimClock, SleepAdvancesAtOnceUnlessPaced) {
    VirtualClock clock;
    std::vector<std::chrono::nanoseconds> waits;
    clock.SetRealSleeper([&](std::chrono::nanoseconds d) { waits.push_back(d); });
    clock.Advance(2000);
    EXPECT_EQ(clock.NowMs(), 2000u);
    EXPECT_TRUE(waits.empty());

    clock.SetSpeedFactor(1.0);
    clock.Advance(100);
    clock.SetSpeedFactor(10.0);
    clock.Advance(100);
    EXPECT_EQ(clock.NowMs(), 2200u);
    EXPECT_EQ(waits, (std::vector<std::chrono::nanoseconds>{std::chrono::milliseconds(100),
                                                            std::chrono::milliseconds(10)}));
}

TEST(SimClock, LocalTimeCrossesDaysMonthsAndLeapYears) {
    ClockOptions options;
    options.start = {2004, 2, 0, 28, 23, 59, 59, 500};
    VirtualClock clock(options);
    platform::LocalTime t = clock.LocalTimeNow();
    EXPECT_EQ(t.DayOfWeek, 6); // a Saturday
    clock.Advance(600);
    t = clock.LocalTimeNow();
    EXPECT_EQ(t.Year, 2004);
    EXPECT_EQ(t.Month, 2);
    EXPECT_EQ(t.Day, 29);
    EXPECT_EQ(t.Hour, 0);
    EXPECT_EQ(t.Minute, 0);
    EXPECT_EQ(t.Second, 0);
    EXPECT_EQ(t.Milliseconds, 100);
    EXPECT_EQ(t.DayOfWeek, 0);

    const platform::LocalTime newYear =
        AddMilliseconds({2005, 12, 0, 31, 12, 0, 0, 0}, 12ull * 3600 * 1000 + 1);
    EXPECT_EQ(newYear.Year, 2006);
    EXPECT_EQ(newYear.Month, 1);
    EXPECT_EQ(newYear.Day, 1);
    EXPECT_EQ(newYear.Milliseconds, 1);
    EXPECT_EQ(newYear.DayOfWeek, 0);
}

} // namespace
} // namespace flashwell::sim
