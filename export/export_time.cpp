#include "export/export_time.h"

#include <cstdio>
#include <cstdint>
#include <cwctype>

#include "export/time_text.h"
#include "time/time_conversion.h"

namespace {

constexpr std::int64_t kTicksPerMillisecond = 10'000;
constexpr std::int64_t kTicksPerMinute = 60 * 1000 * kTicksPerMillisecond;

// Reads exactly `digits` decimal digits at `pos`.
bool ReadNumber(const std::wstring& s, size_t& pos, int digits, int* value) {
    *value = 0;
    for (int i = 0; i < digits; ++i, ++pos) {
        if (pos >= s.size() || !std::iswdigit(s[pos])) return false;
        *value = *value * 10 + (s[pos] - L'0');
    }
    return true;
}

bool Expect(const std::wstring& s, size_t& pos, wchar_t c) {
    if (pos >= s.size() || s[pos] != c) return false;
    ++pos;
    return true;
}

// The zone part: Z, +hh:mm, +hhmm or +hh (or -). Minutes east of UTC.
bool ReadZone(const std::wstring& s, size_t& pos, int* minutesEast) {
    if (s[pos] == L'Z' || s[pos] == L'z') {
        ++pos;
        *minutesEast = 0;
        return true;
    }
    if (s[pos] != L'+' && s[pos] != L'-') return false;
    const int sign = s[pos++] == L'-' ? -1 : 1;
    int hours = 0, minutes = 0;
    if (!ReadNumber(s, pos, 2, &hours)) return false;
    if (pos < s.size()) {
        Expect(s, pos, L':');
        if (!ReadNumber(s, pos, 2, &minutes)) return false;
    }
    if (hours > 14 || minutes > 59) return false;
    *minutesEast = sign * (hours * 60 + minutes);
    return true;
}

constexpr char kNotATime[] = "not a time";
constexpr char kBeforeFileTimes[] = "before 1601, where the historian's times begin";

std::optional<FILETIME> Refused(std::string* why, const char* reason) {
    if (why) *why = reason;
    return std::nullopt;
}

// An ISO 8601 time; `why` gets the reason when there is none.
std::optional<FILETIME> ParseIso8601(const std::wstring& s, std::string* why) {
    SYSTEMTIME st{};
    size_t pos = 0;
    int year, month, day, hour = 0, minute = 0, second = 0, millis = 0;
    if (!ReadNumber(s, pos, 4, &year) || !Expect(s, pos, L'-') || !ReadNumber(s, pos, 2, &month) ||
        !Expect(s, pos, L'-') || !ReadNumber(s, pos, 2, &day))
        return Refused(why, kNotATime);
    if (pos < s.size() && (s[pos] == L'T' || s[pos] == L't' || s[pos] == L' ')) {
        ++pos;
        if (!ReadNumber(s, pos, 2, &hour) || !Expect(s, pos, L':') || !ReadNumber(s, pos, 2, &minute))
            return Refused(why, kNotATime);
        if (pos < s.size() && s[pos] == L':') {
            ++pos;
            if (!ReadNumber(s, pos, 2, &second)) return Refused(why, kNotATime);
            if (pos < s.size() && (s[pos] == L'.' || s[pos] == L',')) {
                ++pos;
                // Fractions beyond milliseconds are read and dropped.
                int scale = 100;
                if (pos >= s.size() || !std::iswdigit(s[pos])) return Refused(why, kNotATime);
                for (; pos < s.size() && std::iswdigit(s[pos]); ++pos, scale /= 10) millis += (s[pos] - L'0') * scale;
            }
        }
    }
    std::optional<int> zone;
    if (pos < s.size()) {
        int east = 0;
        if (!ReadZone(s, pos, &east)) return Refused(why, kNotATime);
        zone = east;
    }
    if (pos != s.size() || hour > 23 || minute > 59 || second > 59) return Refused(why, kNotATime);
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    // A valid calendar time the file times cannot hold is a year before 1601:
    // four digits reach no further than 9999.
    FILETIME ft;
    if (zone) {
        if (!SystemTimeToFileTime(&st, &ft)) return Refused(why, year < 1601 ? kBeforeFileTimes : kNotATime);
        const std::int64_t ticks = TicksOf(ft) - *zone * kTicksPerMinute + millis * kTicksPerMillisecond;
        if (ticks < 0) return Refused(why, kBeforeFileTimes);
        return FileTimeOf(ticks);
    }
    SYSTEMTIME utc;
    if (!LocalToUtcSystemTime(nullptr, st, &utc)) return Refused(why, kNotATime);
    if (!SystemTimeToFileTime(&utc, &ft)) return Refused(why, utc.wYear < 1601 ? kBeforeFileTimes : kNotATime);
    return FileTimeOf(TicksOf(ft) + millis * kTicksPerMillisecond);
}

}  // namespace

std::optional<TimeBound> ParseTimeBound(const std::wstring& text, std::string* why) {
    if (!text.empty() && std::iswalpha(text[0])) return TimeBound{text, {}};
    if (auto utc = ParseIso8601(text, why)) return TimeBound{L"", *utc};
    return std::nullopt;
}

std::optional<std::int64_t> ParseSpan(const std::wstring& text, std::string* why) {
    if (why) *why = "not a time span";
    size_t pos = 0;
    for (; pos < text.size() && std::iswdigit(text[pos]); ++pos) {}
    std::wstring unit;
    for (size_t k = pos; k < text.size(); ++k) unit += static_cast<wchar_t>(std::towupper(text[k]));
    constexpr std::int64_t kSecond = 1000 * kTicksPerMillisecond;
    std::int64_t scale = 0;
    if (unit == L"MS") scale = kTicksPerMillisecond;
    if (unit == L"S") scale = kSecond;
    if (unit == L"M") scale = 60 * kSecond;
    if (unit == L"H") scale = 3600 * kSecond;
    if (unit == L"D") scale = 86400 * kSecond;
    if (pos == 0 || scale == 0) return std::nullopt;
    // Digit by digit against the largest count of the unit, so that nothing overflows.
    const std::int64_t most = INT64_MAX / scale;
    std::int64_t n = 0;
    for (size_t k = 0; k < pos; ++k) {
        const int digit = text[k] - L'0';
        if (n > (most - digit) / 10) {
            if (why)
                *why = "longer than the " + std::to_string(INT64_MAX / (86400 * kSecond)) +
                       " days a historian's time span holds";
            return std::nullopt;
        }
        n = n * 10 + digit;
    }
    if (n == 0) return std::nullopt;
    return n * scale;
}

std::string FormatTimeStamp(const FILETIME& utc, bool local) {
    std::string text;
    if (TicksOf(utc) < 0) return text;
    TimeText times;
    if (local)
        times.AppendLocal(TicksOf(utc), text);
    else
        times.AppendUtc(TicksOf(utc), text);
    return text;
}
