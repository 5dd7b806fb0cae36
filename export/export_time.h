// Times of the export: bounds given on the command line, resample intervals,
// and the time stamps written to the file.
#pragma once

#include <windows.h>

#include "com/file_time.h"

#include <cstdint>
#include <optional>
#include <string>

// A bound of the time domain as the historian takes it: either an absolute UTC
// file time or a relative-time text (NOW-1D) that only the historian parses.
struct TimeBound {
    std::wstring relative;  // empty for an absolute time
    FILETIME utc{};
};

// An ISO 8601 date or date and time ("2024-03-01", "2024-03-01T06:00",
// "2024-03-01 06:00:00.250Z", "...+01:00") or anything starting with a letter,
// which is taken as a relative-time text. A date or time without a zone is a
// local time of this computer; in the hour that occurs twice in autumn it is
// the first occurrence. Nothing for a text that is neither, or for a time
// before 1601 (once its zone is taken off), where file times begin; `why`
// then gets which of the two it is.
std::optional<TimeBound> ParseTimeBound(const std::wstring& text, std::string* why = nullptr);

// A span in 100-ns units: a number followed by MS, S, M, H or D ("15M", "1H",
// "500MS"). Nothing for anything else, a span of 0, or one longer than a
// signed 64-bit count of 100 ns holds (10675199 days), with `why` as above.
std::optional<std::int64_t> ParseSpan(const std::wstring& text, std::string* why = nullptr);

// "2024-10-27T00:30:00.000Z", or with local the local time of this computer
// and its offset from UTC in force at that moment ("2024-10-27T02:30:00.000+02:00",
// an hour later "2024-10-27T02:30:00.000+01:00"). Empty if the time does not convert.
std::string FormatTimeStamp(const FILETIME& utc, bool local);

