// Aggregates over one interval [a, b). The rules, kept simple so that a reader
// can recompute every answer by hand:
// - V = the raw values in [a, b) whose quality is not bad and that have a number
//   (booleans count 0/1). Numeric aggregates use only V.
// - Result quality: OPCHDA_CALCULATED | good when every raw value in [a, b) is
//   good, else | uncertain. Time stamp: a, except MinimumActualTime /
//   MaximumActualTime (time of the first extreme value), Start / End (time of
//   the first / last value of V).
// - V empty: a NoData value (time a, quality OPCHDA_NODATA, VT_EMPTY), except
//   Count (0), the durations and percentages, and Interpolative.
// - Interpolative: exactly what ReadAtTime(a) answers.
// - Average: arithmetic mean of V. StDev / Variance: sample (n - 1) statistics,
//   0 for a single value. Delta: last - first. Range: max - min. Min/Max/Start/End
//   give the raw value (its own type); the others VT_R8, Count and WorstQuality VT_I4.
// - TimeAverage: the points (a, ReadAtTime(a)) when that has data and V has no
//   value at a, then V, then (b, ReadAtTime(b)) when that has data, integrated
//   with trapezoids (stepped items: each value held until the next point) and
//   divided by the span from the first to the last point; one point: its value.
//   Total = TimeAverage * (b - a) in seconds.
// - Quality over time is stepped: each raw value's quality holds from its time
//   to the next raw value; before the first value in the interval the quality of
//   the last value before a holds (none: counted as bad). DurationGood /
//   DurationBad: seconds (VT_R8) with good / bad quality; uncertain counts in
//   neither. PercentGood / PercentBad: 100 * duration / (b - a).
// - WorstQuality: the low 16 bits of the worst quality (bad < uncertain < good)
//   of all raw values in [a, b), first one on ties, as VT_I4.
#include "aggregates.h"

#include <cmath>

