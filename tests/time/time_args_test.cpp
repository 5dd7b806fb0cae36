// Time arguments: the client's variants into OPCHDA_TIME records and back, the
// span conversion, and the pair holder's ownership of the texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "time/time_args.h"
#include "time/time_conversion.h"
#include "time_test_support.h"

using namespace timetest;

namespace {

// Never destroyed: the runtime may still call the spy while the process exits,
// after static destructors have run.
MallocSpy& g_spy = *new MallocSpy;

class SpyEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(CoRegisterMallocSpy(&g_spy), S_OK); }
};
const auto* const kSpyEnvironment = ::testing::AddGlobalTestEnvironment(new SpyEnvironment);

// No test may free task memory twice.
class TimeArgs : public ::testing::Test {
protected:
    void SetUp() override {
        g_spy.failNext = false;
        g_spy.unknownFrees = 0;
    }
    void TearDown() override {
        g_spy.failNext = false;
        EXPECT_EQ(g_spy.unknownFrees, 0) << "task memory freed twice";
    }
    static void Release(OPCHDA_TIME* t) {
        ASSERT_TRUE(g_spy.IsLive(t->szTime)) << "text not from task memory";
        CoTaskMemFree(t->szTime);
        t->szTime = nullptr;
    }
};

constexpr uint64_t kUntouched = 0x0123456789abcdefULL;

OPCHDA_TIME Fresh() {
    OPCHDA_TIME t{};
    t.ftTime = Ft(kUntouched);
    return t;
}

VARIANT Var(VARTYPE vt) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = vt;
    return v;
}
VARIANT R8(double d) {
    VARIANT v = Var(VT_R8);
    V_R8(&v) = d;
    return v;
}
VARIANT DateVar(DATE d) {
    VARIANT v = Var(VT_DATE);
    V_DATE(&v) = d;
    return v;
}

// UTC text of 2005-01-01 12:00 local (a winter day north, summer south).
const char* NoonOnNewYear2005() {
    const std::string tz = ZoneName();
    if (tz == "Europe/Berlin") return "2005-01-01 11:00:00";
    if (tz == "America/New_York") return "2005-01-01 17:00:00";
    if (tz == "Australia/Sydney") return "2005-01-01 01:00:00";
    if (tz == "UTC") return "2005-01-01 12:00:00";
    return nullptr;
}

std::string UtcText(const FILETIME& ft) {
    SYSTEMTIME st;
    return FileTimeToSystemTime(&ft, &st) ? Text(st) : "bad file time";
}

TEST_F(TimeArgs, TextIsPassedOnUntouched) {
    for (const wchar_t* text : {L"NOW-1H", L"NOW", L"2005-01-01", L""}) {
        BSTR b = SysAllocString(text);
        VARIANT v = Var(VT_BSTR);
        V_BSTR(&v) = b;
        OPCHDA_TIME t = Fresh();
        ASSERT_EQ(TimeArgToHdaTime(&v, &t), S_OK);
        EXPECT_TRUE(t.bString);
        ASSERT_NE(t.szTime, nullptr);
        EXPECT_STREQ(t.szTime, text);
        EXPECT_NE(t.szTime, b) << "the client's string must be copied";
        EXPECT_EQ(Units(t.ftTime), kUntouched);
        EXPECT_EQ(V_VT(&v), VT_BSTR);
        EXPECT_EQ(V_BSTR(&v), b);
        Release(&t);
        VariantClear(&v);
    }
}

TEST_F(TimeArgs, NullStringBecomesAnEmptyText) {
    VARIANT v = Var(VT_BSTR);
    V_BSTR(&v) = nullptr;
    OPCHDA_TIME t = Fresh();
    ASSERT_EQ(TimeArgToHdaTime(&v, &t), S_OK);
    EXPECT_TRUE(t.bString);
    ASSERT_NE(t.szTime, nullptr);
    EXPECT_EQ(t.szTime[0], L'\0');
    Release(&t);
}

TEST_F(TimeArgs, TextStopsAtItsFirstZeroCharacter) {
    const wchar_t raw[] = L"NOW\0-1D";
    VARIANT v = Var(VT_BSTR);
    V_BSTR(&v) = SysAllocStringLen(raw, 7);
    OPCHDA_TIME t = Fresh();
    ASSERT_EQ(TimeArgToHdaTime(&v, &t), S_OK);
    EXPECT_STREQ(t.szTime, L"NOW");
    Release(&t);
    VariantClear(&v);
}

