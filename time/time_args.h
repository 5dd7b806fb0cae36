// Time arguments of the history requests: the client's StartTime/EndTime
// variants become OPCHDA_TIME records for the historian, and the times the
// historian actually used are written back as local dates.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "opc_hda.h"
#include "time/time_conversion.h"

// Fills `out` from the client's time argument. A VT_BSTR is passed on as a
// relative-time text for the historian to parse; anything else is coerced to a
// local date and converted to UTC. Any text `out` already holds is freed first.
// Returns S_OK, the coercion's error (e.g. DISP_E_TYPEMISMATCH),
// E_FAIL for a date that does not convert, or E_OUTOFMEMORY. A request
// converts under the zone of its call; without one, the zone is read now.
HRESULT TimeArgToHdaTime(VARIANT* arg, OPCHDA_TIME* out, const CallZone& zone);
HRESULT TimeArgToHdaTime(VARIANT* arg, OPCHDA_TIME* out);

// Replaces the client's variant with the local date of `time->ftTime`
// (VT_DATE), or VT_ERROR holding E_FAIL when that time does not convert.
void HdaTimeToTimeArg(const OPCHDA_TIME* time, VARIANT* arg, const CallZone& zone);
void HdaTimeToTimeArg(const OPCHDA_TIME* time, VARIANT* arg);

// A span in days as a file-time duration in 100-ns units, truncated toward zero.
// Negative spans give negative durations (two's complement over both halves).
FILETIME DateSpanToFileTime(DATE span);

// The start and end records of one request. They start cleared; their texts are
// freed when the holder goes, on every path.
class HdaTimePair {
public:
    HdaTimePair() noexcept = default;
    ~HdaTimePair();
    HdaTimePair(const HdaTimePair&) = delete;
    HdaTimePair& operator=(const HdaTimePair&) = delete;

    OPCHDA_TIME* Start() noexcept { return &start_; }
    OPCHDA_TIME* End() noexcept { return &end_; }

    // Converts `startTime`, then `endTime` (skipped when null, for requests with a
    // start only). The first failure ends the conversion and is returned.
    HRESULT Convert(VARIANT* startTime, VARIANT* endTime, const CallZone& zone) {
        HRESULT hr = TimeArgToHdaTime(startTime, &start_, zone);
        if (FAILED(hr) || !endTime) return hr;
        return TimeArgToHdaTime(endTime, &end_, zone);
    }
    HRESULT Convert(VARIANT* startTime, VARIANT* endTime) { return Convert(startTime, endTime, CallZone()); }

    // Writes the historian's times back into the client's variants, start first.
    // Only after a successful historian call; `endTime` may be null.
    void WriteBack(VARIANT* startTime, VARIANT* endTime, const CallZone& zone) const;
    void WriteBack(VARIANT* startTime, VARIANT* endTime) const { WriteBack(startTime, endTime, CallZone()); }

private:
    OPCHDA_TIME start_{};
    OPCHDA_TIME end_{};
};
