// The conversions under the machine's own zone. The suite is registered once per
// zone (TZ=Europe/Berlin, Australia/Sydney, America/New_York, UTC) and picks its
// expectations from TZ; under another zone only the zone-free checks run.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "time/time_conversion.h"
#include "time_test_support.h"

using namespace timetest;

namespace {

DATE Date(const SYSTEMTIME& st) {
    DATE d = 0;
    EXPECT_TRUE(SystemTimeToVariantTime(const_cast<SYSTEMTIME*>(&st), &d));
    return d;
}

SYSTEMTIME Calendar(int64_t units) {
    const FILETIME ft = Ft(static_cast<uint64_t>(units));
    SYSTEMTIME st{};
    EXPECT_TRUE(FileTimeToSystemTime(&ft, &st));
    return st;
}

std::string UtcOf(DATE local) {
    FILETIME ft = Ft(0x0123456789abcdefULL);
    if (!LocalDateToFileTime(local, &ft)) return "failed";
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st)) return "bad file time";
    return Text(st);
}

std::string LocalOf(uint64_t utcUnits) {
    DATE d = 0;
    if (!FileTimeToLocalDate(Ft(utcUnits), &d)) return "failed";
    SYSTEMTIME st;
    if (!VariantTimeToSystemTime(d, &st)) return "bad date";
    return Text(st);
}

TEST(MachineZone, IsOneTheTestsKnow) {
    if (!MachineZone()) GTEST_SKIP() << "TZ='" << ZoneName() << "': zone-specific checks skipped";
    TIME_ZONE_INFORMATION tz;
    GetTimeZoneInformation(&tz);
    EXPECT_EQ(-tz.Bias, MachineZone()->standardOffsetMinutes) << "Wine does not follow TZ";
}

TEST(MachineZone, UtcToLocalUsesTheRulesOfTheConvertedYear) {
    const auto zone = MachineZone();
    if (!zone) GTEST_SKIP();
    for (int year : {2008, 2015, 2024, 2030, 2037}) {
        for (int month = 1; month <= 12; ++month) {
            const int64_t u = UnitsAt(year, month, 10, 12);
            EXPECT_EQ(LocalOf(u), Text(Calendar(LocalUnits(*zone, u, year)))) << year << "-" << month;
        }
    }
}

// Every hour of three years, UTC -> local -> UTC. Checks the UTC -> local
// direction against the model of the zone and against the platform's conversion
// under an explicit copy of the machine's zone, and the way back against the
// platform's local -> UTC call.
TEST(MachineZone, HourlySweepRoundTrips) {
    const auto zone = MachineZone();
    TIME_ZONE_INFORMATION tz;
    GetTimeZoneInformation(&tz);
    const int64_t dstShift = static_cast<int64_t>(-tz.DaylightBias) * (kHour / 60);
    int repeated = 0, failures = 0;
    for (int year = 2025; year <= 2027 && failures < 10; ++year) {
        for (int64_t u = UnitsAt(year, 1, 1); u < UnitsAt(year + 1, 1, 1) && failures < 10; u += kHour) {
            DATE local;
            ASSERT_TRUE(FileTimeToLocalDate(Ft(u), &local));
            SYSTEMTIME localSt;
            ASSERT_TRUE(VariantTimeToSystemTime(local, &localSt));
            FILETIME localFt;
            ASSERT_TRUE(SystemTimeToFileTime(&localSt, &localFt));

            const SYSTEMTIME utcSt = Calendar(u);
            SYSTEMTIME platformLocal;
            ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(&tz, &utcSt, &platformLocal));
            if (Text(platformLocal) != Text(localSt)) {
                ++failures;
                ADD_FAILURE() << "UTC " << Text(utcSt) << ": local " << Text(localSt) << ", platform "
                              << Text(platformLocal);
            }
            if (zone && static_cast<int64_t>(Units(localFt)) != LocalUnits(*zone, u, year)) {
                ++failures;
                ADD_FAILURE() << "UTC " << Text(utcSt) << ": local " << Text(localSt) << " disagrees with "
                              << zone->name;
            }

            // The second occurrence of a repeated hour has the same local time as the
            // instant one daylight shift earlier; it comes back as that instant.
            bool isRepeat = false;
            if (dstShift != 0) {
                DATE earlier;
                ASSERT_TRUE(FileTimeToLocalDate(Ft(u - dstShift), &earlier));
                isRepeat = std::fabs(earlier - local) < 1e-9;
            }
            repeated += isRepeat;
            FILETIME back;
            ASSERT_TRUE(LocalDateToFileTime(local, &back));
            const int64_t expected = isRepeat ? u - dstShift : u;
            if (static_cast<int64_t>(Units(back)) != expected) {
                ++failures;
                ADD_FAILURE() << "UTC " << Text(utcSt) << " -> local " << Text(localSt) << " -> back off by "
                              << (static_cast<int64_t>(Units(back)) - u) / (kHour / 60) << " min";
            }
            if (!isRepeat) {
                SYSTEMTIME platformUtc;
                ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(&tz, &localSt, &platformUtc));
                SYSTEMTIME ours;
                ASSERT_TRUE(LocalToUtcSystemTime(nullptr, localSt, &ours));
                if (Text(ours) != Text(platformUtc)) {
                    ++failures;
                    ADD_FAILURE() << "local " << Text(localSt) << ": UTC " << Text(ours) << ", platform "
                                  << Text(platformUtc);
                }
            }
        }
    }
    if (zone) {
        EXPECT_EQ(repeated, zone->daylightOffsetMinutes != zone->standardOffsetMinutes ? 3 : 0);
    }
}

