#include "time/time_conversion.h"

#include <cmath>
#include <cstdint>

#include "com/file_time.h"
#include "com/floating_point_defaults.h"

namespace {

constexpr int64_t kUnitsPerMinute = 600'000'000;

// Calendar fields -> file time, failing for a date that does not exist. Wine
// rolls an impossible date over (29 February 2005 becomes 1 March) where
// Windows fails; the round trip makes both answer alike.
bool ToFileTime(const SYSTEMTIME& st, FILETIME* ft, SYSTEMTIME* normalized) {
    SYSTEMTIME back;
    if (!SystemTimeToFileTime(&st, ft) || !FileTimeToSystemTime(ft, &back)) return false;
    if (back.wYear != st.wYear || back.wMonth != st.wMonth || back.wDay != st.wDay || back.wHour != st.wHour ||
        back.wMinute != st.wMinute || back.wSecond != st.wSecond || back.wMilliseconds != st.wMilliseconds)
        return false;
    if (normalized) *normalized = back;
    return true;
}

bool ToUnits(const SYSTEMTIME& st, int64_t* units) {
    FILETIME ft;
    if (!ToFileTime(st, &ft, nullptr)) return false;
    *units = TicksOf(ft);
    return true;
}

bool FromUnits(int64_t units, SYSTEMTIME* st) {
    if (units < 0) return false;
    const FILETIME ft = FileTimeOf(units);
    return FileTimeToSystemTime(&ft, st) != FALSE;
}

// Adds a bias in minutes; an overflow is reported as a time that does not exist.
bool AddBiasMinutes(int64_t* units, LONG minutes) {
    return !__builtin_add_overflow(*units, static_cast<int64_t>(minutes) * kUnitsPerMinute, units);
}

// Whether `date` exists in the calendar; on success `*roundTrip` has the
// platform's weekday filled in.
bool NormalizeDate(const SYSTEMTIME& date, SYSTEMTIME* roundTrip) {
    FILETIME ft;
    return ToFileTime(date, &ft, roundTrip);
}

// True when `local` lies from `a` (inclusive) to `b` (exclusive) within one year.
// Only month, day and hour take part: a transition at a non-zero minute is taken
// at the start of its hour.
bool InsideSpan(const SYSTEMTIME& local, const SYSTEMTIME& a, const SYSTEMTIME& b) {
    if (local.wMonth == b.wMonth) return local.wDay < b.wDay || (local.wDay == b.wDay && local.wHour < b.wHour);
    if (local.wMonth == a.wMonth) return local.wDay > a.wDay || (local.wDay == a.wDay && local.wHour >= a.wHour);
    return a.wMonth < local.wMonth && local.wMonth < b.wMonth;
}

}  // namespace

SYSTEMTIME ResolveTransitionDate(SYSTEMTIME rule, SYSTEMTIME reference) {
    if (rule.wYear != 0) return rule;  // absolute date
    rule.wYear = reference.wYear;
    // No transition: no local month is 0, so the day never matters.
    if (rule.wMonth == 0) return rule;

    SYSTEMTIME work = rule;
    work.wDay = 1;
    SYSTEMTIME firstOfMonth;
    // A rule the platform cannot place in the calendar stays as it is; the
    // month/day/hour comparison then reads its fields literally.
    if (!NormalizeDate(work, &firstOfMonth)) return rule;

    const int w1 = firstOfMonth.wDayOfWeek;
    const int first = 1 + ((static_cast<int>(rule.wDayOfWeek) - w1 + 7 * 7) % 7);
    const int n = rule.wDay;

    int day = first;
    if (n >= 1 && n <= 4) {
        day = first + 7 * (n - 1);
    } else if (n == 5) {
        // The last occurrence: step forward by weeks while the date still exists.
        int k = 1;
        for (; k <= 5; ++k) {
            work.wDay = static_cast<WORD>(first + 7 * k);
            SYSTEMTIME back;
            if (!NormalizeDate(work, &back) || back.wDay != work.wDay) break;
        }
        day = first + 7 * (k - 1);
    }
    rule.wDay = static_cast<WORD>(day);
    return rule;
}

