// Shared by the time tests: calendar times as text, and a model of the civil
// calendar and of zone rules, independent of the platform, with the four zones
// the suites run under.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "support/file_time.h"

namespace timetest {

inline SYSTEMTIME St(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return {WORD(y), WORD(mo), 0, WORD(d), WORD(h), WORD(mi), WORD(s), 0};
}
inline std::string Text(const SYSTEMTIME& st) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                  st.wSecond);
    return buf;
}
using testsupport::Ft;
using testsupport::Units;

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
            const int day = r.wYear ? r.wDay : NthWeekday(year, r.wMonth, r.wDayOfWeek, r.wDay);
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

}  // namespace timetest