TEST_F(TimeArgs, NumberIsALocalDate) {
    VARIANT v = R8(38353.5);  // 2005-01-01 12:00 local
    OPCHDA_TIME t = Fresh();
    t.bString = TRUE;
    ASSERT_EQ(TimeArgToHdaTime(&v, &t), S_OK);
    EXPECT_FALSE(t.bString);
    ASSERT_NE(t.szTime, nullptr);
    EXPECT_EQ(t.szTime[0], L'\0');
    FILETIME expected;
    ASSERT_TRUE(LocalDateToFileTime(38353.5, &expected));
    EXPECT_EQ(Units(t.ftTime), Units(expected));
    if (const char* utc = NoonOnNewYear2005()) {
        EXPECT_EQ(UtcText(t.ftTime), utc);
    }
    EXPECT_EQ(V_VT(&v), VT_R8) << "the client's variant is not coerced in place";
    Release(&t);
}

TEST_F(TimeArgs, EmptyVariantIsDayZeroNotNow) {
    VARIANT v = Var(VT_EMPTY);
    OPCHDA_TIME t = Fresh();
    ASSERT_EQ(TimeArgToHdaTime(&v, &t), S_OK);
    FILETIME dayZero;
    ASSERT_TRUE(LocalDateToFileTime(0.0, &dayZero));
    EXPECT_EQ(Units(t.ftTime), Units(dayZero));
    SYSTEMTIME st;
    ASSERT_TRUE(FileTimeToSystemTime(&t.ftTime, &st));
    EXPECT_EQ(st.wYear, 1899);
    Release(&t);
}

TEST_F(TimeArgs, ByReferenceValuesAreDates) {
    DATE d = 38353.5;
    VARIANT v = Var(VT_DATE | VT_BYREF);
    V_DATEREF(&v) = &d;
    OPCHDA_TIME t = Fresh();
    ASSERT_EQ(TimeArgToHdaTime(&v, &t), S_OK);
    EXPECT_FALSE(t.bString);
    FILETIME expected;
    ASSERT_TRUE(LocalDateToFileTime(38353.5, &expected));
    EXPECT_EQ(Units(t.ftTime), Units(expected));
    Release(&t);

    VARIANT inner = R8(38353.5);
    VARIANT ref = Var(VT_VARIANT | VT_BYREF);
    V_VARIANTREF(&ref) = &inner;
    ASSERT_EQ(TimeArgToHdaTime(&ref, &t), S_OK);
    EXPECT_EQ(Units(t.ftTime), Units(expected));
    Release(&t);
}

TEST_F(TimeArgs, ByReferenceStringIsNotARelativeTime) {
    BSTR b = SysAllocString(L"NOW-1H");
    VARIANT v = Var(VT_BSTR | VT_BYREF);
    V_BSTRREF(&v) = &b;
    OPCHDA_TIME t = Fresh();
    EXPECT_EQ(TimeArgToHdaTime(&v, &t), DISP_E_TYPEMISMATCH);
    EXPECT_FALSE(t.bString);
    EXPECT_EQ(t.szTime, nullptr);
    SysFreeString(b);
}

