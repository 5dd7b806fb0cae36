// Time arguments: the client's variants into OPCHDA_TIME records and back, the span conversion, and the
// pair holder's ownership of the texts.
#include <gtest/gtest.h>

#include <limits>

#include "time/time_args.h"
#include "time/time_conversion.h"
#include "support/com_test.h"
#include "support/malloc_spy.h"
#include "time_test_support.h"

using namespace timetest;
using comtest::Ref, comtest::Typed, comtest::VarBstr, comtest::VarDate, comtest::VarEmpty, comtest::VarR8;

namespace {

// Never destroyed: the runtime may still call the spy while the process exits.
testsupport::MallocSpy& g_spy = *new testsupport::MallocSpy;

class TimeArgs : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(CoRegisterMallocSpy(&g_spy), S_OK); }
    void TearDown() override {
        g_spy.failNext = false;
        EXPECT_EQ(std::exchange(g_spy.unknownFrees, 0), 0) << "task memory freed twice";
    }
};

constexpr LONGLONG kUntouched = 0x0123456789abcdefLL;

LONGLONG LocalUnits(DATE local) {
    FILETIME ft{};
    EXPECT_TRUE(LocalDateToFileTime(local, &ft));
    return Units(ft);
}

// A date comes back from the historian as the date it went as: at the bias of
// its own season, not today's.
TEST_F(TimeArgs, EachKindOfVariantAndEachDateBack) {
    DATE date = 38353.5;  // 2005-01-01 12:00 local
    VARIANT inner = VarR8(date);
    BSTR text = SysAllocString(L"NOW-1H");
    const struct {
        const char* name;
        VARIANT v;
        HRESULT hr;
        const wchar_t* text;  // null: a date (or a failure)
        DATE local = 0;
    } cases[] = {
        {"relative text", VarBstr(L"NOW-1H"), S_OK, L"NOW-1H"},
        {"empty text", VarBstr(L""), S_OK, L""},
        {"null string", VarBstr(nullptr), S_OK, L""},
        {"text with a zero inside", Typed(VT_BSTR, SysAllocStringLen(L"NOW\0-1D", 7)), S_OK, L"NOW"},
        {"number", VarR8(date), S_OK, nullptr, date},
        {"number in the other season", VarR8(47000.0 + 13.0 / 86400), S_OK, nullptr, 47000.0 + 13.0 / 86400},
        {"empty: day zero, not now", VarEmpty(), S_OK, nullptr, 0.0},
        {"date by reference", Ref(VT_DATE, &date), S_OK, nullptr, date},
        {"variant by reference", Ref(VT_VARIANT, &inner), S_OK, nullptr, date},
        {"string by reference is no relative time", Ref(VT_BSTR, &text), DISP_E_TYPEMISMATCH, nullptr},
        {"null", Typed(VT_NULL, 0), DISP_E_TYPEMISMATCH, nullptr},
        {"number beyond dates", VarR8(1e300), DISP_E_OVERFLOW, nullptr},
        {"date before 1601", VarDate(-109206.5), E_FAIL, nullptr},
        {"year 10000", VarDate(2958466.0), E_FAIL, nullptr},
        // The platform's conversion turns NaN into 30 December 1899.
        {"NaN date", VarDate(std::numeric_limits<double>::quiet_NaN()), E_FAIL, nullptr},
        {"NaN number", VarR8(std::numeric_limits<double>::quiet_NaN()), E_FAIL, nullptr},
        {"infinite date", VarDate(std::numeric_limits<double>::infinity()), E_FAIL, nullptr},
        {"minus infinite date", VarDate(-std::numeric_limits<double>::infinity()), E_FAIL, nullptr},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.name);
        const VARTYPE before = V_VT(&c.v);
        OPCHDA_TIME t{!c.text, nullptr, Ft(kUntouched)};
        ASSERT_EQ(TimeArgToHdaTime(&c.v, &t), c.hr);
        EXPECT_EQ(V_VT(&c.v), before) << "the client's variant is not coerced in place";
        EXPECT_EQ(t.bString, c.text != nullptr);
        if (FAILED(c.hr)) {
            EXPECT_EQ(t.szTime, nullptr);
            EXPECT_EQ(Units(t.ftTime), kUntouched) << "no undefined time may be sent on";
        } else {
            ASSERT_TRUE(g_spy.IsLive(t.szTime)) << "text not from task memory";
            EXPECT_NE(static_cast<void*>(t.szTime), before == VT_BSTR ? V_BSTR(&c.v) : nullptr) << "not copied";
            EXPECT_STREQ(t.szTime, c.text ? c.text : L"");
            EXPECT_EQ(Units(t.ftTime), c.text ? kUntouched : LocalUnits(c.local));
            CoTaskMemFree(t.szTime);
            if (!c.text) {
                VARIANT back = VarBstr(L"NOW");  // whatever the variant held is replaced
                HdaTimeToTimeArg(&t, &back);
                ASSERT_EQ(V_VT(&back), VT_DATE);
                EXPECT_NEAR(V_DATE(&back), c.local, 1e-9);
            }
        }
        if (before == VT_BSTR) VariantClear(&c.v);
    }
    SysFreeString(text);
}

