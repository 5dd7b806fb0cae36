// Processed reads: every aggregate recomputed here from the documented signals
// and the documented aggregate rules.
#include "sim_test_util.h"

#include <algorithm>
#include <vector>

namespace simtest {
namespace {

using namespace hdasim;

struct Sample {
    Ticks t;
    double x;
};

// Ramp samples in [a, b).
std::vector<Sample> RampSamples(Ticks a, Ticks b) {
    std::vector<Sample> s;
    for (Ticks t = a; t < b; t += 10 * kSec) s.push_back({t, RampAt(t)});
    return s;
}

class ProcessedTest : public ModelTest {
protected:
    // One interval of five minutes at noon on the ramp.
    Value One(std::uint32_t aggregate, const wchar_t* item = kRamp, Ticks from = 0, Ticks length = 5 * kMin) {
        if (from == 0) from = noon;
        ItemData d = hist.ReadProcessed(from, from + length, length, aggregate, H(item));
        EXPECT_TRUE(SUCCEEDED(d.hr)) << std::hex << d.hr;
        EXPECT_EQ(d.values.size(), 1u);
        return d.values.empty() ? Value{} : d.values[0];
    }
};

TEST_F(ProcessedTest, StatisticsOfTheRamp) {
    const auto s = RampSamples(noon, noon + 5 * kMin);
    ASSERT_EQ(s.size(), 30u);
    double sum = 0, mn = s[0].x, mx = s[0].x;
    for (auto& p : s) {
        sum += p.x;
        mn = std::min(mn, p.x);
        mx = std::max(mx, p.x);
    }
    const double mean = sum / 30;
    double ss = 0;
    for (auto& p : s) ss += (p.x - mean) * (p.x - mean);

    const std::uint32_t calcGood = kQualityCalculated | kQualityGood;
    Value avg = One(kAggAverage);
    EXPECT_EQ(avg.time, noon);
    EXPECT_EQ(avg.quality, calcGood);
    EXPECT_DOUBLE_EQ(Num(avg), mean);
    EXPECT_DOUBLE_EQ(Num(One(kAggVariance)), ss / 29);
    EXPECT_DOUBLE_EQ(Num(One(kAggStDev)), std::sqrt(ss / 29));
    EXPECT_DOUBLE_EQ(Num(One(kAggMinimum)), mn);
    EXPECT_DOUBLE_EQ(Num(One(kAggMaximum)), mx);
    EXPECT_DOUBLE_EQ(Num(One(kAggRange)), mx - mn);
    EXPECT_DOUBLE_EQ(Num(One(kAggDelta)), s.back().x - s.front().x);
    Value count = One(kAggCount);
    ASSERT_EQ(count.value.vt(), VT_I4);
    EXPECT_EQ(count.value.get().lVal, 30);

    Value start = One(kAggStart), end = One(kAggEnd);
    EXPECT_EQ(start.time, noon);
    EXPECT_DOUBLE_EQ(Num(start), s.front().x);
    EXPECT_EQ(end.time, s.back().t);
    EXPECT_DOUBLE_EQ(Num(end), s.back().x);

    // Where the extremes are depends on where the ramp wraps at 1000.
    auto minIt = std::min_element(s.begin(), s.end(), [](auto& a, auto& b) { return a.x < b.x; });
    auto maxIt = std::max_element(s.begin(), s.end(), [](auto& a, auto& b) { return a.x < b.x; });
    EXPECT_EQ(One(kAggMinimumActualTime).time, minIt->t);
    EXPECT_EQ(One(kAggMaximumActualTime).time, maxIt->t);
    EXPECT_EQ(One(kAggMinimum).time, noon);
}

TEST_F(ProcessedTest, TimeAverageAndTotalOfTheSine) {
    // Interval [noon+5 s, noon+65 s): bounds interpolated at both ends, trapezoids between.
    const Ticks a = noon + 5 * kSec, b = a + kMin;
    std::vector<Sample> pts;
    pts.push_back({a, (SineAt(noon) + SineAt(noon + 10 * kSec)) / 2});
    for (Ticks t = noon + 10 * kSec; t < b; t += 10 * kSec) pts.push_back({t, SineAt(t)});
    pts.push_back({b, (SineAt(noon + 60 * kSec) + SineAt(noon + 70 * kSec)) / 2});
    double integral = 0;
    for (std::size_t i = 1; i < pts.size(); ++i)
        integral += 0.5 * (pts[i].x + pts[i - 1].x) * static_cast<double>(pts[i].t - pts[i - 1].t) / kSec;
    EXPECT_NEAR(Num(One(kAggTimeAverage, kSine, a, kMin)), integral / 60.0, 1e-9);
    EXPECT_NEAR(Num(One(kAggTotal, kSine, a, kMin)), integral, 1e-7);
}

TEST_F(ProcessedTest, TimeAverageOfASteppedItemHoldsValues) {
    // Twenty minutes of the step signal starting mid-way between two samples.
    const Ticks a = noon + 30 * kSec, b = a + 20 * kMin;
    std::vector<Sample> pts;
    pts.push_back({a, static_cast<double>(StepAt(noon))});
    for (Ticks t = noon + kMin; t < b; t += kMin) pts.push_back({t, static_cast<double>(StepAt(t))});
    pts.push_back({b, static_cast<double>(StepAt(noon + 20 * kMin))});
    double integral = 0;
    for (std::size_t i = 1; i < pts.size(); ++i)
        integral += pts[i - 1].x * static_cast<double>(pts[i].t - pts[i - 1].t) / kSec;
    EXPECT_NEAR(Num(One(kAggTimeAverage, kStep, a, 20 * kMin)), integral / 1200.0, 1e-9);
}

TEST_F(ProcessedTest, QualityDurationsOfGappy) {
    // Ten minutes: good 0..400 s (the gap keeps the good quality of the value before it),
    // bad 400..450 s, uncertain 450..500 s, good 500..600 s.
    EXPECT_DOUBLE_EQ(Num(One(kAggDurationGood, kGappy, noon, 10 * kMin)), 500.0);
    EXPECT_DOUBLE_EQ(Num(One(kAggDurationBad, kGappy, noon, 10 * kMin)), 50.0);
    EXPECT_NEAR(Num(One(kAggPercentGood, kGappy, noon, 10 * kMin)), 500.0 / 6.0, 1e-9);
    EXPECT_NEAR(Num(One(kAggPercentBad, kGappy, noon, 10 * kMin)), 50.0 / 6.0, 1e-9);
    // Bad values do not count; the result is uncertain because some raw values were not good.
    Value count = One(kAggCount, kGappy, noon, 10 * kMin);
    EXPECT_EQ(count.value.get().lVal, 45);
    EXPECT_EQ(count.quality, kQualityCalculated | kQualityUncertain);
}

TEST_F(ProcessedTest, SeveralIntervalsWithWorstQualityAndAnEmptyOne) {
    ItemData d = hist.ReadProcessed(noon, noon + 10 * kMin, 100 * kSec, kAggWorstQuality, H(kGappy));
    ASSERT_EQ(d.hr, S_OK);
    ASSERT_EQ(d.values.size(), 6u);
    // Intervals of 10 samples: k 0-9, 10-19, 20-29 (the gap), 30-39, 40-49 (bad, uncertain), 50-59.
    EXPECT_EQ(d.values[0].value.get().lVal, 0xC0);
    EXPECT_EQ(d.values[2].quality, kQualityNoData);
    EXPECT_EQ(d.values[2].value.vt(), VT_EMPTY);
    EXPECT_EQ(d.values[4].value.get().lVal, 0x00);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(d.values[i].time, noon + i * 100 * kSec);

    ItemData avg = hist.ReadProcessed(noon + 200 * kSec, noon + 300 * kSec, 0, kAggAverage, H(kGappy));
    EXPECT_EQ(avg.hr, kHdaNoData);
    ASSERT_EQ(avg.values.size(), 1u);
    EXPECT_EQ(avg.values[0].quality, kQualityNoData);
}

TEST_F(ProcessedTest, LastIntervalMayBeShortAndMaximumCuts) {
    ItemData d = hist.ReadProcessed(noon, noon + 150 * kSec, kMin, kAggCount, H(kRamp));
    ASSERT_EQ(d.values.size(), 3u);
    EXPECT_EQ(d.values[2].value.get().lVal, 3);
    hist.SetMaxReturnValues(2);
    ItemData cut = hist.ReadProcessed(noon, noon + 150 * kSec, kMin, kAggCount, H(kRamp));
    EXPECT_EQ(cut.hr, kHdaMoreData);
    EXPECT_EQ(cut.values.size(), 2u);
}

TEST_F(ProcessedTest, InterpolativeIsTheAtTimeValue) {
    ItemData d = hist.ReadProcessed(noon + 5 * kSec, noon + 25 * kSec, 10 * kSec, kAggInterpolative, H(kSine));
    ASSERT_EQ(d.values.size(), 2u);
    EXPECT_EQ(d.values[0].quality, kQualityGood | kQualityInterpolated);
    EXPECT_NEAR(Num(d.values[0]), (SineAt(noon) + SineAt(noon + 10 * kSec)) / 2, 1e-9);
    EXPECT_NEAR(Num(d.values[1]), (SineAt(noon + 10 * kSec) + SineAt(noon + 20 * kSec)) / 2, 1e-9);
}

TEST_F(ProcessedTest, UnknownAggregatesAndNumericAggregatesOfText) {
    EXPECT_EQ(hist.ReadProcessed(noon, noon + kMin, 0, kAggRegSlope, H(kRamp)).hr, kHdaInvalidAggregate);
    EXPECT_EQ(hist.ReadProcessed(noon, noon + kMin, 0, 999, H(kRamp)).hr, kHdaInvalidAggregate);
    EXPECT_EQ(hist.ReadProcessed(noon, noon + kMin, 0, kAggNone, H(kRamp)).hr, kHdaInvalidAggregate);
    EXPECT_EQ(hist.ReadProcessed(noon, noon + kMin, 0, kAggAverage, H(kText)).hr, kHdaInvalidAggregate);
    ItemData count = hist.ReadProcessed(noon, noon + 10 * kMin, 0, kAggCount, H(kText));
    ASSERT_EQ(count.hr, S_OK);
    EXPECT_EQ(count.values[0].value.get().lVal, 10);
    // Every aggregate in the catalogue is computed.
    for (const auto& a : hist.GetAggregates())
        EXPECT_TRUE(SUCCEEDED(hist.ReadProcessed(noon, noon + kMin, 0, a.id, H(kSine)).hr)) << a.id;
}

TEST_F(ProcessedTest, BooleansCountAsZeroAndOne) {
    // Flag: 30 s samples, true when (k / 4) is odd.
    double sum = 0;
    int n = 0;
    for (Ticks t = noon; t < noon + 10 * kMin; t += 30 * kSec, ++n) sum += ((t / (30 * kSec)) / 4) % 2 == 1 ? 1 : 0;
    EXPECT_DOUBLE_EQ(Num(One(kAggAverage, kFlag, noon, 10 * kMin)), sum / n);
}

}  // namespace
}  // namespace simtest
