#include "export/time_text.h"

#include "com/file_time.h"

namespace {

constexpr std::int64_t kTicksPerMillisecond = 10'000;
constexpr std::int64_t kTicksPerMinute = 60'000 * kTicksPerMillisecond;
constexpr std::int64_t kMillisecondsPerDay = 86'400'000;

struct Civil {
    std::int64_t year;
    int month, day, hour, minute, second, millis;
};

// Division rounding down: a local time just before 1601 is a negative count.
std::int64_t FloorDivide(std::int64_t n, std::int64_t d) { return n / d - (n % d < 0 ? 1 : 0); }

// The calendar of a count of ticks since 1601 (proleptic Gregorian; the
// days-to-civil method of H. Hinnant, counted from 1 March 0000).
Civil CivilOf(std::int64_t ticks) {
    const std::int64_t ms = FloorDivide(ticks, kTicksPerMillisecond);
    const std::int64_t days = FloorDivide(ms, kMillisecondsPerDay);
    int rest = static_cast<int>(ms - days * kMillisecondsPerDay);
    Civil c{};
    c.millis = rest % 1000;
    rest /= 1000;
    c.second = rest % 60;
    c.minute = rest / 60 % 60;
    c.hour = rest / 3600;
    // 1601-01-01 is day 584,694 after 0000-03-01.
    const std::int64_t z = days + 584'694;
    const std::int64_t era = z / 146'097;
    const std::int64_t dayOfEra = z - era * 146'097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    c.day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    c.month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    c.year = yearOfEra + era * 400 + (c.month <= 2 ? 1 : 0);
    return c;
}

void Digits(std::string& out, std::int64_t value, int width) {
    char text[20];
    int n = 0;
    do {
        text[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 || n < width);
    while (n > 0) out += text[--n];
}

// "2024-10-27<between>02:30:00<decimal>000".
void AppendCivil(const Civil& c, char between, const char* decimal, std::string& out) {
    const char betweenText[] = {between, '\0'};
    const struct {
        std::int64_t value;
        int width;
        const char* after;
    } parts[] = {{c.year, 4, "-"},   {c.month, 2, "-"},      {c.day, 2, betweenText}, {c.hour, 2, ":"},
                 {c.minute, 2, ":"}, {c.second, 2, decimal}, {c.millis, 3, ""}};
    for (const auto& part : parts) {
        Digits(out, part.value, part.width);
        out += part.after;
    }
}

}  // namespace

TimeText::TimeText() { GetTimeZoneInformation(&zone_); }

std::int64_t TimeText::OffsetMinutes(std::int64_t ticks) {
    const std::int64_t minute = ticks / kTicksPerMinute;
    if (minute == minute_) return offset_;
    const std::int64_t whole = minute * kTicksPerMinute;
    const FILETIME utc = FileTimeOf(whole);
    SYSTEMTIME st, local;
    FILETIME localTime;
    offset_ = -zone_.Bias;  // what a conversion the platform refuses falls back to
    if (FileTimeToSystemTime(&utc, &st) && SystemTimeToTzSpecificLocalTime(&zone_, &st, &local) &&
        SystemTimeToFileTime(&local, &localTime)) {
        offset_ = (TicksOf(localTime) - whole) / kTicksPerMinute;
    }
    minute_ = minute;
    return offset_;
}

void TimeText::AppendUtc(std::int64_t ticks, std::string& out) const {
    AppendCivil(CivilOf(ticks), 'T', ".", out);
    out += 'Z';
}

void TimeText::AppendLocal(std::int64_t ticks, std::string& out) {
    const std::int64_t east = OffsetMinutes(ticks);
    AppendCivil(CivilOf(ticks + east * kTicksPerMinute), 'T', ".", out);
    const std::int64_t size = east < 0 ? -east : east;
    out += east < 0 ? '-' : '+';
    Digits(out, size / 60, 2);
    out += ':';
    Digits(out, size % 60, 2);
}

void TimeText::AppendSpreadsheet(std::int64_t ticks, bool local, const std::string& decimal, std::string& out) {
    const std::int64_t shifted = local ? ticks + OffsetMinutes(ticks) * kTicksPerMinute : ticks;
    AppendCivil(CivilOf(shifted), ' ', decimal.c_str(), out);
}
