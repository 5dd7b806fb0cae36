// Time conversions and time arguments. The suite is registered once per zone
// (TZ=Europe/Berlin, Australia/Sydney, America/New_York, UTC) and picks its
// expectations from TZ; the explicit-zone sweep and the argument checks do not
// depend on the machine's zone. The model of the civil calendar and of zone
// rules below is independent of the platform.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>

#include "time/time_args.h"
#include "time/time_conversion.h"
#include "support/com_test.h"
#include "support/file_time.h"
#include "support/malloc_spy.h"

using comtest::Ft, comtest::Units;
using comtest::Ref, comtest::Typed, comtest::VarBstr, comtest::VarDate, comtest::VarEmpty, comtest::VarR8;

namespace {

inline std::string Text(const SYSTEMTIME& st) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                  st.wSecond);
    return buf;
}
constexpr int64_t kHour = 36'000'000'000;
constexpr int64_t kDay = 24 * kHour;

// Days since 1970-01-01 in the proleptic Gregorian calendar.
inline int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + static_cast<int64_t>(yoe * 365 + yoe / 4 - yoe / 100 + doy) - 719468;
}
// Day of month of the n-th (1..4) or last (5) given weekday (0 = Sunday).
inline int NthWeekday(int y, int m, int weekday, int n) {
    const int64_t first = DaysFromCivil(y, m, 1);
    const int length = static_cast<int>(DaysFromCivil(m == 12 ? y + 1 : y, m % 12 + 1, 1) - first);
    int day = 1 + (weekday - static_cast<int>((first % 7 + 11) % 7) + 7) % 7 + 7 * (n - 1);
    while (day > length) day -= 7;
    return day;
}
inline int64_t UnitsAt(int y, int m, int d, int h = 0, int mi = 0) {
    return 116'444'736'000'000'000 + DaysFromCivil(y, m, d) * kDay + h * kHour + mi * (kHour / 60);
}

inline SYSTEMTIME Rule(int month, int weekday, int occurrence, int hour, int minute = 0) {
    return {0, WORD(month), WORD(weekday), WORD(occurrence), WORD(hour), WORD(minute), 0, 0};
}

inline TIME_ZONE_INFORMATION Zone(LONG bias, SYSTEMTIME daylight, SYSTEMTIME standard, LONG daylightBias = -60) {
    return {bias, {}, standard, 0, {}, daylight, daylightBias};
}

// The model: daylight time runs from one transition to the other in local wall
// time, each taken at the start of its hour in the converted time's own year;
// so the skipped hour counts as daylight time and the repeated hour as its
// first (daylight) occurrence. No daylight bias or no rules: never daylight.
inline int64_t ModelUtc(const TIME_ZONE_INFORMATION& tz, int64_t local, int year) {
    bool daylight = false;
    if (tz.DaylightBias && tz.DaylightDate.wMonth && tz.StandardDate.wMonth) {
        auto at = [year](const SYSTEMTIME& r) {
            // Occurrences 0 and 6 are out of range and mean the first.
            const int n = r.wDay >= 1 && r.wDay <= 5 ? r.wDay : 1;
            const int day = r.wYear ? r.wDay : NthWeekday(year, r.wMonth, r.wDayOfWeek, n);
            return UnitsAt(year, r.wMonth, day, r.wHour);
        };
        const int64_t start = at(tz.DaylightDate), end = at(tz.StandardDate);
        daylight = start < end ? local >= start && local < end : local >= start || local < end;
    }
    return local + (tz.Bias + (daylight ? tz.DaylightBias : 0)) * (kHour / 60);
}

