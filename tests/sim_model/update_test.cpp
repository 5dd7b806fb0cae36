// Inserts, replaces, deletions, the modification log and annotations.
#include "sim_test_util.h"

namespace simtest {
namespace {

using namespace hdasim;

VARIANT Dbl(double d) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}

class UpdateTest : public ModelTest {
protected:
    void SetUp() override {
        hist.SetClientName(L"Operator7");
        ramp = H(kRamp);
    }
    std::vector<Value> Raw(Ticks a, Ticks b) { return hist.ReadRaw(a, b, 0, false, ramp).values; }
    Handle ramp = 0;
};

TEST_F(UpdateTest, InsertOnlyWhereNothingExists) {
    EXPECT_EQ(hist.Insert(ramp, noon, Dbl(1), kQualityGood), kHdaDataExists);
    EXPECT_EQ(hist.Insert(ramp, noon + 5 * kSec, Dbl(-3.5), kQualityUncertain), S_OK);
    auto v = Raw(noon, noon + 20 * kSec);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[1].time, noon + 5 * kSec);
    EXPECT_EQ(Num(v[1]), -3.5);
    EXPECT_EQ(v[1].quality, kQualityUncertain | kQualityRaw);  // the raw flag is added
    EXPECT_EQ(hist.Insert(ramp, noon + 5 * kSec, Dbl(0), kQualityGood), kHdaDataExists);
    // Values may be inserted after now and are then seen.
    const Ticks later = clock->now() + 5 * kMin;
    EXPECT_EQ(hist.Insert(ramp, later, Dbl(9), kQualityGood | kQualityCalculated), S_OK);
    auto f = hist.ReadRaw(later, later + kSec, 0, false, ramp);
    ASSERT_EQ(f.values.size(), 1u);
    EXPECT_EQ(f.values[0].quality, kQualityGood | kQualityCalculated);
}

TEST_F(UpdateTest, ValuesAreConvertedToTheItemType) {
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"12.5");
    EXPECT_EQ(hist.Insert(ramp, noon + kSec, text, kQualityGood), S_OK);
    VariantClear(&text);
    auto v = Raw(noon + kSec, noon + 2 * kSec);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].value.vt(), VT_R8);
    EXPECT_EQ(v[0].value.get().dblVal, 12.5);

    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"not a number");
    EXPECT_EQ(hist.Insert(ramp, noon + 2 * kSec, text, kQualityGood), kHdaInvalidDataType);
    VariantClear(&text);
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_EQ(hist.Insert(ramp, noon + 3 * kSec, empty, kQualityGood), kHdaInvalidDataType);
}

TEST_F(UpdateTest, ReplaceOnlyWhereAValueExists) {
    EXPECT_EQ(hist.Replace(ramp, noon + kSec, Dbl(1), kQualityGood), kHdaNoDataExists);
    EXPECT_EQ(hist.Replace(ramp, noon + 10 * kSec, Dbl(77), kQualityBad), S_OK);
    auto v = Raw(noon, noon + 30 * kSec);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(Num(v[1]), 77);
    EXPECT_EQ(v[1].quality, kQualityBad | kQualityRaw);
    EXPECT_EQ(Num(v[2]), RampAt(noon + 20 * kSec));
}

TEST_F(UpdateTest, InsertReplaceReportsWhatHappened) {
    EXPECT_EQ(hist.InsertReplace(ramp, noon, Dbl(5), kQualityGood), kHdaReplaced);
    EXPECT_EQ(hist.InsertReplace(ramp, noon + 3 * kSec, Dbl(6), kQualityGood), kHdaInserted);
    auto v = Raw(noon, noon + 10 * kSec);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(Num(v[0]), 5);
    EXPECT_EQ(Num(v[1]), 6);
}

