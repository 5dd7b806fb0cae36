// Conversions between the historian's UTC file times and the client's local
// automation dates.
//
// UTC -> local uses the platform's own zone conversion. Local -> UTC is computed
// here from the zone description, because the oldest supported systems lack the
// platform call for that direction. Nothing is cached: every conversion reads the
// machine's zone anew, so a zone change takes effect on the next value.
//
// Every function returns false on failure and then leaves its output untouched.
#pragma once

#include <windows.h>
#include <oleauto.h>

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
