// Local -> UTC under explicit zone descriptions: every half hour of two years
// whose rules fall on different days, for every zone shape, against an
// independent model; and the rule resolution against the calendar for every
// rule shape.
#include <gtest/gtest.h>

#include "time/time_conversion.h"
#include "time_test_support.h"

using namespace timetest;

namespace {

// Milliseconds are carried and the caller's weekday is not judged.
TEST(LocalToUtc, EveryHalfHourOfEveryZoneShapeFollowsTheModel) {
    auto standardBias = kBerlin;
    standardBias.StandardBias = 30;  // takes no part
    const struct {
        const char* name;
        TIME_ZONE_INFORMATION tz;
    } zones[] = {
        {"northern", kBerlin},
        {"southern", kSydney},
        {"western", kNewYork},
        {"transitions at odd minutes", Zone(-60, Rule(3, 0, 5, 2, 30), Rule(10, 0, 5, 3, 45))},
        {"standard bias", standardBias},
        {"no daylight bias, rules the calendar cannot place", Zone(-60, Rule(13, 9, 7, 30), Rule(10, 0, 5, 3), 0)},
        {"no rules (Wine's UTC)", Zone(-60, Rule(0, 0, 0, 0), Rule(0, 0, 0, 0))},
        {"absolute dates", Zone(-60, St(2003, 3, 30, 2), St(2003, 10, 26, 3))},
    };
    for (const auto& [name, tz] : zones) {
        int failures = 0;
        for (int year : {2004, 2026}) {
            for (int64_t local = UnitsAt(year, 1, 1); local < UnitsAt(year + 1, 1, 1) && failures < 5;
                 local += kHour / 2) {
                SYSTEMTIME localSt{}, utc{}, expected{};
                FILETIME ft = Ft(local);
                ASSERT_TRUE(FileTimeToSystemTime(&ft, &localSt));
                localSt.wMilliseconds = static_cast<WORD>(local / kHour % 1000);
                localSt.wDayOfWeek = (localSt.wDayOfWeek + 3) % 7;
                ASSERT_TRUE(LocalToUtcSystemTime(&tz, localSt, &utc)) << name << " " << Text(localSt);
                ft = Ft(ModelUtc(tz, local, year));
                FileTimeToSystemTime(&ft, &expected);
                if (Text(utc) != Text(expected) || utc.wMilliseconds != localSt.wMilliseconds ||
                    utc.wDayOfWeek != expected.wDayOfWeek) {
                    ++failures;
                    ADD_FAILURE() << name << ": local " << Text(localSt) << " gave " << Text(utc) << "."
                                  << utc.wMilliseconds << ", expected " << Text(expected);
                }
            }
        }
    }
}

// The rule's other fields are kept: the sweep's odd minutes and absolute dates,
// and the rules the calendar cannot place, depend on them.
TEST(ResolveTransitionDate, AgreesWithTheCalendarForEveryRuleShape) {
    for (int year : {1999, 2000, 2004, 2024, 2025, 2026, 2037, 2100}) {
        for (int month = 1; month <= 12; ++month) {
            for (int weekday = 0; weekday < 7; ++weekday) {
                // Week 5 is the last occurrence; 0 and 6 are out of range and mean the first.
                for (int n = 0; n <= 6; ++n) {
                    const auto r = ResolveTransitionDate(Rule(month, weekday, n, 2), St(year, 1, 1));
                    ASSERT_EQ(r.wDay, NthWeekday(year, month, weekday, n == 0 || n == 6 ? 1 : n))
                        << year << "-" << month << " weekday " << weekday << " occurrence " << n;
                    ASSERT_EQ(r.wYear, year);
                }
            }
        }
    }
}

}  // namespace
