// The conversions under the machine's own zone. The suite is registered once per
// zone (TZ=Europe/Berlin, Australia/Sydney, America/New_York, UTC) and picks its
// expectations from TZ; under another zone only the zone-free checks run.
#include <gtest/gtest.h>

#include <cmath>

#include "time/time_conversion.h"
#include "time_test_support.h"

using namespace timetest;

namespace {

// Every hour of three years, UTC -> local -> UTC, against the model of the
// machine's zone: the only catch of a time converted at another year's bias,
// or of a zone misread alike in both directions.
TEST(MachineZone, HourlySweepRoundTrips) {
    const auto zone = MachineZone();
    if (!zone) GTEST_SKIP() << "registered only under the zones the model knows";
    const int64_t dstShift = -zone->DaylightBias * (kHour / 60);  // an hour, the sweep's step
    int repeated = 0, failures = 0;
    DATE previous = -1;
    for (int year = 2025; year <= 2027; ++year) {
        for (int64_t u = UnitsAt(year, 1, 1); u < UnitsAt(year + 1, 1, 1) && failures < 10; u += kHour) {
            DATE local;
            SYSTEMTIME localSt;
            FILETIME localFt, back;
            ASSERT_TRUE(FileTimeToLocalDate(Ft(u), &local) && LocalDateToFileTime(local, &back));
            ASSERT_TRUE(VariantTimeToSystemTime(local, &localSt) && SystemTimeToFileTime(&localSt, &localFt));
            // The second occurrence of a repeated hour has the local time of the
            // hour before; the model and the way back give the first.
            const bool isRepeat = dstShift && std::fabs(previous - local) < 1e-9;
            repeated += isRepeat;
            previous = local;
            const int64_t model = ModelUtc(*zone, Units(localFt), localSt.wYear);
            if (model != (isRepeat ? u - dstShift : u) || Units(back) != model) {
                ++failures;
                ADD_FAILURE() << "local " << Text(localSt) << ": the model's UTC is " << (model - u) / (kHour / 60)
                              << " min off, the way back " << (Units(back) - u) / (kHour / 60);
            }
        }
    }
    EXPECT_EQ(repeated, dstShift ? 3 : 0);
}

// The ends of the range (the variant table has the dates that fail on the way
// to UTC): no date after 9999, whole seconds, an output left alone on failure.
TEST(MachineZone, RangeAndResolution) {
    const DATE firstDay = -109205.0, last = 2958465.0 + 86399.0 / 86400;  // 1601-01-01, 9999-12-31 23:59:59
    FILETIME ft;
    DATE back = 1234.5;
    EXPECT_FALSE(FileTimeToLocalDate(Ft(INT64_MAX), &back));  // year 30828
    EXPECT_FALSE(FileTimeToLocalDate(Ft(INT64_MIN), &back));
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
    EXPECT_EQ(Units(ft) % 10'000'000, 0);

    // 1601-01-01 00:00 local lies before the file-time epoch east of Greenwich.
    const auto zone = MachineZone();
    if (!zone) return;
    ft = Ft(42);
    const bool converted = LocalDateToFileTime(firstDay, &ft);
    EXPECT_EQ(converted, zone->Bias >= 0);
    EXPECT_EQ(Units(ft), converted ? zone->Bias * (kHour / 60) : 42);
}

}  // namespace