bool LocalToUtcSystemTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME& local, SYSTEMTIME* utc) {
    if (!utc) return false;
    TIME_ZONE_INFORMATION tz;
    if (zone) {
        tz = *zone;
    } else {
        tz = CallZone().Info();
    }

    int64_t t;  // the local time read as if it were UTC
    if (!ToUnits(local, &t)) return false;
    if (!AddBiasMinutes(&t, tz.Bias)) return false;

    if (tz.DaylightBias != 0) {
        // Southern zones have daylight time across the turn of the year.
        const bool southern = tz.StandardDate.wMonth < tz.DaylightDate.wMonth;
        const SYSTEMTIME s = ResolveTransitionDate(tz.StandardDate, local);
        const SYSTEMTIME d = ResolveTransitionDate(tz.DaylightDate, local);
        const SYSTEMTIME& a = southern ? s : d;
        const SYSTEMTIME& b = southern ? d : s;
        const bool daylight = InsideSpan(local, a, b) != southern;
        if (daylight && !AddBiasMinutes(&t, tz.DaylightBias)) return false;
    }

    SYSTEMTIME out;
    if (!FromUnits(t, &out)) return false;
    *utc = out;
    return true;
}

namespace {

ZoneSource g_zoneSource = GetTimeZoneInformation;

// Local calendar time -> date, whole seconds on every platform (Wine's
// SystemTimeToVariantTime would keep milliseconds). The platform sums the
// date's parts in the caller's floating-point state: at 64-bit x87 precision a
// third of all seconds would come out a bit off.
bool ToDate(SYSTEMTIME localTime, DATE* local) {
    const FloatingPointDefaults floatingPoint;
    localTime.wMilliseconds = 0;
    DATE date;
    if (!SystemTimeToVariantTime(&localTime, &date)) return false;
    *local = date;
    return true;
}

}  // namespace

ZoneSource SetZoneSource(ZoneSource source) noexcept {
    ZoneSource previous = g_zoneSource;
    g_zoneSource = source ? source : GetTimeZoneInformation;
    return previous;
}

CallZone::CallZone() noexcept : zone_{}, currentBias_(0) {
    const DWORD id = g_zoneSource(&zone_);
    currentBias_ = zone_.Bias;
    if (id == TIME_ZONE_ID_DAYLIGHT)
        currentBias_ += zone_.DaylightBias;
    else if (id == TIME_ZONE_ID_STANDARD)
        currentBias_ += zone_.StandardBias;
}

bool CallZone::ToLocalDate(const FILETIME& utc, DATE* local) const {
    if (!local) return false;
    SYSTEMTIME utcTime, localTime;
    if (!FileTimeToSystemTime(&utc, &utcTime)) return false;
    if (!SystemTimeToTzSpecificLocalTime(&zone_, &utcTime, &localTime)) return false;
    return ToDate(localTime, local);
}

bool CallZone::ToLocalDateAtCurrentBias(const FILETIME& utc, DATE* local) const {
    if (!local) return false;
    int64_t t = TicksOf(utc);
    SYSTEMTIME localTime;
    if (t < 0 || !AddBiasMinutes(&t, -currentBias_) || !FromUnits(t, &localTime)) return false;
    return ToDate(localTime, local);
}

bool CallZone::ToFileTime(DATE local, FILETIME* utc) const {
    // The platform splits the date in the caller's floating-point state too.
    const FloatingPointDefaults floatingPoint;
    // The platform turns NaN into day 0 (30 December 1899): no date, no time.
    if (!utc || !std::isfinite(local)) return false;
    SYSTEMTIME localTime, utcTime;
    FILETIME ft;
    if (!VariantTimeToSystemTime(local, &localTime)) return false;
    if (!LocalToUtcSystemTime(&zone_, localTime, &utcTime)) return false;
    if (!SystemTimeToFileTime(&utcTime, &ft)) return false;
    *utc = ft;
    return true;
}

bool FileTimeToLocalDate(const FILETIME& utc, DATE* local) { return CallZone().ToLocalDate(utc, local); }

bool FileTimeToLocalDateAtCurrentBias(const FILETIME& utc, DATE* local) {
    return CallZone().ToLocalDateAtCurrentBias(utc, local);
}

bool LocalDateToFileTime(DATE local, FILETIME* utc) { return CallZone().ToFileTime(local, utc); }