TEST(DateSpanToFileTime, TruncatesTowardZeroAndSaturates) {
    const struct {
        double days;
        int64_t units;
    } cases[] = {
        {1.0 / 24, 36'000'000'000},
        {5.7870370370370366e-05, 49'999'999},  // a hair below 50,000,000
        {-5.7870370370370366e-05, -49'999'999},
        {-1.0, -864'000'000'000},
        {1e-12, 0},
        {10000.0, 8'640'000'000'000'000},
        {1e10, INT64_MIN},  // beyond the range: still a definite duration
        {-std::numeric_limits<double>::infinity(), INT64_MIN},
        {std::numeric_limits<double>::quiet_NaN(), INT64_MIN},
    };
    for (const auto& c : cases) EXPECT_EQ(Units(DateSpanToFileTime(c.days)), c.units) << c.days;
}

// A record's previous text is freed whatever the outcome; the pair owns both
// texts, and a failure on either bound leaves them for the holder to free.
TEST_F(TimeArgs, TextsAreFreedWhateverTheOutcomeAndThePairConvertsStartThenEndAndWritesBack) {
    OPCHDA_TIME t{FALSE, static_cast<LPWSTR>(CoTaskMemAlloc(16)), Ft(kUntouched)};
    LPWSTR old = t.szTime;
    VARIANT date = VarR8(38353.5), null = Typed(VT_NULL, 0), text = VarBstr(L"NOW"), bad = VarDate(-109206.5);
    ASSERT_EQ(TimeArgToHdaTime(&date, &t), S_OK);
    EXPECT_TRUE(t.szTime == old || !g_spy.IsLive(old));  // the heap may hand the block straight back
    old = t.szTime;
    EXPECT_EQ(TimeArgToHdaTime(&null, &t), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(t.szTime, nullptr);
    EXPECT_FALSE(g_spy.IsLive(old));
    for (VARIANT* v : {&text, &date}) {
        g_spy.failNext = true;
        EXPECT_EQ(TimeArgToHdaTime(v, &t), E_OUTOFMEMORY);
        EXPECT_EQ(t.szTime, nullptr);
        EXPECT_FALSE(g_spy.failNext) << "no allocation was attempted";
    }
    VariantClear(&text);

    text = VarBstr(L"NOW-1H");
    LPWSTR texts[2] = {};
    {
        HdaTimePair pair;
        ASSERT_EQ(pair.Convert(&text, &date), S_OK);
        EXPECT_STREQ(pair.Start()->szTime, L"NOW-1H");
        EXPECT_FALSE(pair.End()->bString);
        texts[0] = pair.Start()->szTime, texts[1] = pair.End()->szTime;
        // What a historian does: resolve both bounds; they are written back, a
        // time that is no date as an error.
        pair.Start()->ftTime = Ft(LocalUnits(38353.5));
        pair.End()->ftTime = Ft(INT64_MAX);
        pair.WriteBack(&text, &date);
        ASSERT_EQ(V_VT(&text), VT_DATE);
        EXPECT_DOUBLE_EQ(V_DATE(&text), 38353.5);
        ASSERT_EQ(V_VT(&date), VT_ERROR);
        EXPECT_EQ(V_ERROR(&date), E_FAIL);
    }
    EXPECT_FALSE(g_spy.IsLive(texts[0]) || g_spy.IsLive(texts[1]));

    text = VarBstr(L"NOW");
    {
        HdaTimePair pair;
        EXPECT_EQ(pair.Convert(&bad, &text), E_FAIL);
        EXPECT_EQ(pair.End()->szTime, nullptr) << "the end bound must not be converted";
        EXPECT_EQ(pair.Convert(&text, &bad), E_FAIL);
        texts[0] = pair.Start()->szTime;
        EXPECT_TRUE(g_spy.IsLive(texts[0]));
    }
    EXPECT_FALSE(g_spy.IsLive(texts[0]));
    VariantClear(&text);
}

}  // namespace
