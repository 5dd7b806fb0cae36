// Time stamps as the file writes them, in integer arithmetic on 100-ns ticks
// (no floating point, so that x86 and x64 write the same digits), appended to
// a line under construction: a million time stamps make no allocation.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class TimeText {
public:
    // Reads the machine's zone once: an export is one view of local time.
    TimeText();

    // "2024-10-27T00:30:00.000Z". Ticks below a millisecond are cut.
    void AppendUtc(std::int64_t ticks, std::string& out) const;
    // "2024-10-27T02:30:00.000+02:00": local time with the offset in force
    // at that moment, which tells the two occurrences of the autumn hour apart.
    void AppendLocal(std::int64_t ticks, std::string& out);
    // "2024-10-27 02:30:00.000", local (or UTC) with `decimal` before the
    // milliseconds: what a spreadsheet's date parser takes in that locale.
    void AppendSpreadsheet(std::int64_t ticks, bool local, const std::string& decimal, std::string& out);

private:
    // Minutes east of UTC in force at `ticks` (an offset changes on a whole
    // minute, so one is worked out per minute of time stamps).
    std::int64_t OffsetMinutes(std::int64_t ticks);

    TIME_ZONE_INFORMATION zone_{};
    std::int64_t minute_ = -1;
    std::int64_t offset_ = 0;
};
