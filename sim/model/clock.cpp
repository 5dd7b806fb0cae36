// Civil date arithmetic and relative time texts.
#include "historian.h"
#include "item_space.h"

#include <cwctype>

namespace hdasim {

// Howard Hinnant's days_from_civil, shifted so day 0 is 1601-01-01.
static std::int64_t DaysFromCivilEpoch1970(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

static const std::int64_t kDays1601To1970 = -DaysFromCivilEpoch1970(1601, 1, 1);

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    return DaysFromCivilEpoch1970(y, m, d) + kDays1601To1970;
}

void CivilFromDays(std::int64_t days, std::int64_t* y, unsigned* m, unsigned* d) {
    std::int64_t z = days - kDays1601To1970 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2);
}

Ticks TicksFromCivil(std::int64_t y, unsigned m, unsigned d, int hh, int mm, int ss) {
    return DaysFromCivil(y, m, d) * kTicksPerDay + hh * kTicksPerHour + mm * kTicksPerMinute + ss * kTicksPerSecond;
}

namespace {

unsigned DaysInMonth(std::int64_t y, unsigned m) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return kDays[m - 1];
}

// Calendar months added to t, the day clamped to the target month's length.
Ticks AddMonths(Ticks t, std::int64_t months) {
    const std::int64_t days = t / kTicksPerDay;
    const Ticks timeOfDay = t - days * kTicksPerDay;
    std::int64_t y;
    unsigned m, d;
    CivilFromDays(days, &y, &m, &d);
    std::int64_t index = y * 12 + (m - 1) + months;
    std::int64_t ny = index >= 0 ? index / 12 : (index - 11) / 12;
    unsigned nm = static_cast<unsigned>(index - ny * 12) + 1;
    unsigned nd = d > DaysInMonth(ny, nm) ? DaysInMonth(ny, nm) : d;
    return DaysFromCivil(ny, nm, nd) * kTicksPerDay + timeOfDay;
}

bool StartsWithNoCase(const std::wstring& s, std::size_t pos, const wchar_t* word) {
    for (std::size_t i = 0; word[i]; ++i) {
        if (pos + i >= s.size() || std::towupper(s[pos + i]) != static_cast<wint_t>(word[i])) return false;
    }
    return true;
}

void SkipSpaces(const std::wstring& s, std::size_t* pos) {
    while (*pos < s.size() && std::iswspace(s[*pos])) ++*pos;
}

}  // namespace

HRESULT ParseRelativeTime(const std::wstring& text, Ticks now, Ticks* out) {
    std::size_t pos = 0;
    SkipSpaces(text, &pos);
    // Base keyword; each but NOW truncates to the start of its unit (weeks start on Sunday).
    const std::int64_t days = now / kTicksPerDay;
    Ticks base;
    static const wchar_t* const kWords[] = {L"NOW", L"SECOND", L"MINUTE", L"HOUR", L"DAY", L"WEEK", L"MONTH", L"YEAR"};
    int word = -1;
    for (int i = 0; i < 8; ++i) {
        if (StartsWithNoCase(text, pos, kWords[i])) {
            word = i;
            pos += std::wcslen(kWords[i]);
            break;
        }
    }
    std::int64_t y;
    unsigned m, d;
    CivilFromDays(days, &y, &m, &d);
    switch (word) {
        case 0: base = now; break;
        case 1: base = now - now % kTicksPerSecond; break;
        case 2: base = now - now % kTicksPerMinute; break;
        case 3: base = now - now % kTicksPerHour; break;
        case 4: base = days * kTicksPerDay; break;
        case 5: base = (days - (days + 1) % 7) * kTicksPerDay; break;  // 1601-01-01 was a Monday
        case 6: base = DaysFromCivil(y, m, 1) * kTicksPerDay; break;
        case 7: base = DaysFromCivil(y, 1, 1) * kTicksPerDay; break;
        default: return E_INVALIDARG;
    }
    // Offsets: [+-] digits unit, applied left to right. Digits right after a unit
    // continue the previous offset with its sign ("DAY-1D+7H30M", "NOW-1H30M").
    wchar_t sign = 0;
    for (;;) {
        SkipSpaces(text, &pos);
        if (pos == text.size()) break;
        if (text[pos] == L'+' || text[pos] == L'-') {
            sign = text[pos];
            ++pos;
        } else if (sign == 0 || !std::iswdigit(text[pos])) {
            return E_INVALIDARG;
        }
        SkipSpaces(text, &pos);
        if (pos == text.size() || !std::iswdigit(text[pos])) return E_INVALIDARG;
        std::int64_t n = 0;
        while (pos < text.size() && std::iswdigit(text[pos])) {
            n = n * 10 + (text[pos] - L'0');
            if (n > 100000000) return E_INVALIDARG;  // far beyond any representable offset
            ++pos;
        }
        SkipSpaces(text, &pos);
        if (sign == L'-') n = -n;
        if (StartsWithNoCase(text, pos, L"MO")) {
            base = AddMonths(base, n);
            pos += 2;
            continue;
        }
        if (pos == text.size()) return E_INVALIDARG;
        switch (std::towupper(text[pos])) {
            case L'S': base += n * kTicksPerSecond; break;
            case L'M': base += n * kTicksPerMinute; break;
            case L'H': base += n * kTicksPerHour; break;
            case L'D': base += n * kTicksPerDay; break;
            case L'W': base += n * 7 * kTicksPerDay; break;
            case L'Y': base = AddMonths(base, 12 * n); break;
            default: return E_INVALIDARG;
        }
        ++pos;
    }
    if (base < 0) return E_INVALIDARG;
    *out = base;
    return S_OK;
}

}  // namespace hdasim
