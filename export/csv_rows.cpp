#include "export/csv_rows.h"

#include <charconv>
#include <cstdio>

#include "export/csv_format.h"
#include "export/export_time.h"

namespace {

// A field of at most a few characters of the user's settings; fallback otherwise.
std::string Setting(LCTYPE type, const char* fallback) {
    wchar_t text[8] = {};
    if (!GetLocaleInfoW(LOCALE_USER_DEFAULT, type, text, 8) || !text[0]) return fallback;
    const std::string utf8 = Utf8(text);
    return utf8.find_first_of("\"\r\n") == std::string::npos ? utf8 : fallback;
}

// Texts a spreadsheet reads as the start of a formula (a tab and a carriage
// return too: some strip them and read what follows).
bool StartsFormula(std::string_view text) {
    return !text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos;
}

}  // namespace

CsvStyle RegionalSpreadsheetStyle() {
    CsvStyle style;
    style.spreadsheet = true;
    style.separator = Setting(LOCALE_SLIST, ",");
    style.decimal = Setting(LOCALE_SDECIMAL, ".");
    return style;
}

void RowBuilder::Start(std::string_view item) {
    line_.clear();
    first_ = true;
    Text(item);
}

void RowBuilder::Raw(std::string_view text) {
    if (!first_) line_ += style_.separator;
    first_ = false;
    line_ += text;
}

// One pass over the characters: the library's find_first_of looks through
// the set once for every character, which was most of an export's time.
bool RowBuilder::NeedsQuotes(std::string_view text) const {
    const std::string& separator = style_.separator;  // never empty
    for (size_t k = 0; k < text.size(); ++k) {
        const char c = text[k];
        if (c == '"' || c == '\r' || c == '\n') return true;
        if (c == separator[0] && text.compare(k, separator.size(), separator) == 0) return true;
    }
    return false;
}

void RowBuilder::Field(std::string_view text) {
    if (NeedsQuotes(text))
        Raw(CsvField(text, style_.separator));
    else
        Raw(text);
}

template <class Append>
void RowBuilder::Appended(Append append) {
    Raw({});
    const size_t begin = line_.size();
    append(line_);
    if (!NeedsQuotes(std::string_view(line_).substr(begin))) return;
    const std::string added = line_.substr(begin);
    line_.resize(begin);
    line_ += CsvField(added, style_.separator);
}

void RowBuilder::Text(std::string_view text) {
    if (style_.spreadsheet && StartsFormula(text)) {
        // The apostrophe is what a spreadsheet takes as "this is text".
        std::string guarded(1, '\'');
        guarded.append(text.data(), text.size());
        Field(guarded);
    } else {
        Field(text);
    }
}

void RowBuilder::Text(const wchar_t* text) { Text(text ? Utf8(text) : std::string()); }

void RowBuilder::Value(const VARIANT& value) {
    std::string text = FormatValue(value);
    switch (V_VT(&value)) {
        case VT_BSTR: return Text(text);
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DECIMAL:
            if (style_.decimal != ".")
                if (const size_t point = text.find('.'); point != std::string::npos)
                    text.replace(point, 1, style_.decimal);
            return Field(text);
        default: return Field(text);
    }
}

void RowBuilder::Number(std::uint64_t n) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, n).ptr;
    Raw(std::string_view(text, end - text));
}

void RowBuilder::Time(const FILETIME& time) {
    Appended([&](std::string& out) {
        if (style_.spreadsheet)
            times_.AppendSpreadsheet(TicksOf(time), true, style_.decimal, out);
        else if (style_.localTimes)
            times_.AppendLocal(TicksOf(time), out);
        else
            times_.AppendUtc(TicksOf(time), out);
    });
}

void RowBuilder::Stamp(const FILETIME& time) {
    Time(time);
    if (style_.spreadsheet)
        Appended([&](std::string& out) { times_.AppendSpreadsheet(TicksOf(time), false, style_.decimal, out); });
}

void RowBuilder::Quality(DWORD quality) {
    if (quality != quality_) {
        quality_ = quality;
        qualityText_ = QualityText(quality);
    }
    Number(quality);
    Field(qualityText_);
}

void RowBuilder::Error(HRESULT code, std::string_view text) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
    Field(hex);
    Text(text);
}

void RowBuilder::Empty(int fields) {
    for (int i = 0; i < fields; ++i) Raw({});
}

const std::string& RowBuilder::Line() {
    line_ += "\r\n";
    return line_;
}
