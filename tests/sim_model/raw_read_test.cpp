// Raw reads and at-time reads against the documented calibration signals.
#include "sim_test_util.h"

namespace simtest {
namespace {

using namespace hdasim;

TEST_F(ModelTest, RawSineMatchesFormulaAscendingEndExclusive) {
    ItemData d = hist.ReadRaw(noon, noon + 10 * kMin, 0, false, H(kSine));
    ASSERT_EQ(d.hr, S_OK);
    ASSERT_EQ(d.values.size(), 60u);
    for (std::size_t i = 0; i < d.values.size(); ++i) {
        const Ticks t = noon + static_cast<Ticks>(i) * 10 * kSec;
        EXPECT_EQ(d.values[i].time, t);
        EXPECT_EQ(d.values[i].quality, kQualityGood | kQualityRaw);
        ASSERT_EQ(d.values[i].value.vt(), VT_R8);
        EXPECT_NEAR(d.values[i].value.get().dblVal, SineAt(t), 1e-9);
    }
}

TEST_F(ModelTest, RawDiscreteSignalsHaveTheirTypesAndValues) {
    ItemData step = hist.ReadRaw(noon, noon + 30 * kMin, 0, false, H(kStep));
    ASSERT_EQ(step.values.size(), 30u);
    for (const auto& v : step.values) {
        ASSERT_EQ(v.value.vt(), VT_I4);
        EXPECT_EQ(v.value.get().lVal, StepAt(v.time));
    }
    ItemData counter = hist.ReadRaw(noon, noon + kMin, 0, false, H(kCounter));
    ASSERT_EQ(counter.values.size(), 6u);
    EXPECT_EQ(counter.values[0].value.get().lVal, static_cast<LONG>((noon / (10 * kSec)) % 1000000));
    EXPECT_EQ(counter.values[5].value.get().lVal - counter.values[0].value.get().lVal, 5);

    ItemData flag = hist.ReadRaw(noon, noon + 10 * kMin, 0, false, H(kFlag));
    ASSERT_EQ(flag.values.size(), 20u);
    for (const auto& v : flag.values) {
        ASSERT_EQ(v.value.vt(), VT_BOOL);
        const bool expected = ((v.time / (30 * kSec)) / 4) % 2 == 1;
        EXPECT_EQ(v.value.get().boolVal == VARIANT_TRUE, expected);
    }
    ItemData text = hist.ReadRaw(noon, noon + 3 * kMin, 0, false, H(kText));
    ASSERT_EQ(text.values.size(), 3u);
    ASSERT_EQ(text.values[1].value.vt(), VT_BSTR);
    EXPECT_EQ(text.values[1].value.AsString(), L"State" + std::to_wstring(((noon + kMin) / (60 * kSec)) % 7));
}

TEST_F(ModelTest, RawGappyHasGapAndBadAndUncertainWindows) {
    // At noon the sample index is a multiple of 60, so the windows sit at fixed offsets.
    ASSERT_EQ((noon / (10 * kSec)) % 60, 0);
    ItemData d = hist.ReadRaw(noon, noon + 10 * kMin, 0, false, H(kGappy));
    ASSERT_EQ(d.hr, S_OK);
    ASSERT_EQ(d.values.size(), 50u);
    std::size_t i = 0;
    for (int k = 0; k < 60; ++k) {
        if (k >= 20 && k < 30) continue;
        const auto& v = d.values[i++];
        EXPECT_EQ(v.time, noon + k * 10 * kSec);
        EXPECT_EQ(Num(v), RampAt(v.time));
        const std::uint32_t low = k >= 40 && k < 45 ? 0x00 : k >= 45 && k < 50 ? 0x40 : 0xC0;
        EXPECT_EQ(v.quality, low | kQualityRaw) << "k=" << k;
    }
}

TEST_F(ModelTest, RawNumValuesCutsWithMoreData) {
    ItemData d = hist.ReadRaw(noon, noon + 10 * kMin, 5, false, H(kRamp));
    EXPECT_EQ(d.hr, kHdaMoreData);
    ASSERT_EQ(d.values.size(), 5u);
    EXPECT_EQ(d.values.back().time, noon + 40 * kSec);
    // Exactly as many as exist: no MoreData.
    ItemData exact = hist.ReadRaw(noon, noon + kMin, 6, false, H(kRamp));
    EXPECT_EQ(exact.hr, S_OK);
    EXPECT_EQ(exact.values.size(), 6u);
}

TEST_F(ModelTest, RawServerMaximumCutsWithMoreData) {
    hist.SetMaxReturnValues(7);
    EXPECT_EQ(hist.GetStatus().maxReturnValues, 7u);
    ItemData all = hist.ReadRaw(noon, noon + 10 * kMin, 0, false, H(kRamp));
    EXPECT_EQ(all.hr, kHdaMoreData);
    EXPECT_EQ(all.values.size(), 7u);
    ItemData many = hist.ReadRaw(noon, noon + 10 * kMin, 100, false, H(kRamp));
    EXPECT_EQ(many.hr, kHdaMoreData);
    EXPECT_EQ(many.values.size(), 7u);
}

TEST_F(ModelTest, RawNoData) {
    // Before the archive begins, inside a gap, and in the future.
    ItemData old = hist.ReadRaw(T(2019, 1, 1), T(2019, 2, 1), 0, false, H(kRamp));
    EXPECT_EQ(old.hr, kHdaNoData);
    EXPECT_TRUE(old.values.empty());
    ItemData gap = hist.ReadRaw(noon + 200 * kSec, noon + 300 * kSec, 0, false, H(kGappy));
    EXPECT_EQ(gap.hr, kHdaNoData);
    ItemData future = hist.ReadRaw(clock->now() + kSec, clock->now() + kMin, 0, false, H(kRamp));
    EXPECT_EQ(future.hr, kHdaNoData);
}

TEST_F(ModelTest, RawDescendingIsNewestFirstStartInclusive) {
    ItemData d = hist.ReadRaw(noon + kMin, noon, 0, false, H(kRamp));
    ASSERT_EQ(d.hr, S_OK);
    ASSERT_EQ(d.values.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(d.values[i].time, noon + kMin - static_cast<Ticks>(i) * 10 * kSec);
    ItemData cut = hist.ReadRaw(noon + kMin, noon, 2, false, H(kRamp));
    EXPECT_EQ(cut.hr, kHdaMoreData);
    ASSERT_EQ(cut.values.size(), 2u);
    EXPECT_EQ(cut.values[1].time, noon + 50 * kSec);
}

TEST_F(ModelTest, RawStartEqualsEndGivesTheValueAtThatTime) {
    ItemData d = hist.ReadRaw(noon, noon, 0, false, H(kRamp));
    EXPECT_EQ(d.hr, S_OK);
    ASSERT_EQ(d.values.size(), 1u);
    EXPECT_EQ(d.values[0].time, noon);
    EXPECT_EQ(hist.ReadRaw(noon + kSec, noon + kSec, 0, false, H(kRamp)).hr, kHdaNoData);
}

TEST_F(ModelTest, RawBoundsAscendingAndDescending) {
    ItemData d = hist.ReadRaw(noon + 5 * kSec, noon + 35 * kSec, 0, true, H(kRamp));
    ASSERT_EQ(d.hr, S_OK);
    ASSERT_EQ(d.values.size(), 5u);
    const Ticks expected[] = {noon, noon + 10 * kSec, noon + 20 * kSec, noon + 30 * kSec, noon + 40 * kSec};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(d.values[i].time, expected[i]);
    EXPECT_EQ(Num(d.values[0]), RampAt(noon));

    // A value exactly at the start is not a bound; the one at the (exclusive) end is.
    ItemData aligned = hist.ReadRaw(noon, noon + 30 * kSec, 0, true, H(kRamp));
    ASSERT_EQ(aligned.values.size(), 5u);
    EXPECT_EQ(aligned.values.front().time, noon - 10 * kSec);
    EXPECT_EQ(aligned.values.back().time, noon + 30 * kSec);

    ItemData down = hist.ReadRaw(noon + 35 * kSec, noon + 5 * kSec, 0, true, H(kRamp));
    ASSERT_EQ(down.values.size(), 5u);
    EXPECT_EQ(down.values.front().time, noon + 40 * kSec);
    EXPECT_EQ(down.values.back().time, noon);
}

TEST_F(ModelTest, RawBoundsAcrossAGapAndBeyondNow) {
    // Nothing inside the gap, but both neighbours are found.
    ItemData gap = hist.ReadRaw(noon + 205 * kSec, noon + 295 * kSec, 0, true, H(kGappy));
    EXPECT_EQ(gap.hr, S_OK);
    ASSERT_EQ(gap.values.size(), 2u);
    EXPECT_EQ(gap.values[0].time, noon + 190 * kSec);
    EXPECT_EQ(gap.values[1].time, noon + 300 * kSec);

    // No value after now: the end bound is a placeholder.
    const Ticks now = clock->now();
    ItemData future = hist.ReadRaw(now - 15 * kSec, now + kMin, 0, true, H(kRamp));
    ASSERT_EQ(future.values.size(), 4u);
    EXPECT_EQ(future.values[0].time, now - 20 * kSec);
    EXPECT_EQ(future.values[2].time, now);
    EXPECT_EQ(future.values[3].time, now + kMin);
    EXPECT_EQ(future.values[3].quality, kQualityNoBound);
    EXPECT_EQ(future.values[3].value.vt(), VT_EMPTY);

    // Before the archive: no value before the start; the bound after the end is
    // the first archived value.
    ItemData early = hist.ReadRaw(T(2019, 1, 1), T(2019, 1, 2), 0, true, H(kRamp));
    EXPECT_EQ(early.hr, S_OK);
    ASSERT_EQ(early.values.size(), 2u);
    EXPECT_EQ(early.values[0].quality, kQualityNoBound);
    EXPECT_EQ(early.values[0].time, T(2019, 1, 1));
    EXPECT_EQ(early.values[1].time, T(2020, 1, 1));

    // Nothing at all on either side: only placeholders, and no data.
    ASSERT_EQ(hist.DeleteRaw(T(2019, 1, 1), T(2025, 1, 1), H(kRamp)), S_OK);
    ItemData none = hist.ReadRaw(T(2024, 1, 1), T(2024, 1, 2), 0, true, H(kRamp));
    EXPECT_EQ(none.hr, kHdaNoData);
    ASSERT_EQ(none.values.size(), 2u);
    EXPECT_EQ(none.values[0].quality, kQualityNoBound);
    EXPECT_EQ(none.values[1].quality, kQualityNoBound);
}

TEST_F(ModelTest, RawBoundsCountAgainstNumValues) {
    ItemData d = hist.ReadRaw(noon + 5 * kSec, noon + 35 * kSec, 2, true, H(kRamp));
    EXPECT_EQ(d.hr, kHdaMoreData);
    ASSERT_EQ(d.values.size(), 2u);
    EXPECT_EQ(d.values[0].time, noon);
    EXPECT_EQ(d.values[1].time, noon + 10 * kSec);
}

TEST_F(ModelTest, HistoryGrowsWithTheClock) {
    const Ticks now = clock->now();
    EXPECT_EQ(hist.ReadRaw(now - kMin, now + kMin, 0, false, H(kRamp)).values.size(), 7u);
    clock->advance(30 * kSec);
    EXPECT_EQ(hist.ReadRaw(now - kMin, now + kMin, 0, false, H(kRamp)).values.size(), 10u);
}

TEST_F(ModelTest, AtTimeExactInterpolatedSteppedAndNoData) {
    const Ticks times[] = {noon, noon + 5 * kSec, noon + 12 * kSec};
    ItemData d = hist.ReadAtTime({times[0], times[1], times[2]}, H(kSine));
    ASSERT_EQ(d.hr, S_OK);
    ASSERT_EQ(d.values.size(), 3u);
    EXPECT_EQ(d.values[0].quality, kQualityGood | kQualityRaw);
    EXPECT_NEAR(Num(d.values[0]), SineAt(noon), 1e-9);
    EXPECT_EQ(d.values[1].time, noon + 5 * kSec);
    EXPECT_EQ(d.values[1].quality, kQualityGood | kQualityInterpolated);
    EXPECT_NEAR(Num(d.values[1]), (SineAt(noon) + SineAt(noon + 10 * kSec)) / 2, 1e-9);
    EXPECT_NEAR(Num(d.values[2]),
                SineAt(noon + 10 * kSec) + 0.2 * (SineAt(noon + 20 * kSec) - SineAt(noon + 10 * kSec)), 1e-9);

    // A stepped item holds the previous value.
    ItemData s = hist.ReadAtTime({noon + 9 * kMin + 59 * kSec}, H(kStep));
    ASSERT_EQ(s.values.size(), 1u);
    EXPECT_EQ(s.values[0].value.get().lVal, StepAt(noon + 9 * kMin));
    EXPECT_EQ(s.values[0].quality, kQualityGood | kQualityInterpolated);

    // Interpolating next to a bad value is not good.
    ItemData g = hist.ReadAtTime({noon + 395 * kSec}, H(kGappy));
    EXPECT_EQ(g.values[0].quality, kQualityBad | kQualityInterpolated);

    // Past the newest value a continuous signal holds it, uncertain.
    const Ticks now = clock->now();
    ItemData late = hist.ReadAtTime({now + kMin}, H(kSine));
    EXPECT_EQ(late.values[0].quality, kQualityUncertain | kQualityInterpolated);
    EXPECT_NEAR(Num(late.values[0]), SineAt(now), 1e-9);

    ItemData none = hist.ReadAtTime({T(2019, 6, 1)}, H(kSine));
    EXPECT_EQ(none.hr, kHdaNoData);
    ASSERT_EQ(none.values.size(), 1u);
    EXPECT_EQ(none.values[0].quality, kQualityNoData);
    EXPECT_EQ(none.values[0].value.vt(), VT_EMPTY);
}

TEST_F(ModelTest, ProductionSignalsStayInTheirNormalRange) {
    // Every plant signal answers with values of its declared type, within its normal range.
    for (const auto& id : hist.AllItemIds()) {
        Handle h = H(id.c_str());
        auto attrs = hist.ReadAttribute(noon, noon, h, {kAttrDataType, kAttrNormalMinimum, kAttrNormalMaximum});
        ItemData d = hist.ReadRaw(noon - kMin * 60, noon, 0, false, h);
        ASSERT_TRUE(SUCCEEDED(d.hr)) << std::string(id.begin(), id.end());
        ASSERT_FALSE(d.values.empty());
        for (const auto& v : d.values) {
            ASSERT_EQ(v.value.vt(), attrs[0].values[0].get().iVal);
            double x = 0;
            if (v.value.vt() == VT_BSTR || !v.value.AsDouble(&x)) continue;
            EXPECT_GE(x, attrs[1].values[0].get().dblVal - 1e-9);
            EXPECT_LE(x, attrs[2].values[0].get().dblVal + 1e-9);
        }
    }
}

}  // namespace
}  // namespace simtest
