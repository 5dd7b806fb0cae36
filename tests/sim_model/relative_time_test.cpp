// Relative time texts against a fixed clock, in UTC.
#include "sim_test_util.h"

namespace simtest {
namespace {

using namespace hdasim;

// Friday 2024-03-15 13:45:30.5 UTC.
const Ticks kNow = T(2024, 3, 15, 13, 45, 30) + 5'000'000;

Ticks Parse(const std::wstring& text) {
    Ticks t = -1;
    EXPECT_EQ(ParseRelativeTime(text, kNow, &t), S_OK) << std::string(text.begin(), text.end());
    return t;
}

TEST(RelativeTime, BaseKeywordsTruncate) {
    EXPECT_EQ(Parse(L"NOW"), kNow);
    EXPECT_EQ(Parse(L"SECOND"), T(2024, 3, 15, 13, 45, 30));
    EXPECT_EQ(Parse(L"MINUTE"), T(2024, 3, 15, 13, 45, 0));
    EXPECT_EQ(Parse(L"HOUR"), T(2024, 3, 15, 13, 0, 0));
    EXPECT_EQ(Parse(L"DAY"), T(2024, 3, 15));
    EXPECT_EQ(Parse(L"WEEK"), T(2024, 3, 10));  // the Sunday before
    EXPECT_EQ(Parse(L"MONTH"), T(2024, 3, 1));
    EXPECT_EQ(Parse(L"YEAR"), T(2024, 1, 1));
}

TEST(RelativeTime, OffsetsAddUpLeftToRight) {
    EXPECT_EQ(Parse(L"NOW-1D"), kNow - 24LL * 3600 * kSec);
    EXPECT_EQ(Parse(L"DAY-1D+7H30M"), T(2024, 3, 14, 7, 30, 0));
    EXPECT_EQ(Parse(L"YEAR+3MO"), T(2024, 4, 1));
    EXPECT_EQ(Parse(L"HOUR+90S"), T(2024, 3, 15, 13, 1, 30));
    EXPECT_EQ(Parse(L"WEEK+1W"), T(2024, 3, 17));
    EXPECT_EQ(Parse(L"MONTH-3MO"), T(2023, 12, 1));
    EXPECT_EQ(Parse(L"YEAR-1Y+2MO-1D"), T(2023, 2, 28));
    EXPECT_EQ(Parse(L"NOW+0S"), kNow);
    EXPECT_EQ(Parse(L"HOUR-1H30M"), T(2024, 3, 15, 11, 30, 0));  // the sign carries on
}

TEST(RelativeTime, SpacesAndCaseAreFree) {
    EXPECT_EQ(Parse(L"  day - 1d + 7h 30m  "), T(2024, 3, 14, 7, 30, 0));
    EXPECT_EQ(Parse(L"Month + 1 Mo"), T(2024, 4, 1));
}

TEST(RelativeTime, MonthsClampToTheLastDay) {
    const Ticks jan31 = T(2024, 1, 31, 10, 0, 0);
    Ticks t = 0;
    ASSERT_EQ(ParseRelativeTime(L"NOW+1MO", jan31, &t), S_OK);
    EXPECT_EQ(t, T(2024, 2, 29, 10, 0, 0));
    ASSERT_EQ(ParseRelativeTime(L"NOW+1Y+1MO", jan31, &t), S_OK);
    EXPECT_EQ(t, T(2025, 2, 28, 10, 0, 0));
}

TEST(RelativeTime, MalformedTextsAreRefused) {
    for (const wchar_t* bad : {L"", L"   ", L"NOWX", L"NOW-", L"NOW-1", L"NOW-1X", L"NOW+-1D", L"TOMORROW", L"NOW 1D",
                               L"-1D", L"NOW-D", L"DAY+1H+", L"NOW-1DD"}) {
        Ticks t = 42;
        EXPECT_EQ(ParseRelativeTime(bad, kNow, &t), E_INVALIDARG) << std::string(bad, bad + wcslen(bad));
        EXPECT_EQ(t, 42);
    }
}

TEST_F(ModelTest, HistorianResolvesTimeArgumentsAgainstItsClock) {
    Ticks t = 0;
    ASSERT_EQ(hist.ResolveTime(TimeArg{true, L"NOW-1H", 0}, &t), S_OK);
    EXPECT_EQ(t, clock->now() - 60 * kMin);
    ASSERT_EQ(hist.ResolveTime(TimeArg{false, L"", noon}, &t), S_OK);
    EXPECT_EQ(t, noon);
    EXPECT_EQ(hist.ResolveTime(TimeArg{true, L"bogus", 0}, &t), E_INVALIDARG);
    clock->advance(kMin);
    ASSERT_EQ(hist.ResolveTime(TimeArg{true, L"NOW", 0}, &t), S_OK);
    EXPECT_EQ(t, clock->now());
}

}  // namespace
}  // namespace simtest
