// Conversions between the historian's UTC file times and the client's local
// automation dates.
//
// UTC -> local uses the platform's own zone conversion. Local -> UTC is computed
// here from the zone description, because the oldest supported systems lack the
// platform call for that direction.
//
// The machine's zone is read once per client call (CallZone) and never kept
// beyond it, so a zone change takes effect on the next call. Reading it costs
// about as much as a conversion itself, which matters for a call that
// converts thousands of times.
//
// Every function returns false on failure and then leaves its output untouched.
#pragma once

#include <windows.h>
#include <oleauto.h>

// The machine's zone as one client call sees it: fetched when the call makes
// it, used for every time that call converts, then dropped.
class CallZone {
public:
    CallZone() noexcept;

    // UTC file time -> local date under the rules of the time's own year.
    bool ToLocalDate(const FILETIME& utc, DATE* local) const;
    // UTC file time -> local date under the bias in force when the zone was
    // fetched (the platform's FileTimeToLocalFileTime).
    bool ToLocalDateAtCurrentBias(const FILETIME& utc, DATE* local) const;
    // Local date -> UTC file time.
    bool ToFileTime(DATE local, FILETIME* utc) const;

    const TIME_ZONE_INFORMATION& Info() const { return zone_; }

private:
    TIME_ZONE_INFORMATION zone_;
    LONG currentBias_;  // minutes, daylight or standard as in force at the fetch
};

// Where CallZone reads the machine's zone: GetTimeZoneInformation. A test
// replaces it to change the zone between two calls, which Wine cannot do
// inside a running process. Returns the source in place before.
using ZoneSource = DWORD(WINAPI*)(LPTIME_ZONE_INFORMATION);
ZoneSource SetZoneSource(ZoneSource source) noexcept;

// The same conversions for a single time, each under the zone as it is now.
// UTC file time -> local automation date (whole seconds; milliseconds are lost).
bool FileTimeToLocalDate(const FILETIME& utc, DATE* local);

// UTC file time -> local automation date under the bias in force now rather
// than the one of the time's own date (the platform's FileTimeToLocalFileTime);
// whole seconds, as every other date.
bool FileTimeToLocalDateAtCurrentBias(const FILETIME& utc, DATE* local);

// Local automation date -> UTC file time (the date is rounded to whole seconds).
bool LocalDateToFileTime(DATE local, FILETIME* utc);

// Local calendar time -> UTC calendar time under `zone`, or under the machine's
// current zone when `zone` is null. The daylight rules are resolved for the year
// of `local`. A local time in the skipped hour or in the repeated hour counts as
// daylight time.
bool LocalToUtcSystemTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME& local, SYSTEMTIME* utc);

// Resolves a zone transition rule (a StandardDate or DaylightDate) to a date in
// the year of `reference`. Rules with a year are absolute and come back unchanged;
// rules with month 0 (no transition) only receive the reference's year.
SYSTEMTIME ResolveTransitionDate(SYSTEMTIME rule, SYSTEMTIME reference);