TEST_F(UpdateTest, DeleteAtTimeAndReinsert) {
    EXPECT_EQ(hist.DeleteAtTime(ramp, noon + kSec), kHdaNoDataExists);
    EXPECT_EQ(hist.DeleteAtTime(ramp, noon + 10 * kSec), S_OK);
    EXPECT_EQ(hist.DeleteAtTime(ramp, noon + 10 * kSec), kHdaNoDataExists);
    auto v = Raw(noon, noon + 30 * kSec);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[1].time, noon + 20 * kSec);
    // The bound search and interpolation skip the deleted value too.
    auto b = hist.ReadRaw(noon + 15 * kSec, noon + 20 * kSec, 0, true, ramp);
    EXPECT_EQ(b.values.front().time, noon);
    EXPECT_EQ(hist.Replace(ramp, noon + 10 * kSec, Dbl(1), kQualityGood), kHdaNoDataExists);
    EXPECT_EQ(hist.Insert(ramp, noon + 10 * kSec, Dbl(42), kQualityGood), S_OK);
    EXPECT_EQ(Num(Raw(noon + 10 * kSec, noon + 11 * kSec).at(0)), 42);
    // An inserted value is deleted for good.
    EXPECT_EQ(hist.DeleteAtTime(ramp, noon + 10 * kSec), S_OK);
    EXPECT_TRUE(Raw(noon + 10 * kSec, noon + 11 * kSec).empty());
}

TEST_F(UpdateTest, DeleteRawRemovesARangeAndLaterInsertsShowThrough) {
    ASSERT_EQ(hist.Insert(ramp, noon + 15 * kSec, Dbl(1), kQualityGood), S_OK);
    EXPECT_EQ(hist.DeleteRaw(noon + 10 * kSec, noon + 40 * kSec, ramp), S_OK);
    auto v = Raw(noon, noon + kMin);
    ASSERT_EQ(v.size(), 3u);  // 0, 40, 50
    EXPECT_EQ(v[1].time, noon + 40 * kSec);
    EXPECT_EQ(hist.DeleteRaw(noon + 10 * kSec, noon + 40 * kSec, ramp), kHdaNoData);
    // Reversed arguments delete the same range.
    EXPECT_EQ(hist.DeleteRaw(noon + 50 * kSec, noon + 40 * kSec, ramp), S_OK);
    EXPECT_EQ(Raw(noon, noon + kMin).size(), 2u);
    EXPECT_EQ(hist.Insert(ramp, noon + 20 * kSec, Dbl(2), kQualityGood), S_OK);
    EXPECT_EQ(Raw(noon, noon + kMin).size(), 3u);
    // Overlapping deletions merge.
    EXPECT_EQ(hist.DeleteRaw(noon + 5 * kMin, noon + 7 * kMin, ramp), S_OK);
    EXPECT_EQ(hist.DeleteRaw(noon + 6 * kMin, noon + 8 * kMin, ramp), S_OK);
    auto after = Raw(noon + 4 * kMin, noon + 9 * kMin);
    ASSERT_EQ(after.size(), 12u);
    EXPECT_EQ(after[5].time, noon + 4 * kMin + 50 * kSec);
    EXPECT_EQ(after[6].time, noon + 8 * kMin);
}

TEST_F(UpdateTest, EditsAreSeenByAggregates) {
    const Ticks a = noon, b = noon + kMin;
    double sum = 0;
    for (Ticks t = a; t < b; t += 10 * kSec) sum += t == a + 20 * kSec ? 1000.0 : RampAt(t);
    ASSERT_EQ(hist.Replace(ramp, a + 20 * kSec, Dbl(1000), kQualityGood), S_OK);
    ItemData d = hist.ReadProcessed(a, b, 0, kAggAverage, ramp);
    EXPECT_DOUBLE_EQ(Num(d.values.at(0)), sum / 6);
    ItemData mx = hist.ReadProcessed(a, b, 0, kAggMaximumActualTime, ramp);
    EXPECT_EQ(mx.values.at(0).time, a + 20 * kSec);
}