TEST_F(TimeArgs, UncoercibleValuesFailWithTheCoercionError) {
    OPCHDA_TIME t = Fresh();
    VARIANT null = Var(VT_NULL);
    EXPECT_EQ(TimeArgToHdaTime(&null, &t), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(t.szTime, nullptr);
    EXPECT_EQ(Units(t.ftTime), kUntouched);
    EXPECT_EQ(V_VT(&null), VT_NULL);

    VARIANT tooBig = R8(1e300);
    EXPECT_EQ(TimeArgToHdaTime(&tooBig, &t), DISP_E_OVERFLOW);
    EXPECT_EQ(t.szTime, nullptr);
}

TEST_F(TimeArgs, DateThatDoesNotConvertFailsWithEFail) {
    for (DATE bad : {-109206.5 /* 1600-12-31 12:00 */, 2958466.0 /* year 10000 */}) {
        VARIANT v = DateVar(bad);
        OPCHDA_TIME t = Fresh();
        EXPECT_EQ(TimeArgToHdaTime(&v, &t), E_FAIL) << bad;
        EXPECT_EQ(t.szTime, nullptr);
        EXPECT_EQ(Units(t.ftTime), kUntouched) << "no undefined time may be sent on";
    }
}

TEST_F(TimeArgs, PreviousTextIsFreedWhateverTheOutcome) {
    OPCHDA_TIME t = Fresh();
    LPWSTR old = t.szTime = static_cast<LPWSTR>(CoTaskMemAlloc(16));
    t.szTime[0] = L'\0';
    VARIANT date = R8(38353.5);
    ASSERT_EQ(TimeArgToHdaTime(&date, &t), S_OK);  // replaces the text
    // The heap may hand the freed block straight back for the new text.
    EXPECT_TRUE(t.szTime == old || !g_spy.IsLive(old));
    old = t.szTime;
    ASSERT_TRUE(g_spy.IsLive(old));
    VARIANT null = Var(VT_NULL);
    EXPECT_EQ(TimeArgToHdaTime(&null, &t), DISP_E_TYPEMISMATCH);  // frees it, leaves none
    EXPECT_EQ(t.szTime, nullptr);
    EXPECT_FALSE(g_spy.IsLive(old));
}

TEST_F(TimeArgs, AllocationFailureIsOutOfMemory) {
    VARIANT text = Var(VT_BSTR);
    V_BSTR(&text) = SysAllocString(L"NOW");
    VARIANT date = R8(38353.5);
    for (VARIANT* v : {&text, &date}) {
        OPCHDA_TIME t = Fresh();
        g_spy.failNext = true;
        EXPECT_EQ(TimeArgToHdaTime(v, &t), E_OUTOFMEMORY);
        EXPECT_EQ(t.szTime, nullptr);
        EXPECT_FALSE(g_spy.failNext) << "no allocation was attempted";
    }
    VariantClear(&text);
}

TEST_F(TimeArgs, NullPointersAreRejected) {
    VARIANT v = R8(1.0);
    OPCHDA_TIME t = Fresh();
    EXPECT_EQ(TimeArgToHdaTime(nullptr, &t), E_POINTER);
    EXPECT_EQ(TimeArgToHdaTime(&v, nullptr), E_POINTER);
    HdaTimeToTimeArg(nullptr, &v);
    HdaTimeToTimeArg(&t, nullptr);
    EXPECT_EQ(V_VT(&v), VT_R8);
}

TEST_F(TimeArgs, WriteBackReplacesWhateverTheVariantHeld) {
    OPCHDA_TIME t = Fresh();
    ASSERT_TRUE(LocalDateToFileTime(38353.5, &t.ftTime));

    VARIANT v = Var(VT_BSTR);
    V_BSTR(&v) = SysAllocString(L"NOW-1H");
    HdaTimeToTimeArg(&t, &v);
    ASSERT_EQ(V_VT(&v), VT_DATE);
    EXPECT_DOUBLE_EQ(V_DATE(&v), 38353.5);

    t.ftTime = Ft(0x7fffffffffffffffULL);  // a time that is no date
    HdaTimeToTimeArg(&t, &v);
    ASSERT_EQ(V_VT(&v), VT_ERROR);
    EXPECT_EQ(V_ERROR(&v), E_FAIL);
}

TEST_F(TimeArgs, DatesSurviveTheRoundTrip) {
    for (DATE d : {0.0, 38353.5, 45000.25, 47000.0 + 13.0 / 86400, -100000.0}) {
        VARIANT v = DateVar(d);
        OPCHDA_TIME t = Fresh();
        ASSERT_EQ(TimeArgToHdaTime(&v, &t), S_OK) << d;
        HdaTimeToTimeArg(&t, &v);
        ASSERT_EQ(V_VT(&v), VT_DATE);
        EXPECT_NEAR(V_DATE(&v), d, 1e-9) << d;
        Release(&t);
    }
}

struct SpanCase {
    double days;
    int64_t units;
};

TEST(DateSpanToFileTime, TruncatesTowardZero) {
    const SpanCase cases[] = {
        {1.0 / 24, 36'000'000'000},
        {5.7870370370370366e-05, 49'999'999},  // a hair below 50,000,000
        {-5.7870370370370366e-05, -49'999'999},
        {-1.0 / 24, -36'000'000'000},
        {0.0, 0},
        {1.0, 864'000'000'000},
        {-1.0, -864'000'000'000},
        {1.0 / 86400 / 1000, 10'000},
        {1e-12, 0},
        {10000.0, 8'640'000'000'000'000},
    };
    for (const auto& c : cases) {
        const FILETIME ft = DateSpanToFileTime(c.days);
        EXPECT_EQ(static_cast<int64_t>(Units(ft)), c.units) << c.days;
    }
    // The halves: low half first, two's complement across both.
    const FILETIME minusOneUnit = DateSpanToFileTime(-1.5 / 864'000'000'000.0);
    EXPECT_EQ(minusOneUnit.dwLowDateTime, 0xffffffffu);
    EXPECT_EQ(minusOneUnit.dwHighDateTime, 0xffffffffu);
    const FILETIME hour = DateSpanToFileTime(1.0 / 24);
    EXPECT_EQ(hour.dwLowDateTime, 0x61c46800u);
    EXPECT_EQ(hour.dwHighDateTime, 0x8u);
}

TEST(DateSpanToFileTime, SpansBeyondTheRangeStillGiveADefiniteDuration) {
    for (double days : {1e10, -1e10, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(Units(DateSpanToFileTime(days)), 0x8000000000000000ULL) << days;
}

class TimePair : public TimeArgs {};

TEST_F(TimePair, StartsClearedAndFreesBothTextsOnDestruction) {
    VARIANT start = Var(VT_BSTR);
    V_BSTR(&start) = SysAllocString(L"NOW-1H");
    VARIANT end = R8(38353.5);
    LPWSTR texts[2] = {};
    {
        HdaTimePair pair;
        EXPECT_FALSE(pair.Start()->bString);
        EXPECT_EQ(pair.Start()->szTime, nullptr);
        EXPECT_EQ(Units(pair.Start()->ftTime), 0u);
        EXPECT_EQ(pair.End()->szTime, nullptr);
        EXPECT_EQ(Units(pair.End()->ftTime), 0u);

        ASSERT_EQ(pair.Convert(&start, &end), S_OK);
        EXPECT_TRUE(pair.Start()->bString);
        EXPECT_STREQ(pair.Start()->szTime, L"NOW-1H");
        EXPECT_FALSE(pair.End()->bString);
        EXPECT_NE(pair.End()->szTime, nullptr);
        texts[0] = pair.Start()->szTime;
        texts[1] = pair.End()->szTime;
        ASSERT_TRUE(g_spy.IsLive(texts[0]));
        ASSERT_TRUE(g_spy.IsLive(texts[1]));
    }
    EXPECT_FALSE(g_spy.IsLive(texts[0]));
    EXPECT_FALSE(g_spy.IsLive(texts[1]));
    VariantClear(&start);
}

TEST_F(TimePair, FirstFailureStopsAndLeavesTheVariantsAlone) {
    VARIANT start = Var(VT_NULL);
    VARIANT end = R8(38353.5);
    HdaTimePair pair;
    EXPECT_EQ(pair.Convert(&start, &end), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(pair.End()->szTime, nullptr) << "the end bound must not be converted";
    EXPECT_EQ(V_VT(&start), VT_NULL);
    EXPECT_EQ(V_VT(&end), VT_R8);
}

TEST_F(TimePair, EndFailureKeepsTheStartTextForTheHolderToFree) {
    VARIANT start = Var(VT_BSTR);
    V_BSTR(&start) = SysAllocString(L"NOW");
    VARIANT end = DateVar(-109206.5);
    LPWSTR text = nullptr;
    {
        HdaTimePair pair;
        EXPECT_EQ(pair.Convert(&start, &end), E_FAIL);
        text = pair.Start()->szTime;
        EXPECT_TRUE(g_spy.IsLive(text));
        EXPECT_EQ(pair.End()->szTime, nullptr);
        EXPECT_EQ(V_VT(&start), VT_BSTR);
    }
    EXPECT_FALSE(g_spy.IsLive(text));
    VariantClear(&start);
}

TEST_F(TimePair, ConvertsStartThenEndThroughTheGivenOperation) {
    std::vector<VARIANT*> order;
    auto convert = [&order](VARIANT* v, OPCHDA_TIME* t) {
        order.push_back(v);
        return TimeArgToHdaTime(v, t);
    };
    VARIANT start = R8(38353.25);
    VARIANT end = R8(38353.5);
    HdaTimePair pair;
    ASSERT_EQ(pair.Convert(convert, &start, &end), S_OK);
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0], &start);
    EXPECT_EQ(order[1], &end);

    order.clear();
    HdaTimePair startOnly;
    ASSERT_EQ(startOnly.Convert(convert, &start, nullptr), S_OK);
    EXPECT_EQ(order.size(), 1u);
    EXPECT_EQ(startOnly.End()->szTime, nullptr);
}

TEST_F(TimePair, WritesBackTheHistoriansTimes) {
    VARIANT start = Var(VT_BSTR);
    V_BSTR(&start) = SysAllocString(L"NOW-1H");
    VARIANT end = Var(VT_BSTR);
    V_BSTR(&end) = SysAllocString(L"NOW");
    HdaTimePair pair;
    ASSERT_EQ(pair.Convert(&start, &end), S_OK);
    // What a historian does: resolve both bounds to absolute times.
    ASSERT_TRUE(LocalDateToFileTime(38353.5, &pair.Start()->ftTime));
    pair.End()->ftTime = Ft(Units(pair.Start()->ftTime) + kHour);
    pair.WriteBack(&start, &end);
    ASSERT_EQ(V_VT(&start), VT_DATE);
    ASSERT_EQ(V_VT(&end), VT_DATE);
    EXPECT_DOUBLE_EQ(V_DATE(&start), 38353.5);
    EXPECT_NEAR(V_DATE(&end) - V_DATE(&start), 1.0 / 24, 1e-9);

    VARIANT lone = R8(1.0);
    pair.WriteBack(&lone, nullptr);
    EXPECT_EQ(V_VT(&lone), VT_DATE);
}

}  // namespace
