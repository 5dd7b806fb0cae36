// Local -> UTC under explicit zone descriptions: the daylight-saving decision at
// and around the transitions, the rule resolution, and the odd zone shapes.
#include <gtest/gtest.h>

#include "time/time_conversion.h"
#include "time_test_support.h"

using timetest::St;
using timetest::Text;

namespace {

SYSTEMTIME Rule(int month, int weekday, int occurrence, int hour, int minute = 0) {
    SYSTEMTIME r{};
    r.wMonth = static_cast<WORD>(month);
    r.wDayOfWeek = static_cast<WORD>(weekday);
    r.wDay = static_cast<WORD>(occurrence);
    r.wHour = static_cast<WORD>(hour);
    r.wMinute = static_cast<WORD>(minute);
    return r;
}

// Central Europe: daylight from the last Sunday of March 02:00 to the last
// Sunday of October 03:00.
TIME_ZONE_INFORMATION Northern() {
    TIME_ZONE_INFORMATION tz{};
    tz.Bias = -60;
    tz.StandardBias = 0;
    tz.DaylightBias = -60;
    tz.DaylightDate = Rule(3, 0, 5, 2);
    tz.StandardDate = Rule(10, 0, 5, 3);
    return tz;
}

// Eastern Australia: daylight from the first Sunday of October 02:00 to the
// first Sunday of April 03:00.
TIME_ZONE_INFORMATION Southern() {
    TIME_ZONE_INFORMATION tz{};
    tz.Bias = -600;
    tz.DaylightBias = -60;
    tz.StandardDate = Rule(4, 0, 1, 3);
    tz.DaylightDate = Rule(10, 0, 1, 2);
    return tz;
}

std::string ToUtc(const TIME_ZONE_INFORMATION& tz, const SYSTEMTIME& local) {
    SYSTEMTIME utc{};
    if (!LocalToUtcSystemTime(&tz, local, &utc)) return "failed";
    return Text(utc);
}

std::string Resolve(const SYSTEMTIME& rule, int year) { return Text(ResolveTransitionDate(rule, St(year, 6, 15, 12))); }

TEST(LocalToUtcNorthern, PlainWinterAndSummer) {
    const auto tz = Northern();
    EXPECT_EQ(ToUtc(tz, St(2005, 1, 15, 12)), "2005-01-15 11:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 7, 15, 12)), "2005-07-15 10:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 1, 1, 0, 30)), "2004-12-31 23:30:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 12, 31, 23, 59, 59)), "2005-12-31 22:59:59");
    EXPECT_EQ(ToUtc(tz, St(2005, 3, 31, 12)), "2005-03-31 10:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 10, 31, 12)), "2005-10-31 11:00:00");
}

TEST(LocalToUtcNorthern, SpringTransitionDay) {
    // 2005-03-27 is the last Sunday of March.
    const auto tz = Northern();
    EXPECT_EQ(ToUtc(tz, St(2005, 3, 26, 2, 30)), "2005-03-26 01:30:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 3, 27, 1, 59, 59)), "2005-03-27 00:59:59");
    // The skipped hour does not exist; it counts as daylight time.
    EXPECT_EQ(ToUtc(tz, St(2005, 3, 27, 2, 0)), "2005-03-27 00:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 3, 27, 2, 30)), "2005-03-27 00:30:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 3, 27, 3, 0)), "2005-03-27 01:00:00");
}

