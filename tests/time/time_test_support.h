// Helpers shared by the time tests: readable calendar times, an independent
// civil-calendar model of the four zones the tests run under, and a task-memory
// spy that counts live blocks and can make the next allocation fail.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "support/malloc_spy.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <string>

namespace timetest {

inline SYSTEMTIME St(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    return st;
}

inline std::string Text(const SYSTEMTIME& st) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                  st.wSecond);
    return buf;
}

inline uint64_t Units(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

inline FILETIME Ft(uint64_t units) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(units);
    ft.dwHighDateTime = static_cast<DWORD>(units >> 32);
    return ft;
}

constexpr int64_t kHour = 36'000'000'000;
constexpr int64_t kDay = 24 * kHour;

// Civil calendar arithmetic independent of the platform (proleptic Gregorian).
inline int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;  // days since 1970-01-01
}
inline int Weekday(int64_t daysSince1970) {  // 0 = Sunday
    return static_cast<int>(((daysSince1970 % 7) + 7 + 4) % 7);
}
inline int DaysInMonth(int y, int m) {
    return static_cast<int>(DaysFromCivil(m == 12 ? y + 1 : y, m == 12 ? 1 : m + 1, 1) - DaysFromCivil(y, m, 1));
}
// Day of month of the n-th (1..4) or last (5) given weekday.
inline int NthWeekday(int y, int m, int weekday, int n) {
    const int first = 1 + (weekday - Weekday(DaysFromCivil(y, m, 1)) + 7) % 7;
    int day = first + 7 * (n - 1);
    while (day > DaysInMonth(y, m)) day -= 7;
    return day;
}

constexpr int64_t kUnixEpochUnits = 116'444'736'000'000'000;  // 1970-01-01 in file time
inline int64_t UnitsAt(int y, int m, int d, int h = 0, int mi = 0) {
    return kUnixEpochUnits + DaysFromCivil(y, m, d) * kDay + h * kHour + mi * (kHour / 60);
}

// The zones the tests are registered under, with today's rules (valid since 2008).
struct KnownZone {
    const char* name;
    int standardOffsetMinutes;  // local = UTC + offset
    int daylightOffsetMinutes;
    bool (*daylightAt)(int64_t utcUnits, int year);
};

inline bool BerlinDaylight(int64_t u, int y) {
    return u >= UnitsAt(y, 3, NthWeekday(y, 3, 0, 5), 1) && u < UnitsAt(y, 10, NthWeekday(y, 10, 0, 5), 1);
}
inline bool NewYorkDaylight(int64_t u, int y) {
    return u >= UnitsAt(y, 3, NthWeekday(y, 3, 0, 2), 7) && u < UnitsAt(y, 11, NthWeekday(y, 11, 0, 1), 6);
}
inline bool SydneyDaylight(int64_t u, int y) {
    // Both changes happen at 16:00 UTC on the Saturday before the first Sunday.
    return u < UnitsAt(y, 4, NthWeekday(y, 4, 0, 1), -8) || u >= UnitsAt(y, 10, NthWeekday(y, 10, 0, 1), -8);
}
inline bool NeverDaylight(int64_t, int) { return false; }

inline std::string ZoneName() {
    char buf[128];
    const DWORD n = GetEnvironmentVariableA("TZ", buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

inline std::optional<KnownZone> MachineZone() {
    static const KnownZone zones[] = {
        {"Europe/Berlin", 60, 120, BerlinDaylight},
        {"America/New_York", -300, -240, NewYorkDaylight},
        {"Australia/Sydney", 600, 660, SydneyDaylight},
        {"UTC", 0, 0, NeverDaylight},
    };
    const std::string tz = ZoneName();
    for (const auto& z : zones)
        if (tz == z.name) return z;
    return std::nullopt;
}

// Local wall-clock time (as file-time units) of a UTC instant in a known zone.
inline int64_t LocalUnits(const KnownZone& z, int64_t utcUnits, int year) {
    const int offset = z.daylightAt(utcUnits, year) ? z.daylightOffsetMinutes : z.standardOffsetMinutes;
    return utcUnits + offset * (kHour / 60);
}

using ::testsupport::MallocSpy;

}  // namespace timetest