TEST_F(UpdateTest, ModifiedReadListsEveryEditWithUserAndTime) {
    EXPECT_EQ(hist.ReadModified(noon, noon + kMin, 0, ramp).hr, kHdaNoData);
    const Ticks t1 = clock->now();
    ASSERT_EQ(hist.Replace(ramp, noon + 10 * kSec, Dbl(77), kQualityGood), S_OK);
    clock->advance(kMin);
    hist.SetClientName(L"Engineer");
    ASSERT_EQ(hist.Insert(ramp, noon + 5 * kSec, Dbl(3), kQualityGood), S_OK);
    ASSERT_EQ(hist.DeleteAtTime(ramp, noon + 10 * kSec), S_OK);
    ASSERT_EQ(hist.InsertReplace(ramp, noon + 20 * kSec, Dbl(8), kQualityGood), kHdaReplaced);
    ASSERT_EQ(hist.DeleteRaw(noon + 30 * kSec, noon + 50 * kSec, ramp), S_OK);

    ModifiedData m = hist.ReadModified(noon, noon + kMin, 0, ramp);
    ASSERT_EQ(m.hr, S_OK);
    ASSERT_EQ(m.values.size(), 6u);
    // In value time order; the two edits at +10 s in the order made.
    EXPECT_EQ(m.values[0].time, noon + 5 * kSec);
    EXPECT_EQ(m.values[0].editType, kEditInsert);
    EXPECT_EQ(Num(Value{0, 0, m.values[0].value}), 3);
    EXPECT_EQ(m.values[1].editType, kEditReplace);
    EXPECT_EQ(m.values[1].user, L"Operator7");
    EXPECT_EQ(m.values[1].modificationTime, t1);
    EXPECT_EQ(Num(Value{0, 0, m.values[1].value}), RampAt(noon + 10 * kSec));  // the value replaced
    EXPECT_EQ(m.values[2].editType, kEditDelete);
    EXPECT_EQ(Num(Value{0, 0, m.values[2].value}), 77);  // the value deleted
    EXPECT_EQ(m.values[2].user, L"Engineer");
    EXPECT_EQ(m.values[2].modificationTime, t1 + kMin);
    EXPECT_EQ(m.values[3].editType, kEditInsertReplace);
    EXPECT_EQ(m.values[4].editType, kEditDelete);
    EXPECT_EQ(m.values[4].time, noon + 30 * kSec);
    EXPECT_EQ(m.values[5].time, noon + 40 * kSec);

    ModifiedData cut = hist.ReadModified(noon + kMin, noon, 2, ramp);
    EXPECT_EQ(cut.hr, kHdaMoreData);
    ASSERT_EQ(cut.values.size(), 2u);
    EXPECT_EQ(cut.values[0].time, noon + 40 * kSec);
}

TEST_F(UpdateTest, AnnotationsKeepTextUserAndTime) {
    EXPECT_EQ(hist.AnnotationCapabilities(), 3u);
    EXPECT_EQ(hist.UpdateCapabilities(), 0x1Fu);
    EXPECT_EQ(hist.ReadAnnotations(noon, noon + kMin, ramp).hr, kHdaNoData);
    Annotation a;
    a.time = noon + 20 * kSec;
    a.text = L"calibrated";
    ASSERT_EQ(hist.InsertAnnotation(ramp, a), S_OK);
    Annotation b;
    b.time = noon + 10 * kSec;
    b.text = L"checked";
    b.user = L"Someone";
    b.annotationTime = noon;
    ASSERT_EQ(hist.InsertAnnotation(ramp, b), S_OK);
    AnnotationData d = hist.ReadAnnotations(noon, noon + kMin, ramp);
    ASSERT_EQ(d.hr, S_OK);
    ASSERT_EQ(d.values.size(), 2u);
    EXPECT_EQ(d.values[0].text, L"checked");
    EXPECT_EQ(d.values[0].user, L"Someone");
    EXPECT_EQ(d.values[0].annotationTime, noon);
    EXPECT_EQ(d.values[1].text, L"calibrated");
    EXPECT_EQ(d.values[1].user, L"Operator7");
    EXPECT_EQ(d.values[1].annotationTime, clock->now());
    EXPECT_EQ(hist.ReadAnnotations(noon + 30 * kSec, noon + kMin, ramp).hr, kHdaNoData);
    // Other items are not annotated.
    EXPECT_EQ(hist.ReadAnnotations(noon, noon + kMin, H(kSine)).hr, kHdaNoData);
}

TEST_F(UpdateTest, UpdatesRefuseInvalidHandlesAndFaultedItems) {
    EXPECT_EQ(hist.Insert(12345, noon + kSec, Dbl(1), kQualityGood), kOpcInvalidHandle);
    EXPECT_EQ(hist.DeleteRaw(noon, noon + kMin, 12345), kOpcInvalidHandle);
    ASSERT_TRUE(hist.SetItemFault(kRamp, E_ACCESSDENIED));
    EXPECT_EQ(hist.Replace(ramp, noon, Dbl(1), kQualityGood), E_ACCESSDENIED);
    EXPECT_EQ(hist.InsertAnnotation(ramp, Annotation{}), E_ACCESSDENIED);
}

}  // namespace
}  // namespace simtest