TEST(MachineZoneRange, DatesBefore1601DoNotConvert) {
    FILETIME ft = Ft(42);
    EXPECT_FALSE(LocalDateToFileTime(Date(St(1600, 12, 31, 12)), &ft));
    EXPECT_FALSE(LocalDateToFileTime(-700000.0, &ft));  // year 1 (and below VariantTime's range)
    EXPECT_EQ(Units(ft), 42u);

    // 1601-01-01 00:00 local lies before the file-time epoch east of Greenwich.
    const auto zone = MachineZone();
    if (!zone) return;
    const DATE epochLocal = Date(St(1601, 1, 1));
    if (zone->standardOffsetMinutes > 0) {
        EXPECT_EQ(UtcOf(epochLocal), "failed");
    } else {
        EXPECT_EQ(UtcOf(epochLocal), Text(St(1601, 1, 1, -zone->standardOffsetMinutes / 60)));
    }
}

TEST(MachineZoneRange, TopOfTheDateRange) {
    const DATE last = Date(St(9999, 12, 31, 23, 59, 59));
    FILETIME ft;
    ASSERT_TRUE(LocalDateToFileTime(last, &ft));
    DATE back = 0;
    ASSERT_TRUE(FileTimeToLocalDate(ft, &back));
    EXPECT_DOUBLE_EQ(back, last);

    FILETIME untouched = Ft(42);
    EXPECT_FALSE(LocalDateToFileTime(last + 1.0, &untouched));  // year 10000 is no date
    EXPECT_EQ(Units(untouched), 42u);

    DATE d = 1234.5;
    EXPECT_FALSE(FileTimeToLocalDate(Ft(0x7fffffffffffffffULL), &d));  // year 30828
    EXPECT_FALSE(FileTimeToLocalDate(Ft(0x8000000000000000ULL), &d));
    EXPECT_FALSE(FileTimeToLocalDate(Ft(UnitsAt(10001, 1, 1)), &d));
    EXPECT_EQ(d, 1234.5);
}

TEST(MachineZoneRange, DatesCarryWholeSeconds) {
    const int64_t u = UnitsAt(2026, 1, 15, 12);
    DATE whole, withFraction;
    ASSERT_TRUE(FileTimeToLocalDate(Ft(u), &whole));
    ASSERT_TRUE(FileTimeToLocalDate(Ft(u + 9'999'999), &withFraction));
    EXPECT_EQ(whole, withFraction);

    FILETIME ft;
    ASSERT_TRUE(LocalDateToFileTime(whole + 0.4 / 86400, &ft));
    EXPECT_EQ(static_cast<int64_t>(Units(ft)) % 10'000'000, 0);
}

}  // namespace