namespace hdasim {

namespace {

constexpr double kSecondsPerTick = 1.0 / static_cast<double>(kTicksPerSecond);

int QualityRank(std::uint32_t q) {
    switch (q & 0xC0) {
        case 0xC0: return 2;
        case 0x40: return 1;
        default: return 0;
    }
}

Value NoDataAt(Ticks t) {
    Value v;
    v.time = t;
    v.quality = OPCHDA_NODATA;
    return v;
}

Value Calculated(Ticks t, std::uint32_t low, UniqueVariant value) {
    Value v;
    v.time = t;
    v.quality = OPCHDA_CALCULATED | low;
    v.value = std::move(value);
    return v;
}

struct Point {
    Ticks t;
    double x;
};

}  // namespace

bool IsSupportedAggregate(std::uint32_t a) {
    switch (a) {
        case OPCHDA_INTERPOLATIVE:
        case OPCHDA_TOTAL:
        case OPCHDA_AVERAGE:
        case OPCHDA_TIMEAVERAGE:
        case OPCHDA_COUNT:
        case OPCHDA_STDEV:
        case OPCHDA_MINIMUMACTUALTIME:
        case OPCHDA_MINIMUM:
        case OPCHDA_MAXIMUMACTUALTIME:
        case OPCHDA_MAXIMUM:
        case OPCHDA_START:
        case OPCHDA_END:
        case OPCHDA_DELTA:
        case OPCHDA_VARIANCE:
        case OPCHDA_RANGE:
        case OPCHDA_DURATIONGOOD:
        case OPCHDA_DURATIONBAD:
        case OPCHDA_PERCENTGOOD:
        case OPCHDA_PERCENTBAD:
        case OPCHDA_WORSTQUALITY: return true;
        default: return false;
    }
}

bool IsNumericAggregate(std::uint32_t a) {
    switch (a) {
        case OPCHDA_TOTAL:
        case OPCHDA_AVERAGE:
        case OPCHDA_TIMEAVERAGE:
        case OPCHDA_STDEV:
        case OPCHDA_MINIMUMACTUALTIME:
        case OPCHDA_MINIMUM:
        case OPCHDA_MAXIMUMACTUALTIME:
        case OPCHDA_MAXIMUM:
        case OPCHDA_DELTA:
        case OPCHDA_VARIANCE:
        case OPCHDA_RANGE: return true;
        default: return false;
    }
}

Value ComputeAggregate(std::uint32_t aggregate, const IntervalInput& in) {
    const Ticks a = in.begin, b = in.end;
    bool allGood = true;
    for (const auto& r : in.raw) allGood = allGood && IsGoodQuality(r.quality);
    const std::uint32_t low = allGood ? kQualityGood : kQualityUncertain;

    // V: usable values with their numbers (text items keep x = 0 and are only used
    // by the non-numeric aggregates).
    std::vector<const Value*> used;
    std::vector<double> xs;
    for (const auto& r : in.raw) {
        if (IsBadQuality(r.quality)) continue;
        double x = 0;
        if (!AsDouble(r.value.get(), &x) && IsNumericAggregate(aggregate)) continue;
        used.push_back(&r);
        xs.push_back(x);
    }

    switch (aggregate) {
        case OPCHDA_INTERPOLATIVE: return CopyOf(in.interpolatedAtBegin);
        case OPCHDA_COUNT: return Calculated(a, low, I4Variant(static_cast<std::int32_t>(used.size())));
        case OPCHDA_DURATIONGOOD:
        case OPCHDA_DURATIONBAD:
        case OPCHDA_PERCENTGOOD:
        case OPCHDA_PERCENTBAD: {
            double good = 0, bad = 0;
            int rank = in.qualityBefore ? QualityRank(*in.qualityBefore) : 0;
            Ticks from = a;
            auto account = [&](Ticks to) {
                const double d = static_cast<double>(to - from) * kSecondsPerTick;
                if (rank == 2) good += d;
                if (rank == 0) bad += d;
            };
            for (const auto& r : in.raw) {
                account(r.time);
                rank = QualityRank(r.quality);
                from = r.time;
            }
            account(b);
            const double span = static_cast<double>(b - a) * kSecondsPerTick;
            double result = 0;
            switch (aggregate) {
                case OPCHDA_DURATIONGOOD: result = good; break;
                case OPCHDA_DURATIONBAD: result = bad; break;
                case OPCHDA_PERCENTGOOD: result = span > 0 ? 100.0 * good / span : 0; break;
                default: result = span > 0 ? 100.0 * bad / span : 0; break;
            }
            return Calculated(a, low, R8Variant(result));
        }
        case OPCHDA_WORSTQUALITY: {
            if (in.raw.empty()) return NoDataAt(a);
            const Value* worst = &in.raw.front();
            for (const auto& r : in.raw)
                if (QualityRank(r.quality) < QualityRank(worst->quality)) worst = &r;
            return Calculated(a, low, I4Variant(static_cast<std::int32_t>(worst->quality & 0xFFFF)));
        }
        default: break;
    }

    if (used.empty()) return NoDataAt(a);
    const std::size_t n = used.size();

    switch (aggregate) {
        case OPCHDA_START:
            return Calculated(used.front()->time, low, UniqueVariant::copy_of(used.front()->value.get()));
        case OPCHDA_END: return Calculated(used.back()->time, low, UniqueVariant::copy_of(used.back()->value.get()));
        case OPCHDA_MINIMUM:
        case OPCHDA_MINIMUMACTUALTIME:
        case OPCHDA_MAXIMUM:
        case OPCHDA_MAXIMUMACTUALTIME: {
            const bool wantMin = aggregate == OPCHDA_MINIMUM || aggregate == OPCHDA_MINIMUMACTUALTIME;
            std::size_t best = 0;
            for (std::size_t i = 1; i < n; ++i)
                if (wantMin ? xs[i] < xs[best] : xs[i] > xs[best]) best = i;
            const bool actual = aggregate == OPCHDA_MINIMUMACTUALTIME || aggregate == OPCHDA_MAXIMUMACTUALTIME;
            return Calculated(actual ? used[best]->time : a, low, UniqueVariant::copy_of(used[best]->value.get()));
        }
        default: break;
    }

    double sum = 0, mn = xs[0], mx = xs[0];
    for (double x : xs) {
        sum += x;
        mn = x < mn ? x : mn;
        mx = x > mx ? x : mx;
    }
    const double mean = sum / static_cast<double>(n);
    double ss = 0;
    for (double x : xs) ss += (x - mean) * (x - mean);
    const double variance = n > 1 ? ss / static_cast<double>(n - 1) : 0.0;

    switch (aggregate) {
        case OPCHDA_AVERAGE: return Calculated(a, low, R8Variant(mean));
        case OPCHDA_VARIANCE: return Calculated(a, low, R8Variant(variance));
        case OPCHDA_STDEV: return Calculated(a, low, R8Variant(std::sqrt(variance)));
        case OPCHDA_DELTA: return Calculated(a, low, R8Variant(xs.back() - xs.front()));
        case OPCHDA_RANGE: return Calculated(a, low, R8Variant(mx - mn));
        default: break;
    }

    // TimeAverage and Total.
    std::vector<Point> pts;
    double x = 0;
    if (!(in.interpolatedAtBegin.quality & OPCHDA_NODATA) && used.front()->time != a &&
        AsDouble(in.interpolatedAtBegin.value.get(), &x))
        pts.push_back({a, x});
    for (std::size_t i = 0; i < n; ++i) pts.push_back({used[i]->time, xs[i]});
    if (!(in.interpolatedAtEnd.quality & OPCHDA_NODATA) && AsDouble(in.interpolatedAtEnd.value.get(), &x))
        pts.push_back({b, x});
    double average = pts.front().x;
    const Ticks spanTicks = pts.back().t - pts.front().t;
    if (pts.size() > 1 && spanTicks > 0) {
        double integral = 0;
        for (std::size_t i = 1; i < pts.size(); ++i) {
            const double dt = static_cast<double>(pts[i].t - pts[i - 1].t) * kSecondsPerTick;
            integral += in.stepped ? pts[i - 1].x * dt : 0.5 * (pts[i - 1].x + pts[i].x) * dt;
        }
        average = integral / (static_cast<double>(spanTicks) * kSecondsPerTick);
    }
    if (aggregate == OPCHDA_TIMEAVERAGE) return Calculated(a, low, R8Variant(average));
    return Calculated(a, low, R8Variant(average * static_cast<double>(b - a) * kSecondsPerTick));
}

std::vector<AggregateInfo> AggregateCatalogue() {
    return {
        {OPCHDA_INTERPOLATIVE, L"Interpolative", L"Interpolated value at the start of each interval"},
        {OPCHDA_TOTAL, L"Total", L"Time integral of the data over the interval (value x seconds)"},
        {OPCHDA_AVERAGE, L"Average", L"Arithmetic mean of the raw values in the interval"},
        {OPCHDA_TIMEAVERAGE, L"Time Average", L"Time-weighted average over the interval"},
        {OPCHDA_COUNT, L"Count", L"Number of raw values in the interval"},
        {OPCHDA_STDEV, L"Standard Deviation", L"Sample standard deviation of the raw values"},
        {OPCHDA_MINIMUMACTUALTIME, L"Minimum Actual Time", L"Minimum value with its time stamp"},
        {OPCHDA_MINIMUM, L"Minimum", L"Minimum value in the interval"},
        {OPCHDA_MAXIMUMACTUALTIME, L"Maximum Actual Time", L"Maximum value with its time stamp"},
        {OPCHDA_MAXIMUM, L"Maximum", L"Maximum value in the interval"},
        {OPCHDA_START, L"Start", L"First value in the interval"},
        {OPCHDA_END, L"End", L"Last value in the interval"},
        {OPCHDA_DELTA, L"Delta", L"Last value minus first value"},
        {OPCHDA_VARIANCE, L"Variance", L"Sample variance of the raw values"},
        {OPCHDA_RANGE, L"Range", L"Maximum minus minimum"},
        {OPCHDA_DURATIONGOOD, L"Duration Good", L"Seconds of good quality in the interval"},
        {OPCHDA_DURATIONBAD, L"Duration Bad", L"Seconds of bad quality in the interval"},
        {OPCHDA_PERCENTGOOD, L"Percent Good", L"Percentage of the interval with good quality"},
        {OPCHDA_PERCENTBAD, L"Percent Bad", L"Percentage of the interval with bad quality"},
        {OPCHDA_WORSTQUALITY, L"Worst Quality", L"Worst quality of the raw values in the interval"},
    };
}

}  // namespace hdasim