// The zones the suites are registered under (TZ), with today's rules (valid since 2008).
inline const TIME_ZONE_INFORMATION kBerlin = Zone(-60, Rule(3, 0, 5, 2), Rule(10, 0, 5, 3));
inline const TIME_ZONE_INFORMATION kSydney = Zone(-600, Rule(10, 0, 1, 2), Rule(4, 0, 1, 3));
inline const TIME_ZONE_INFORMATION kNewYork = Zone(300, Rule(3, 0, 2, 2), Rule(11, 0, 1, 2));
inline std::optional<TIME_ZONE_INFORMATION> MachineZone() {
    const std::pair<const char*, TIME_ZONE_INFORMATION> zones[] = {
        {"Europe/Berlin", kBerlin}, {"Australia/Sydney", kSydney}, {"America/New_York", kNewYork}, {"UTC", {}}};
    char tz[128] = "";
    GetEnvironmentVariableA("TZ", tz, sizeof tz);
    for (const auto& [name, zone] : zones)
        if (std::string(tz) == name) return zone;
    return std::nullopt;
}

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
    for (int64_t u : {INT64_MAX /* year 30828 */, INT64_MIN, UnitsAt(10001, 1, 1)})
        EXPECT_FALSE(FileTimeToLocalDate(Ft(u), &back)) << u;
    EXPECT_EQ(back, 1234.5);
    ASSERT_TRUE(LocalDateToFileTime(last, &ft));
    ASSERT_TRUE(FileTimeToLocalDate(ft, &back));
    EXPECT_DOUBLE_EQ(back, last);

    const int64_t u = UnitsAt(2026, 1, 15, 12);
    DATE whole, withFraction;
    ASSERT_TRUE(FileTimeToLocalDate(Ft(u), &whole) && FileTimeToLocalDate(Ft(u + 9'999'999), &withFraction));
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
        {"absolute dates", Zone(-60, {2003, 3, 0, 30, 2, 0, 0, 0}, {2003, 10, 0, 26, 3, 0, 0, 0})},
        {"occurrences out of range", Zone(-60, Rule(3, 0, 0, 2), Rule(10, 0, 6, 3))},
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

// Never destroyed: the runtime may still call the spy while the process exits.
comtest::MallocSpy& g_spy = *new comtest::MallocSpy;

class TimeArgs : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(CoRegisterMallocSpy(&g_spy), S_OK); }
    void TearDown() override {
        g_spy.failNext = false;
        EXPECT_EQ(std::exchange(g_spy.unknownFrees, 0), 0) << "task memory freed twice";
    }
};

constexpr LONGLONG kUntouched = 0x0123456789abcdefLL;

LONGLONG LocalUnits(DATE local) {
    FILETIME ft{};
    EXPECT_TRUE(LocalDateToFileTime(local, &ft));
    return Units(ft);
}

// A date comes back from the historian as the date it went as: at the bias of
// its own season, not today's.
TEST_F(TimeArgs, EachKindOfVariantAndEachDateBack) {
    DATE date = 38353.5;  // 2005-01-01 12:00 local
    VARIANT inner = VarR8(date);
    BSTR text = SysAllocString(L"NOW-1H");
    const struct {
        const char* name;
        VARIANT v;
        HRESULT hr;
        const wchar_t* text;  // null: a date (or a failure)
        DATE local = 0;
    } cases[] = {
        {"relative text", VarBstr(L"NOW-1H"), S_OK, L"NOW-1H"},
        {"empty text", VarBstr(L""), S_OK, L""},
        {"null string", VarBstr(nullptr), S_OK, L""},
        {"text with a zero inside", Typed(VT_BSTR, SysAllocStringLen(L"NOW\0-1D", 7)), S_OK, L"NOW"},
        {"number", VarR8(date), S_OK, nullptr, date},
        {"number in the other season", VarR8(47000.0 + 13.0 / 86400), S_OK, nullptr, 47000.0 + 13.0 / 86400},
        {"empty: day zero, not now", VarEmpty(), S_OK, nullptr, 0.0},
        {"variant by reference", Ref(VT_VARIANT, &inner), S_OK, nullptr, date},
        {"string by reference is no relative time", Ref(VT_BSTR, &text), DISP_E_TYPEMISMATCH, nullptr},
        {"null", Typed(VT_NULL, 0), DISP_E_TYPEMISMATCH, nullptr},
        {"date before 1601", VarDate(-109206.5), E_FAIL, nullptr},
        {"year 10000", VarDate(2958466.0), E_FAIL, nullptr},
        // The platform's conversion turns NaN into 30 December 1899 (and refuses infinities itself).
        {"NaN date", VarDate(std::numeric_limits<double>::quiet_NaN()), E_FAIL, nullptr},
        {"NaN number", VarR8(std::numeric_limits<double>::quiet_NaN()), E_FAIL, nullptr},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.name);
        const VARTYPE before = V_VT(&c.v);
        OPCHDA_TIME t{!c.text, nullptr, Ft(kUntouched)};
        ASSERT_EQ(TimeArgToHdaTime(&c.v, &t), c.hr);
        EXPECT_EQ(V_VT(&c.v), before) << "the client's variant is not coerced in place";
        EXPECT_EQ(t.bString, c.text != nullptr);
        if (FAILED(c.hr)) {
            EXPECT_EQ(t.szTime, nullptr);
            EXPECT_EQ(Units(t.ftTime), kUntouched) << "no undefined time may be sent on";
        } else {
            ASSERT_TRUE(g_spy.IsLive(t.szTime)) << "text not from task memory";
            EXPECT_NE(static_cast<void*>(t.szTime), before == VT_BSTR ? V_BSTR(&c.v) : nullptr) << "not copied";
            EXPECT_STREQ(t.szTime, c.text ? c.text : L"");
            EXPECT_EQ(Units(t.ftTime), c.text ? kUntouched : LocalUnits(c.local));
            CoTaskMemFree(t.szTime);
            if (!c.text) {
                VARIANT back = VarBstr(L"NOW");  // whatever the variant held is replaced
                HdaTimeToTimeArg(&t, &back);
                ASSERT_EQ(V_VT(&back), VT_DATE);
                EXPECT_NEAR(V_DATE(&back), c.local, 1e-9);
            }
        }
        if (before == VT_BSTR) VariantClear(&c.v);
    }
    SysFreeString(text);
}

