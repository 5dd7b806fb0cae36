// One CSV row at a time, in the style of the file: its separator, its
// decimal separator, and for a spreadsheet its time stamps and the guard that
// keeps a text from becoming a formula. Every field of every kind of history
// goes through here, so that a row compares with another as the text written.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "export/time_text.h"

struct CsvStyle {
    // For a spreadsheet: time stamps its date parser takes (local, with the
    // UTC time in a column of its own), and texts that would start a formula
    // written so that they stay texts.
    bool spreadsheet = false;
    std::string separator = ",";
    std::string decimal = ".";
    bool localTimes = false;  // plain files: local times with their offset instead of UTC
};

// A spreadsheet's style under the user's regional settings: their list
// separator and decimal separator (a comma and a point where they have none).
CsvStyle RegionalSpreadsheetStyle();

class RowBuilder {
public:
    RowBuilder(const CsvStyle& style, TimeText& times) : style_(style), times_(times) {}

    // A new row; its first field is the item.
    void Start(std::string_view item);
    void Text(std::string_view text);
    void Text(const wchar_t* text);  // null is an empty field
    // A number, a text or what the runtime makes of another type.
    void Value(const VARIANT& value);
    void Number(std::uint64_t n);
    // The value's time stamp: one column, or for a spreadsheet two (local, UTC).
    void Stamp(const FILETIME& time);
    // Another time of the value (when it was modified or annotated): one column.
    void Time(const FILETIME& time);
    // The quality as a number and in words.
    void Quality(DWORD quality);
    // The code as 0x%08X and its text.
    void Error(HRESULT code, std::string_view text);
    void Empty(int fields);
    // The row with its line break.
    const std::string& Line();

private:
    bool NeedsQuotes(std::string_view text) const;
    void Field(std::string_view text);
    void Raw(std::string_view text);
    // A field that `append` writes onto the line, quoted afterwards if it must be.
    template <class Append>
    void Appended(Append append);

    const CsvStyle& style_;
    TimeText& times_;
    std::string line_;
    bool first_ = true;
    DWORD quality_ = 0;
    std::string qualityText_ = "Bad";  // QualityText(quality_)
};
