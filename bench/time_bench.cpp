// Throughput of the time conversions under the machine's zone: one at a time
// (each reads the zone) and as a client call makes them (the zone read once),
// the cost of reading the zone itself, and of the floating-point scope that
// every conversion opens, in a caller's state that it changes and in the
// defaults, which it only reads.
//   time_bench [iterations]
#include <windows.h>
#include <float.h>
#include <oleauto.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>

#include "com/file_time.h"
#include "com/floating_point_defaults.h"
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

void Report(const char* name, long iterations, double seconds, long failures) {
    if (failures) std::printf("%s: %ld of %ld conversions failed\n", name, failures, iterations);
    std::printf("bench: %s %.0f conversions/s\n", name, iterations / seconds);
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
        FILETIME ft = FileTimeOf(u);
        DATE d;
        if (!FileTimeToLocalDate(ft, &d)) ++failures;
        sink = sink + d;
    }
    Report("time_utc_to_local_single", n, Seconds() - t0, failures);

    // As a history converts: the zone read once for the whole call.
    failures = 0;
    t0 = Seconds();
    {
        const CallZone zone;
        for (long i = 0; i < n; ++i) {
            const uint64_t u = start + static_cast<uint64_t>(i % 8760) * hour;
            FILETIME ft = FileTimeOf(u);
            DATE d;
            if (!zone.ToLocalDate(ft, &d)) ++failures;
            sink = sink + d;
        }
    }
    Report("time_utc_to_local", n, Seconds() - t0, failures);

    failures = 0;
    t0 = Seconds();
    for (long i = 0; i < n; ++i) {
        const DATE d = 46023.0 + static_cast<double>(i % 8760) / 24;  // 2026 local, hourly
        FILETIME ft;
        if (!LocalDateToFileTime(d, &ft)) ++failures;
        sink = sink + ft.dwLowDateTime;
    }
    Report("time_local_to_utc_single", n, Seconds() - t0, failures);

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
    Report("time_local_to_utc_given_zone", n, Seconds() - t0, failures);

    t0 = Seconds();
    for (long i = 0; i < n; ++i) {
        GetTimeZoneInformation(&zone);
        sink = sink + zone.Bias;
    }
    std::printf("bench: time_zone_fetch %.0f fetches/s\n", n / (Seconds() - t0));

    // The scope in a caller's state that it changes (another rounding), and
    // nested in one of its own, where it only reads the defaults.
    const unsigned own = _controlfp(0, 0);
    for (const bool changing : {true, false}) {
        _controlfp(_RC_CHOP, _MCW_RC);  // x87 and SSE rounding
        {
            std::optional<FloatingPointDefaults> outer;
            if (!changing) outer.emplace();
            t0 = Seconds();
            for (long i = 0; i < n; ++i) {
                const FloatingPointDefaults floatingPoint;
                sink = sink + 1;
            }
        }
        std::printf("bench: floating_point_scope_%s %.1f ns\n", changing ? "changing" : "reading",
                    (Seconds() - t0) * 1e9 / n);
    }
    _controlfp(own, _MCW_RC);
    return 0;
}