// A record's previous text is freed whatever the outcome; the pair owns both
// texts, and a failure on either bound leaves them for the holder to free.
TEST_F(TimeArgs, TextsAreFreedWhateverTheOutcomeAndThePairConvertsStartThenEndAndWritesBack) {
    OPCHDA_TIME t{FALSE, static_cast<LPWSTR>(CoTaskMemAlloc(16)), Ft(kUntouched)};
    LPWSTR old = t.szTime;
    VARIANT date = VarR8(38353.5), null = Typed(VT_NULL, 0), text = VarBstr(L"NOW"), bad = VarDate(-109206.5);
    ASSERT_EQ(TimeArgToHdaTime(&date, &t), S_OK);
    EXPECT_TRUE(t.szTime == old || !g_spy.IsLive(old));  // the heap may hand the block straight back
    old = t.szTime;
    EXPECT_EQ(TimeArgToHdaTime(&null, &t), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(t.szTime, nullptr);
    EXPECT_FALSE(g_spy.IsLive(old));
    for (VARIANT* v : {&text, &date}) {
        g_spy.failNext = true;
        EXPECT_EQ(TimeArgToHdaTime(v, &t), E_OUTOFMEMORY);
        EXPECT_EQ(t.szTime, nullptr);
        EXPECT_FALSE(g_spy.failNext) << "no allocation was attempted";
    }
    VariantClear(&text);

    text = VarBstr(L"NOW-1H");
    LPWSTR texts[2] = {};
    {
        HdaTimePair pair;
        ASSERT_EQ(pair.Convert(&text, &date), S_OK);
        EXPECT_STREQ(pair.Start()->szTime, L"NOW-1H");
        EXPECT_FALSE(pair.End()->bString);
        texts[0] = pair.Start()->szTime, texts[1] = pair.End()->szTime;
        // What a historian does: resolve both bounds; they are written back, a
        // time that is no date as an error.
        pair.Start()->ftTime = Ft(LocalUnits(38353.5));
        pair.End()->ftTime = Ft(INT64_MAX);
        pair.WriteBack(&text, &date);
        ASSERT_EQ(V_VT(&text), VT_DATE);
        EXPECT_DOUBLE_EQ(V_DATE(&text), 38353.5);
        ASSERT_EQ(V_VT(&date), VT_ERROR);
        EXPECT_EQ(V_ERROR(&date), E_FAIL);
    }
    EXPECT_FALSE(g_spy.IsLive(texts[0]) || g_spy.IsLive(texts[1]));

    text = VarBstr(L"NOW");
    {
        HdaTimePair pair;
        EXPECT_EQ(pair.Convert(&bad, &text), E_FAIL);
        EXPECT_EQ(pair.End()->szTime, nullptr) << "the end bound must not be converted";
        EXPECT_EQ(pair.Convert(&text, &bad), E_FAIL);
        texts[0] = pair.Start()->szTime;
        EXPECT_TRUE(g_spy.IsLive(texts[0]));
    }
    EXPECT_FALSE(g_spy.IsLive(texts[0]));
    VariantClear(&text);
}

}  // namespace
