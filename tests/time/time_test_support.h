// Shared by the time tests: calendar times as text, and a model of the civil
// calendar and of the four zones the suites run under, independent of the platform.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

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
inline uint64_t Units(const FILETIME& ft) { return static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime; }
inline FILETIME Ft(uint64_t units) { return {static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)}; }

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

// The zones the suites are registered under, with today's rules (valid since 2008).
struct KnownZone {
    const char* name;
    int standardOffsetMinutes;  // local = UTC + offset
    int daylightOffsetMinutes;
    bool (*daylightAt)(int64_t utcUnits, int year);
};
inline std::optional<KnownZone> MachineZone() {
    static const KnownZone zones[] = {
        {"Europe/Berlin", 60, 120,
         [](int64_t u, int y) {
             return u >= UnitsAt(y, 3, NthWeekday(y, 3, 0, 5), 1) && u < UnitsAt(y, 10, NthWeekday(y, 10, 0, 5), 1);
         }},
        {"America/New_York", -300, -240,
         [](int64_t u, int y) {
             return u >= UnitsAt(y, 3, NthWeekday(y, 3, 0, 2), 7) && u < UnitsAt(y, 11, NthWeekday(y, 11, 0, 1), 6);
         }},
        // Both changes at 16:00 UTC on the Saturday before the first Sunday.
        {"Australia/Sydney", 600, 660,
         [](int64_t u, int y) {
             return u < UnitsAt(y, 4, NthWeekday(y, 4, 0, 1), -8) || u >= UnitsAt(y, 10, NthWeekday(y, 10, 0, 1), -8);
         }},
        {"UTC", 0, 0, [](int64_t, int) { return false; }},
    };
    char tz[128] = "";
    GetEnvironmentVariableA("TZ", tz, sizeof tz);
    for (const auto& z : zones)
        if (std::string(tz) == z.name) return z;
    return std::nullopt;
}
// Local wall-clock time (as file-time units) of a UTC instant in a known zone.
inline int64_t LocalUnits(const KnownZone& z, int64_t utcUnits, int year) {
    return utcUnits + (z.daylightAt(utcUnits, year) ? z.daylightOffsetMinutes : z.standardOffsetMinutes) * (kHour / 60);
}

}  // namespace timetest
