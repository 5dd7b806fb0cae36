// Throughput of the time conversions under the machine's zone, and the cost of
// the zone look-up that every local -> UTC conversion pays.
//   time_bench [iterations]
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "time/time_conversion.h"

namespace {

double Seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Report(const char* what, long iterations, double seconds, long failures) {
    std::printf("%-34s %12.0f /s  %9.3f us each%s\n", what, iterations / seconds, seconds * 1e6 / iterations,
                failures ? "  (some failed!)" : "");
}

}  // namespace

int main(int argc, char** argv) {
    const long n = argc > 1 ? std::atol(argv[1]) : 200000;
    if (n <= 0) return 2;
    char tz[64] = "(unset)";
    GetEnvironmentVariableA("TZ", tz, sizeof tz);
    std::printf("zone TZ=%s, %ld iterations\n", tz, n);

    // Inputs one hour apart from 2026-01-01 so the daylight decision varies.
    const uint64_t start = 133'170'912'000'000'000ULL;  // 2026-01-01 00:00 UTC
    const uint64_t hour = 36'000'000'000ULL;
    volatile double sink = 0;
    long failures = 0;

    double t0 = Seconds();
    for (long i = 0; i < n; ++i) {
        const uint64_t u = start + static_cast<uint64_t>(i % 8760) * hour;
        FILETIME ft{static_cast<DWORD>(u), static_cast<DWORD>(u >> 32)};
        DATE d;
        if (!FileTimeToLocalDate(ft, &d)) ++failures;
        sink = sink + d;
    }
    Report("FileTimeToLocalDate (UTC->local)", n, Seconds() - t0, failures);

    failures = 0;
    t0 = Seconds();
    for (long i = 0; i < n; ++i) {
        const DATE d = 46023.0 + static_cast<double>(i % 8760) / 24;  // 2026 local, hourly
        FILETIME ft;
        if (!LocalDateToFileTime(d, &ft)) ++failures;
        sink = sink + ft.dwLowDateTime;
    }
    Report("LocalDateToFileTime (local->UTC)", n, Seconds() - t0, failures);

    TIME_ZONE_INFORMATION zone;
    GetTimeZoneInformation(&zone);
    failures = 0;
    t0 = Seconds();
    for (long i = 0; i < n; ++i) {
        SYSTEMTIME local{
            2026, static_cast<WORD>(1 + i % 12), 0, static_cast<WORD>(1 + i % 28), static_cast<WORD>(i % 24), 30, 0, 0};
        SYSTEMTIME utc;
        if (!LocalToUtcSystemTime(&zone, local, &utc)) ++failures;
        sink = sink + utc.wHour;
    }
    Report("LocalToUtcSystemTime (given zone)", n, Seconds() - t0, failures);

    t0 = Seconds();
    for (long i = 0; i < n; ++i) {
        GetTimeZoneInformation(&zone);
        sink = sink + zone.Bias;
    }
    Report("GetTimeZoneInformation", n, Seconds() - t0, 0);
    return 0;
}