TEST(LocalToUtcNorthern, AutumnTransitionDay) {
    // 2005-10-30 is the last Sunday of October; 02:00-02:59 happens twice.
    const auto tz = Northern();
    EXPECT_EQ(ToUtc(tz, St(2005, 10, 29, 2, 30)), "2005-10-29 00:30:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 10, 30, 1, 30)), "2005-10-29 23:30:00");
    // The repeated hour is taken as its first occurrence (daylight time).
    EXPECT_EQ(ToUtc(tz, St(2005, 10, 30, 2, 30)), "2005-10-30 00:30:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 10, 30, 2, 59, 59)), "2005-10-30 00:59:59");
    EXPECT_EQ(ToUtc(tz, St(2005, 10, 30, 3, 0)), "2005-10-30 02:00:00");
}

TEST(LocalToUtcSouthern, DaylightSpansTheTurnOfTheYear) {
    const auto tz = Southern();
    EXPECT_EQ(ToUtc(tz, St(2005, 1, 1, 12)), "2005-01-01 01:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 7, 1, 12)), "2005-07-01 02:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 12, 31, 23)), "2005-12-31 12:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 3, 15, 12)), "2005-03-15 01:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 11, 15, 12)), "2005-11-15 01:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 5, 15, 12)), "2005-05-15 02:00:00");
}

TEST(LocalToUtcSouthern, TransitionDays) {
    // 2005-04-03 ends daylight time at 03:00 (02:00-02:59 twice);
    // 2005-10-02 starts it at 02:00 (02:00-02:59 skipped).
    const auto tz = Southern();
    EXPECT_EQ(ToUtc(tz, St(2005, 4, 3, 1, 30)), "2005-04-02 14:30:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 4, 3, 2, 30)), "2005-04-02 15:30:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 4, 3, 3, 0)), "2005-04-02 17:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 10, 2, 1, 59)), "2005-10-01 15:59:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 10, 2, 2, 30)), "2005-10-01 15:30:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 10, 2, 3, 0)), "2005-10-01 16:00:00");
}

TEST(LocalToUtcRules, TransitionAtANonZeroMinuteIsTakenAtTheStartOfItsHour) {
    auto tz = Northern();
    tz.DaylightDate = Rule(3, 0, 5, 2, 30);
    tz.StandardDate = Rule(10, 0, 5, 3, 45);
    EXPECT_EQ(ToUtc(tz, St(2005, 3, 27, 1, 59)), "2005-03-27 00:59:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 3, 27, 2, 10)), "2005-03-27 00:10:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 10, 30, 2, 50)), "2005-10-30 00:50:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 10, 30, 3, 10)), "2005-10-30 02:10:00");
}

TEST(LocalToUtcRules, RulesOfTheConvertedTimesOwnYear) {
    // Last Sundays: March 2004 = 28th, 2005 = 27th, 2026 = 29th;
    // October 2004 = 31st, 2005 = 30th, 2026 = 25th.
    const auto tz = Northern();
    EXPECT_EQ(ToUtc(tz, St(2004, 3, 27, 12)), "2004-03-27 11:00:00");
    EXPECT_EQ(ToUtc(tz, St(2004, 3, 28, 12)), "2004-03-28 10:00:00");
    EXPECT_EQ(ToUtc(tz, St(2004, 10, 30, 12)), "2004-10-30 10:00:00");
    EXPECT_EQ(ToUtc(tz, St(2004, 10, 31, 2, 30)), "2004-10-31 00:30:00");
    EXPECT_EQ(ToUtc(tz, St(2004, 10, 31, 3, 0)), "2004-10-31 02:00:00");
    EXPECT_EQ(ToUtc(tz, St(2026, 3, 28, 12)), "2026-03-28 11:00:00");
    EXPECT_EQ(ToUtc(tz, St(2026, 10, 25, 12)), "2026-10-25 11:00:00");
}

