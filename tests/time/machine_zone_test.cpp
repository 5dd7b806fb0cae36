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
            SYSTEMTIME localSt, platformLocal;
            ASSERT_TRUE(VariantTimeToSystemTime(local, &localSt));
            FILETIME localFt;
            ASSERT_TRUE(SystemTimeToFileTime(&localSt, &localFt));
            const FILETIME utcFt = Ft(u);
            SYSTEMTIME utcSt;
            ASSERT_TRUE(FileTimeToSystemTime(&utcFt, &utcSt));
            ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(&tz, &utcSt, &platformLocal));
            if (Text(platformLocal) != Text(localSt) ||
                (zone && static_cast<int64_t>(Units(localFt)) != LocalUnits(*zone, u, year))) {
                ++failures;
                ADD_FAILURE() << "UTC " << Text(utcSt) << ": local " << Text(localSt) << ", platform "
                              << Text(platformLocal) << ", zone " << (zone ? zone->name : "unknown");
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
            if (static_cast<int64_t>(Units(back)) != (isRepeat ? u - dstShift : u)) {
                ++failures;
                ADD_FAILURE() << "UTC " << Text(utcSt) << " -> local " << Text(localSt) << " -> back off by "
                              << (static_cast<int64_t>(Units(back)) - u) / (kHour / 60) << " min";
            }
            SYSTEMTIME platformUtc, ours;
            if (!isRepeat && TzSpecificLocalTimeToSystemTime(&tz, &localSt, &platformUtc) &&
                (!LocalToUtcSystemTime(nullptr, localSt, &ours) || Text(ours) != Text(platformUtc))) {
                ++failures;
                ADD_FAILURE() << "local " << Text(localSt) << ": UTC " << Text(ours) << ", platform "
                              << Text(platformUtc);
            }
        }
    }
    if (zone) {
        EXPECT_EQ(repeated, zone->daylightOffsetMinutes != zone->standardOffsetMinutes ? 3 : 0);
    }
}

// The ends of the range: no date before 1601 UTC or after 9999, whole seconds,
// and an output left alone on failure.
TEST(MachineZone, RangeAndResolution) {
    auto date = [](const SYSTEMTIME& st) {
        DATE d = 0;
        EXPECT_TRUE(SystemTimeToVariantTime(const_cast<SYSTEMTIME*>(&st), &d));
        return d;
    };
    FILETIME ft = Ft(42);
    EXPECT_FALSE(LocalDateToFileTime(date(St(1600, 12, 31, 12)), &ft));
    EXPECT_FALSE(LocalDateToFileTime(-700000.0, &ft));  // year 1 (and below VariantTime's range)
    const DATE last = date(St(9999, 12, 31, 23, 59, 59));
    EXPECT_FALSE(LocalDateToFileTime(last + 1.0, &ft));  // year 10000 is no date
    EXPECT_EQ(Units(ft), 42u);
    DATE back = 1234.5;
    EXPECT_FALSE(FileTimeToLocalDate(Ft(0x7fffffffffffffffULL), &back));  // year 30828
    EXPECT_FALSE(FileTimeToLocalDate(Ft(0x8000000000000000ULL), &back));
    EXPECT_FALSE(FileTimeToLocalDate(Ft(UnitsAt(10001, 1, 1)), &back));
    EXPECT_EQ(back, 1234.5);
    ASSERT_TRUE(LocalDateToFileTime(last, &ft));
    ASSERT_TRUE(FileTimeToLocalDate(ft, &back));
    EXPECT_DOUBLE_EQ(back, last);

    const int64_t u = UnitsAt(2026, 1, 15, 12);
    DATE whole, withFraction;
    ASSERT_TRUE(FileTimeToLocalDate(Ft(u), &whole));
    ASSERT_TRUE(FileTimeToLocalDate(Ft(u + 9'999'999), &withFraction));
    EXPECT_EQ(whole, withFraction);
    ASSERT_TRUE(LocalDateToFileTime(whole + 0.4 / 86400, &ft));
    EXPECT_EQ(static_cast<int64_t>(Units(ft)) % 10'000'000, 0);

    // 1601-01-01 00:00 local lies before the file-time epoch east of Greenwich.
    const auto zone = MachineZone();
    if (!zone) return;
    ft = Ft(42);
    const bool converted = LocalDateToFileTime(date(St(1601, 1, 1)), &ft);
    EXPECT_EQ(converted, zone->standardOffsetMinutes <= 0);
    EXPECT_EQ(static_cast<int64_t>(Units(ft)), converted ? -zone->standardOffsetMinutes * (kHour / 60) : 42);
}

}  // namespace
