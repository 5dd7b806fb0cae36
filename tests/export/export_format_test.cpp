// The export's texts, one table each: times read from the command line and
// written to the file (under TZ=Europe/Berlin, set by the test's environment),
// spans, qualities, values, CSV fields and command lines.
// GCC 12 warns falsely on assignments of short literals to strings (its bug 105329).
#pragma GCC diagnostic ignored "-Wrestrict"
#include <gtest/gtest.h>

#include <cstdio>

#include "com/com_holders.h"
#include "support/com_test.h"
#include "export/csv_format.h"
#include "export/csv_rows.h"
#include "export/progress.h"
#include "export/export_time.h"
#include "export/options.h"

namespace {

FILETIME Utc(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second = 0, WORD millis = 0) {
    SYSTEMTIME st{year, month, 0, day, hour, minute, second, millis};
    FILETIME ft{};
    SystemTimeToFileTime(&st, &ft);
    return ft;
}

TEST(ExportTimes, CommandLineTimes) {
    struct Row {
        const wchar_t* text;
        const char* utc;  // "relative" for a text the historian parses; nullptr: refused
    } rows[] = {
        {L"2024-10-27T00:30:00Z", "2024-10-27T00:30:00.000Z"},
        {L"2024-10-27 02:30:00.25+02:00", "2024-10-27T00:30:00.250Z"},
        {L"2024-10-27T02:30-0530", "2024-10-27T08:00:00.000Z"},
        {L"2024-10-27T02:30+01", "2024-10-27T01:30:00.000Z"},
        // No zone: Berlin time; the repeated autumn hour is its first occurrence.
        {L"2023-10-29T02:30", "2023-10-29T00:30:00.000Z"},
        {L"2023-10-29T03:00", "2023-10-29T02:00:00.000Z"},
        {L"2024-07-01T12:00", "2024-07-01T10:00:00.000Z"},
        {L"2024-01-15", "2024-01-14T23:00:00.000Z"},
        {L"NOW-1D", "relative"},
        {L"DAY+6H", "relative"},
        {L"2024-02-30T00:00Z", nullptr},
        {L"2024-10-27T24:00Z", nullptr},
        {L"2024-10-27T0230Z", nullptr},
        {L"2024-10-27T02:30:00.Z", nullptr},
        {L"2024-10-27T02:30+1", nullptr},
        // Before the first file time, once the zone is taken off.
        {L"1601-01-01T00:30+01:00", nullptr},
        {L"1601-01-01T00:00", nullptr},
        {L"1601-01-01T00:00Z", "1601-01-01T00:00:00.000Z"},
        {L"1D", nullptr},
        {L"", nullptr},
    };
    for (const Row& r : rows) {
        const auto bound = ParseTimeBound(r.text);
        const std::string got = !bound                      ? "refused"
                                : bound->relative == r.text ? "relative"
                                : bound->relative.empty()   ? FormatTimeStamp(bound->utc, false)
                                                            : "another relative text";
        EXPECT_EQ(got, r.utc ? r.utc : "refused") << Utf8(r.text);
    }
}

TEST(ExportTimes, FileTimeStampsCarryTheOffsetInForce) {
    struct Row {
        FILETIME utc;
        const char* local;
    } rows[] = {
        {Utc(2023, 10, 29, 0, 30), "2023-10-29T02:30:00.000+02:00"},
        {Utc(2023, 10, 29, 1, 30), "2023-10-29T02:30:00.000+01:00"},
        {Utc(2023, 10, 29, 0, 59, 59, 999), "2023-10-29T02:59:59.999+02:00"},
        {Utc(2024, 3, 31, 1, 0), "2024-03-31T03:00:00.000+02:00"},
        {Utc(2024, 1, 1, 0, 0, 0, 7), "2024-01-01T01:00:00.007+01:00"},
    };
    for (const Row& r : rows) EXPECT_EQ(FormatTimeStamp(r.utc, true), r.local);
    // Ticks below a millisecond are cut, not carried into the offset.
    const FILETIME fine = FileTimeOf(TicksOf(Utc(2023, 10, 29, 1, 30)) + 9999);
    EXPECT_EQ(FormatTimeStamp(fine, true), "2023-10-29T02:30:00.000+01:00");
    EXPECT_EQ(FormatTimeStamp(fine, false), "2023-10-29T01:30:00.000Z");
}

// The file's own calendar against the platform's, from the first file time
// to the year 27000: leap days, centuries, the last millisecond of a day.
TEST(ExportTimes, CalendarAgreesWithThePlatform) {
    for (std::int64_t ticks = 0; ticks < 0x7000'0000'0000'0000; ticks += 12'345'678'901'234 + ticks / 50) {
        for (std::int64_t t : {ticks, ticks + 863'999'999'999 - ticks % 864'000'000'000}) {
            SYSTEMTIME st;
            const FILETIME ft = FileTimeOf(t);
            ASSERT_TRUE(FileTimeToSystemTime(&ft, &st)) << t;
            char expected[40];
            std::snprintf(expected, sizeof expected, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", st.wYear, st.wMonth,
                          st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
            ASSERT_EQ(FormatTimeStamp(ft, false), expected) << t;
        }
    }
}

TEST(ExportTimes, Spans) {
    struct Row {
        const wchar_t* text;
        std::int64_t ticks;  // 0: refused
    } rows[] = {
        {L"500MS", 5'000'000},
        {L"30s", 300'000'000},
        {L"15M", 9'000'000'000},
        {L"1H", 36'000'000'000},
        {L"2D", 1'728'000'000'000},
        {L"0S", 0},
        {L"H", 0},
        {L"5", 0},
        {L"5X", 0},
        {L"-5S", 0},
        {L"1.5H", 0},
        // What a 64-bit count of 100 ns holds: 10,675,199 days and a little.
        {L"10675199D", 9'223'371'936'000'000'000},
        {L"10675200D", 0},
        {L"20000000D", 0},
        {L"3000000000H", 0},
        {L"99999999999999999999MS", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(Utf8(r.text));
        const auto span = ParseSpan(r.text);
        EXPECT_EQ(span.value_or(0), r.ticks);
    }
}

TEST(ExportTexts, Qualities) {
    struct Row {
        DWORD quality;
        const char* text;
    } rows[] = {
        {0xC0, "Good"},
        {0x000400C0, "Good | Raw"},
        {0x000800C0, "Good | Calculated"},
        {0xDB, "Good: Local Override, Constant"},
        {0x18, "Bad: Comm Failure"},
        {0x00300000, "Bad | NoBound | NoData"},
        {0x45, "Uncertain: Last Usable Value, Low Limited"},
        {0x00420056, "Uncertain: EU Units Exceeded, High Limited | Interpolated | DataLost"},
        {0x48, "Uncertain: substatus 2"},
        {0x00810080, "Not Used: substatus 0 | ExtraData | Conversion"},
    };
    for (const Row& r : rows) EXPECT_EQ(QualityText(r.quality), r.text) << std::hex << r.quality;
}

TEST(ExportTexts, Values) {
    struct Row {
        VARTYPE vt;
        double number;
        const char* text;
    } rows[] = {
        {VT_R8, 0.1, "0.1"},
        {VT_R8, 1e21, "1e+21"},
        {VT_R8, -2.5, "-2.5"},
        {VT_R8, 6, "6"},
        {VT_R4, 0.1, "0.1"},
        {VT_I2, -5, "-5"},
        {VT_I4, 123456, "123456"},
        {VT_UI4, 4e9, "4000000000"},
        {VT_I8, -9e15, "-9000000000000000"},
        {VT_UI1, 255, "255"},
        {VT_BOOL, -1, "true"},
        {VT_BOOL, 0, "false"},
        {VT_EMPTY, 0, ""},
        {VT_NULL, 0, ""},
        {VT_CY, 1.5, "1.5"},
    };
    for (const Row& r : rows) {
        UniqueVariant v(comtest::VarR8(r.number));
        if (r.vt == VT_EMPTY || r.vt == VT_NULL) {
            V_VT(v.get()) = r.vt;
        } else {
            ASSERT_HRESULT_SUCCEEDED(VariantChangeType(v.get(), v.get(), 0, r.vt));
        }
        EXPECT_EQ(FormatValue(*v.get()), r.text) << "type " << r.vt;
    }
    UniqueVariant error(comtest::Typed(VT_ERROR, E_FAIL));
    EXPECT_EQ(FormatValue(*error.get()), "0x80004005");
}

TEST(ExportTexts, CodeNames) {
    EXPECT_STREQ(CodeName(static_cast<HRESULT>(0xC0040007)), "OPC_E_UNKNOWNITEMID");
    EXPECT_STREQ(CodeName(static_cast<HRESULT>(0x80041007)), "OPC_W_NOFILTER");
    EXPECT_STREQ(CodeName(E_FAIL), "");
}

// A value's field in the default format and in a spreadsheet's (semicolons,
// decimal commas): numbers stay numbers, texts that would start a formula
// keep an apostrophe in front.
TEST(ExportTexts, ValuesInBothStyles) {
    struct Row {
        VARIANT value;
        const char* plain;
        const char* spreadsheet;
    } rows[] = {
        {comtest::VarR8(-2.5), "-2.5", "-2,5"},
        {comtest::VarI4(-5), "-5", "-5"},
        {comtest::VarBstr(L"-5"), "-5", "'-5"},
        {comtest::VarBstr(L"=HYPERLINK(\"x\")"), "\"=HYPERLINK(\"\"x\"\")\"", "\"'=HYPERLINK(\"\"x\"\")\""},
        {comtest::VarBstr(L"+1"), "+1", "'+1"},
        {comtest::VarBstr(L"@SUM(A1)"), "@SUM(A1)", "'@SUM(A1)"},
        {comtest::VarBstr(L"a=b; c"), "a=b; c", "\"a=b; c\""},
        {comtest::VarBstr(L"1,5"), "\"1,5\"", "1,5"},
        {comtest::VarBstr(L"a\nb"), "\"a\nb\"", "\"a\nb\""},  // a line break alone still quotes
    };
    CsvStyle spreadsheet;
    spreadsheet.spreadsheet = true;
    spreadsheet.separator = ";";
    spreadsheet.decimal = ",";
    TimeText times;
    for (Row& r : rows) {
        UniqueVariant value(r.value);
        for (const auto& [style, field] : {std::pair{CsvStyle(), r.plain}, std::pair{spreadsheet, r.spreadsheet}}) {
            RowBuilder row(style, times);
            row.Start("I");
            row.Value(*value.get());
            EXPECT_EQ(row.Line(), "I" + style.separator + field + "\r\n");
        }
    }
}

// The progress line on a terminal (rewritten in place, a longer one's rest
// blanked, left standing at the item's end) and in a log (a line a second).
DWORD g_clock = 0;
DWORD WINAPI TestClock() { return g_clock; }

TEST(ExportProgress, TerminalAndLog) {
    const std::int64_t reached = TicksOf(Utc(2024, 1, 1, 6, 0));
    for (int width : {120, 0, 76}) {
        SCOPED_TRACE(width);
        std::FILE* out = std::tmpfile();
        ASSERT_TRUE(out);
        {
            g_clock = 5000;
            Progress progress(out, width, &TestClock);
            progress.Start("Plant/A");
            for (auto [now, values] : {std::pair{5100u, 10u}, {5300u, 1'000'000u}, {105'000u, 1'000'100u}}) {
                g_clock = now;
                progress.Reached(values, reached);
            }
            progress.Finish();
        }
        std::rewind(out);
        char text[512] = {};
        text[std::fread(text, 1, sizeof text - 1, out)] = 0;
        std::fclose(out);
        const char* expected[] = {
            // A console of 120 columns: the line rewritten, what a longer one left blanked.
            "\rPlant/A: 1,000,000 values, up to 2024-01-01T06:00:00.000Z, 3,333,333 values/s"
            "\rPlant/A: 1,000,100 values, up to 2024-01-01T06:00:00.000Z, 10,001 values/s   "
            "\rPlant/A: 1,000,100 values, up to 2024-01-01T06:00:00.000Z, 10,001 values/s\n",
            "OPCHDAExport: Plant/A: 1,000,100 values, up to 2024-01-01T06:00:00.000Z, 10,001 values/s\n",
            // One of 76: the item's beginning gives way to the figures, before the last column.
            "\r.../A: 1,000,000 values, up to 2024-01-01T06:00:00.000Z, 3,333,333 values/s"
            "\rPlant/A: 1,000,100 values, up to 2024-01-01T06:00:00.000Z, 10,001 values/s "
            "\rPlant/A: 1,000,100 values, up to 2024-01-01T06:00:00.000Z, 10,001 values/s\n"};
        EXPECT_EQ(text, std::string(expected[width == 120 ? 0 : width == 0 ? 1 : 2]));
    }
}

TEST(ExportOptions, CommandLines) {
    struct Row {
        std::vector<std::wstring> args;
        const char* wrong;  // "" when the line is right
    } rows[] = {
        {{L"--server", L"S", L"--start", L"NOW-1D", L"A", L"B"}, ""},
        {{L"--server", L"S", L"--start", L"NOW", L"--aggregate", L"Maximum", L"--interval", L"1H", L"A"}, ""},
        {{L"--server", L"S", L"--start", L"NOW", L"--aggregate", L"7", L"--interval", L"1H", L"A"}, ""},
        {{L"--server", L"S", L"--start", L"NOW", L"--aggregate", L"median", L"--interval", L"1H", L"A"},
         "--aggregate median: unknown aggregate"},
        {{L"--server", L"S", L"--start", L"NOW", L"--interval", L"1H", L"A"},
         "processed values need --aggregate and --interval"},
        {{L"--server", L"S", L"--start", L"NOW", L"--chunk", L"0", L"A"}, "--chunk 0: not a count of values"},
        {{L"--server", L"S", L"--start", L"NOW", L"--chunk", L"4294967295", L"A"}, ""},
        {{L"--server", L"S", L"--start", L"NOW", L"--chunk", L"4294967296", L"A"},
         "--chunk 4294967296: more than the 4294967295 values a request can ask for"},
        {{L"--server", L"S", L"--start", L"NOW", L"--aggregate", L"count", L"--interval", L"20000000D", L"A"},
         "--interval 20000000D: longer than the 10675199 days a historian's time span holds"},
        {{L"--server", L"S", L"--start", L"1601-01-01T00:30+01:00", L"A"},
         "--start 1601-01-01T00:30+01:00: before 1601, where the historian's times begin"},
        {{L"--server", L"S", L"--start", L"NOW", L"--aggregate", L"-7", L"--interval", L"1H", L"A"},
         "--aggregate -7: unknown aggregate"},
        {{L"--server", L"S", L"--start", L"yesterday 3pm", L"A"}, ""},  // the historian judges texts
        {{L"--server", L"S", L"--start", L"2024-1-1", L"A"}, "--start 2024-1-1: not a time"},
        {{L"--server", L"S", L"--start", L"NOW"}, "no items"},
        {{L"--start", L"NOW", L"A"}, "--server is missing"},
        {{L"--server", L"S", L"A"}, "--start is missing"},
        {{L"--server", L"S", L"A", L"--end"}, "option --end needs a value"},
        {{L"--server", L"S", L"--start", L"NOW", L"-x", L"A"}, "unknown option -x"},
        {{L"--server", L"S", L"--items-from", L"Z:\\no\\such\\file", L"--start", L"NOW"},
         "--items-from Z:\\no\\such\\file: cannot be read"},
        // Kinds: named, implied by their options, and the two disagreeing.
        {{L"--server", L"S", L"--kind", L"modified", L"--start", L"NOW", L"A"}, ""},
        {{L"--server", L"S", L"--kind", L"Annotations", L"--start", L"NOW", L"A"}, ""},
        {{L"--server", L"S", L"--attributes", L"all", L"--start", L"NOW", L"A"}, ""},
        {{L"--server", L"S", L"--kind", L"events", L"--start", L"NOW", L"A"}, "--kind events: not a kind of history"},
        {{L"--server", L"S", L"--kind", L"raw", L"--aggregate", L"count", L"--interval", L"1H", L"--start", L"NOW",
          L"A"},
         "--aggregate does not go with --kind raw"},
        {{L"--server", L"S", L"--at", L"2024-01-01T00:00Z", L"--attributes", L"all", L"A"},
         "--at and --attributes do not go together"},
        {{L"--server", L"S", L"--kind", L"at-time", L"A"}, "values at given times need --at or --times-from"},
        {{L"--server", L"S", L"--at", L"2024-01-01T00:00Z", L"--start", L"NOW", L"A"},
         "values at given times take no --start or --end"},
        {{L"--server", L"S", L"--at", L"2024-01-01T00:00Z, NOW-1H", L"A"},
         "--at NOW-1H: not a date and time (values at given times take no relative times)"},
        {{L"--server", L"S", L"--at", L"1600-12-31T23:59Z", L"A"},
         "--at 1600-12-31T23:59Z: before 1601, where the historian's times begin"},
        {{L"--server", L"S", L"--start", L"NOW", L"--format", L"xlsx", L"A"}, "--format xlsx: not csv or excel"},
        {{L"--server", L"S", L"--start", L"NOW", L"--separator", L";;", L"A"},
         "--separator ;;: not one character other than a letter, digit, quote or line break"},
        {{L"--server", L"S", L"--start", L"NOW", L"--format", L"Excel", L"--separator", L"tab", L"A"}, ""},
    };
    for (const Row& r : rows) {
        Options o;
        EXPECT_EQ(ParseOptions(r.args, &o), r.wrong) << "row " << (&r - rows);
    }
    // What export_test.sh does not pass: a node, and an aggregate by its name in any case.
    Options o;
    ASSERT_EQ(ParseOptions({L"--server", L"S", L"--node", L"N", L"--start", L"NOW", L"--aggregate", L"maximum",
                            L"--interval", L"15M", L"A"},
                           &o),
              "");
    EXPECT_EQ(o.node, L"N");
    EXPECT_EQ(o.request.aggregate, 10u);
}

}  // namespace