TEST(LocalToUtcRules, DaylightBiasZeroIgnoresTheRules) {
    auto tz = Northern();
    tz.DaylightBias = 0;
    EXPECT_EQ(ToUtc(tz, St(2005, 7, 15, 12)), "2005-07-15 11:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 3, 27, 2, 30)), "2005-03-27 01:30:00");
    // Rules the calendar cannot place must not matter either.
    tz.DaylightDate = Rule(13, 9, 7, 30);
    EXPECT_EQ(ToUtc(tz, St(2005, 7, 15, 12)), "2005-07-15 11:00:00");
}

TEST(LocalToUtcRules, StandardBiasTakesNoPart) {
    auto tz = Northern();
    tz.StandardBias = 30;
    EXPECT_EQ(ToUtc(tz, St(2005, 1, 15, 12)), "2005-01-15 11:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 7, 15, 12)), "2005-07-15 10:00:00");
}

TEST(LocalToUtcRules, EmptyRulesNeverEnterDaylightTime) {
    // The shape Wine reports for UTC: a daylight bias but no transitions.
    TIME_ZONE_INFORMATION tz{};
    tz.Bias = -60;
    tz.DaylightBias = -60;
    for (int month = 1; month <= 12; ++month)
        EXPECT_EQ(ToUtc(tz, St(2005, month, 15, 12)), Text(St(2005, month, 15, 11))) << "month " << month;
    tz.Bias = 0;
    EXPECT_EQ(ToUtc(tz, St(2005, 7, 1, 12)), "2005-07-01 12:00:00");
}

TEST(LocalToUtcRules, AbsoluteRulesApplyInEveryYear) {
    auto tz = Northern();
    tz.DaylightDate = St(2003, 3, 30, 2);
    tz.StandardDate = St(2003, 10, 26, 3);
    EXPECT_EQ(ToUtc(tz, St(2005, 3, 29, 12)), "2005-03-29 11:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 3, 30, 1, 59)), "2005-03-30 00:59:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 3, 30, 2, 0)), "2005-03-30 00:00:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 10, 26, 2, 59)), "2005-10-26 00:59:00");
    EXPECT_EQ(ToUtc(tz, St(2005, 10, 26, 3, 0)), "2005-10-26 02:00:00");
    EXPECT_EQ(ToUtc(tz, St(1999, 10, 27, 12)), "1999-10-27 11:00:00");
}

TEST(LocalToUtcRules, OnlyMonthDayAndHourOfTheLocalTimeAreCompared) {
    // Milliseconds and weekday of the local time are carried or ignored, never judged.
    auto local = St(2005, 3, 27, 2, 59, 59);
    local.wMilliseconds = 999;
    local.wDayOfWeek = 3;  // wrong on purpose
    SYSTEMTIME utc{};
    const auto tz = Northern();
    ASSERT_TRUE(LocalToUtcSystemTime(&tz, local, &utc));
    EXPECT_EQ(Text(utc), "2005-03-27 00:59:59");
    EXPECT_EQ(utc.wMilliseconds, 999);
    EXPECT_EQ(utc.wDayOfWeek, 0);
}

TEST(LocalToUtcRange, FailsOutsideFileTimesAndLeavesTheOutputAlone) {
    const auto tz = Northern();
    SYSTEMTIME utc = St(1999, 9, 9, 9, 9, 9);
    EXPECT_FALSE(LocalToUtcSystemTime(&tz, St(1600, 12, 31, 23), &utc));
    EXPECT_FALSE(LocalToUtcSystemTime(&tz, St(1601, 1, 1, 0, 30), &utc));  // UTC lies in 1600
    EXPECT_FALSE(LocalToUtcSystemTime(&tz, St(2005, 13, 1, 12), &utc));
    EXPECT_FALSE(LocalToUtcSystemTime(&tz, St(2005, 2, 29, 12), &utc));  // no leap year
    EXPECT_FALSE(LocalToUtcSystemTime(&tz, St(2005, 4, 31, 12), &utc));
    EXPECT_FALSE(LocalToUtcSystemTime(&tz, St(2005, 4, 30, 24), &utc));
    EXPECT_EQ(Text(utc), "1999-09-09 09:09:09");

    auto west = tz;
    west.Bias = 300;
    EXPECT_EQ(ToUtc(west, St(1601, 1, 1, 0, 30)), "1601-01-01 05:30:00");
    west.Bias = 0x7fffffff;  // absurd bias: no overflow into a bogus time
    EXPECT_EQ(ToUtc(west, St(30000, 1, 1)), "failed");
}

TEST(ResolveTransitionDate, FirstOccurrence) {
    EXPECT_EQ(Resolve(Rule(3, 5, 1, 2), 2005), "2005-03-04 02:00:00");  // month starts on a Tuesday
    EXPECT_EQ(Resolve(Rule(5, 0, 1, 2), 2005), "2005-05-01 02:00:00");  // starts on a Sunday
    EXPECT_EQ(Resolve(Rule(8, 0, 1, 2), 2005), "2005-08-07 02:00:00");  // starts on a Monday
    EXPECT_EQ(Resolve(Rule(8, 6, 1, 2), 2005), "2005-08-06 02:00:00");
}

TEST(ResolveTransitionDate, SecondToFourthOccurrence) {
    EXPECT_EQ(Resolve(Rule(3, 0, 2, 2), 2007), "2007-03-11 02:00:00");
    EXPECT_EQ(Resolve(Rule(3, 0, 3, 2), 2007), "2007-03-18 02:00:00");
    EXPECT_EQ(Resolve(Rule(3, 0, 4, 2), 2007), "2007-03-25 02:00:00");
}

TEST(ResolveTransitionDate, WeekFiveIsTheLastOccurrence) {
    // March 2005 has four Sundays but five Tuesdays and five Thursdays (the 31st).
    EXPECT_EQ(Resolve(Rule(3, 0, 5, 2), 2005), "2005-03-27 02:00:00");
    EXPECT_EQ(Resolve(Rule(3, 2, 5, 2), 2005), "2005-03-29 02:00:00");
    EXPECT_EQ(Resolve(Rule(3, 4, 5, 2), 2005), "2005-03-31 02:00:00");
    // February: five Sundays only in the leap year 2004.
    EXPECT_EQ(Resolve(Rule(2, 0, 5, 2), 2004), "2004-02-29 02:00:00");
    EXPECT_EQ(Resolve(Rule(2, 0, 5, 2), 2005), "2005-02-27 02:00:00");
    EXPECT_EQ(Resolve(Rule(2, 0, 5, 2), 2100), "2100-02-28 02:00:00");  // 2100 is no leap year
}

TEST(ResolveTransitionDate, OutOfRangeOccurrencesMeanTheFirst) {
    EXPECT_EQ(Resolve(Rule(8, 0, 0, 2), 2005), "2005-08-07 02:00:00");
    EXPECT_EQ(Resolve(Rule(8, 0, 6, 2), 2005), "2005-08-07 02:00:00");
}

TEST(ResolveTransitionDate, KeepsTheRulesOtherFields) {
    auto rule = Rule(10, 0, 5, 23, 59);
    rule.wSecond = 59;
    rule.wMilliseconds = 999;
    const auto r = ResolveTransitionDate(rule, St(2005, 1, 1));
    EXPECT_EQ(Text(r), "2005-10-30 23:59:59");
    EXPECT_EQ(r.wMilliseconds, 999);
    EXPECT_EQ(r.wDayOfWeek, 0);
}

TEST(ResolveTransitionDate, AbsoluteAndEmptyRules) {
    const auto absolute = St(2003, 3, 30, 2);
    EXPECT_EQ(Text(ResolveTransitionDate(absolute, St(2005, 1, 1))), "2003-03-30 02:00:00");

    auto none = Rule(0, 3, 4, 2);
    const auto r = ResolveTransitionDate(none, St(2005, 1, 1));
    EXPECT_EQ(r.wYear, 2005);
    EXPECT_EQ(r.wMonth, 0);
    EXPECT_EQ(r.wDay, 4);
    EXPECT_EQ(r.wDayOfWeek, 3);
}

TEST(ResolveTransitionDate, AgreesWithTheCalendarForEveryRuleShape) {
    for (int year : {1999, 2000, 2004, 2024, 2025, 2026, 2037}) {
        for (int month = 1; month <= 12; ++month) {
            for (int weekday = 0; weekday < 7; ++weekday) {
                for (int n = 1; n <= 5; ++n) {
                    const auto r = ResolveTransitionDate(Rule(month, weekday, n, 2), St(year, 1, 1));
                    ASSERT_EQ(r.wDay, timetest::NthWeekday(year, month, weekday, n))
                        << year << "-" << month << " weekday " << weekday << " occurrence " << n;
                }
            }
        }
    }
}

}  // namespace
