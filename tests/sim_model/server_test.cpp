// Handles, item ids, server information, attributes, faults and browsing.
#include "sim_test_util.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <set>
#include <thread>

namespace simtest {
namespace {

using namespace hdasim;

TEST_F(ModelTest, HandlesAreNonzeroUniqueAndCounted) {
    Handle a = H(kSine), b = H(kSine), c = H(kRamp);
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    EXPECT_EQ(hist.OutstandingHandles(), 3u);
    EXPECT_EQ(hist.ItemIdOf(b), kSine);
    EXPECT_EQ(hist.ReleaseItemHandle(a), S_OK);
    EXPECT_EQ(hist.ReleaseItemHandle(a), kOpcInvalidHandle);
    EXPECT_EQ(hist.ReleaseItemHandle(0), kOpcInvalidHandle);
    EXPECT_EQ(hist.OutstandingHandles(), 2u);
    EXPECT_EQ(hist.ReadRaw(noon, noon + kMin, 0, false, a).hr, kOpcInvalidHandle);
    EXPECT_EQ(hist.ReadRaw(noon, noon + kMin, 0, false, b).hr, S_OK);
}

TEST_F(ModelTest, ItemIdsUnknownAndInvalid) {
    Handle h = 99;
    EXPECT_EQ(hist.GetItemHandle(L"Plant/Area1/Reactor1/Nothing", &h), kOpcUnknownItemId);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(hist.GetItemHandle(L"", &h), kOpcInvalidItemId);
    EXPECT_EQ(hist.ValidateItemId(L"Plant//Area1"), kOpcInvalidItemId);
    EXPECT_EQ(hist.ValidateItemId(L"Plant/Area*"), kOpcInvalidItemId);
    EXPECT_EQ(hist.ValidateItemId(L"/Plant/Area1/Reactor1/Level"), kOpcInvalidItemId);
    EXPECT_EQ(hist.ValidateItemId(L"Plant/Area1/Reactor1"), kOpcUnknownItemId);  // a branch
    EXPECT_EQ(hist.ValidateItemId(L"Plant/Area1/Reactor1/Level"), S_OK);
    EXPECT_EQ(hist.OutstandingHandles(), 0u);
}

TEST_F(ModelTest, ThePlantHasFiftyOddDistinctSignalsOfEveryKind) {
    auto ids = hist.AllItemIds();
    EXPECT_GE(ids.size(), 50u);
    EXPECT_EQ(std::set<std::wstring>(ids.begin(), ids.end()).size(), ids.size());
    std::set<SHORT> types;
    for (const auto& id : ids) {
        EXPECT_EQ(hist.ValidateItemId(id), S_OK);
        auto a = hist.ReadAttribute(noon, noon, H(id.c_str()), {kAttrDataType});
        types.insert(a.at(0).values.at(0).get().iVal);
    }
    EXPECT_EQ(types, (std::set<SHORT>{VT_R8, VT_I4, VT_BOOL, VT_BSTR}));
}

TEST_F(ModelTest, StatusVersionsAndClientName) {
    const Ticks started = clock->now();
    clock->advance(kMin);
    HistorianStatus s = hist.GetStatus();
    EXPECT_EQ(s.status, kStatusUp);
    EXPECT_EQ(s.startTime, started);
    EXPECT_EQ(s.currentTime, started + kMin);
    EXPECT_EQ(s.majorVersion, 1);
    EXPECT_EQ(s.minorVersion, 2);
    EXPECT_EQ(s.buildNumber, 345);
    EXPECT_EQ(s.maxReturnValues, 10000u);
    EXPECT_FALSE(s.vendorInfo.empty());
    hist.SetServerStatus(kStatusIndeterminate, L"Archive rebuilding");
    s = hist.GetStatus();
    EXPECT_EQ(s.status, kStatusIndeterminate);
    EXPECT_EQ(s.statusString, L"Archive rebuilding");
    hist.SetClientName(L"Excel");
    EXPECT_EQ(hist.ClientName(), L"Excel");
}

TEST_F(ModelTest, LocalesAndErrorStrings) {
    EXPECT_EQ(hist.AvailableLocaleIDs(), (std::vector<LCID>{0x409, 0x407}));
    EXPECT_EQ(hist.GetLocaleID(), 0x409u);
    std::wstring text;
    ASSERT_EQ(hist.GetErrorString(kHdaNoData, &text), S_OK);
    EXPECT_EQ(text, L"There is no data within the specified parameters.");
    EXPECT_EQ(hist.SetLocaleID(0x411), E_INVALIDARG);
    EXPECT_EQ(hist.SetLocaleID(0x407), S_OK);
    ASSERT_EQ(hist.GetErrorString(kHdaNoData, &text), S_OK);
    EXPECT_EQ(text, L"Im angegebenen Bereich gibt es keine Daten.");
    for (HRESULT code : {kOpcInvalidHandle, kOpcUnknownItemId, kOpcInvalidItemId, kHdaMoreData, kHdaInvalidAggregate,
                         kHdaDataExists, kHdaNoDataExists, kHdaInserted, kHdaReplaced, kHdaInvalidAttrId})
        EXPECT_EQ(hist.GetErrorString(code, &text), S_OK) << std::hex << code;
    EXPECT_EQ(hist.GetErrorString(E_OUTOFMEMORY, &text), S_OK);  // a system text
    EXPECT_EQ(hist.GetErrorString(static_cast<HRESULT>(0xE1234567), &text), E_INVALIDARG);
}

TEST_F(ModelTest, AttributeCatalogueAndValues) {
    auto cat = hist.GetItemAttributes();
    ASSERT_EQ(cat.size(), 19u);
    for (std::uint32_t i = 0; i < 19; ++i) EXPECT_EQ(cat[i].id, i + 1);
    Handle h = H(kStep);
    std::vector<std::uint32_t> all;
    for (const auto& a : cat) all.push_back(a.id);
    all.push_back(77);
    auto values = hist.ReadAttribute(noon, noon + kMin, h, all);
    ASSERT_EQ(values.size(), 20u);
    for (std::size_t i = 0; i < 19; ++i) {
        ASSERT_EQ(values[i].hr, S_OK);
        ASSERT_EQ(values[i].values.size(), 1u);
        EXPECT_EQ(values[i].times.at(0), noon);
        EXPECT_EQ(values[i].values[0].vt(), cat[i].dataType) << "attribute " << cat[i].id;
    }
    EXPECT_EQ(values[kAttrItemId - 1].values[0].AsString(), kStep);
    EXPECT_EQ(values[kAttrDataType - 1].values[0].get().iVal, VT_I4);
    EXPECT_EQ(values[kAttrStepped - 1].values[0].get().boolVal, VARIANT_TRUE);
    EXPECT_EQ(values[19].hr, kHdaInvalidAttrId);
    EXPECT_TRUE(values[19].values.empty());
    EXPECT_EQ(hist.ReadAttribute(noon, noon, 4711, {kAttrItemId}).at(0).hr, kOpcInvalidHandle);
}

TEST_F(ModelTest, FaultSwitchAffectsOnlyThatItem) {
    EXPECT_FALSE(hist.SetItemFault(L"Plant/None", E_FAIL));
    ASSERT_TRUE(hist.SetItemFault(kSine, kHdaNotAvail));
    EXPECT_EQ(hist.ReadRaw(noon, noon + kMin, 0, false, H(kSine)).hr, kHdaNotAvail);
    EXPECT_EQ(hist.ReadAtTime({noon}, H(kSine)).hr, kHdaNotAvail);
    EXPECT_EQ(hist.ReadProcessed(noon, noon + kMin, 0, kAggCount, H(kSine)).hr, kHdaNotAvail);
    EXPECT_EQ(hist.ReadRaw(noon, noon + kMin, 0, false, H(kRamp)).hr, S_OK);
    hist.ClearFaults();
    EXPECT_EQ(hist.ReadRaw(noon, noon + kMin, 0, false, H(kSine)).hr, S_OK);
}

// ---- browsing ----

std::vector<std::wstring> Enum(const Browser& b, std::uint32_t type) {
    std::vector<std::wstring> out;
    EXPECT_EQ(b.GetEnum(type, &out), S_OK);
    return out;
}

BrowseFilter Filter(std::uint32_t attr, std::uint32_t op, Variant v) {
    BrowseFilter f;
    f.attributeId = attr;
    f.op = op;
    f.value = std::move(v);
    return f;
}

std::unique_ptr<Browser> Make(const Historian& h, std::vector<BrowseFilter> filters,
                              std::vector<HRESULT>* errors = nullptr) {
    std::unique_ptr<Browser> b;
    std::vector<HRESULT> local;
    EXPECT_EQ(h.CreateBrowser(filters, &b, errors ? errors : &local), S_OK);
    return b;
}

TEST_F(ModelTest, BrowsePositionsBranchesAndLeaves) {
    auto b = Make(hist, {});
    EXPECT_EQ(b->GetBranchPosition(), L"");
    EXPECT_EQ(Enum(*b, kBrowseBranch), (std::vector<std::wstring>{L"Plant"}));
    EXPECT_TRUE(Enum(*b, kBrowseLeaf).empty());
    EXPECT_EQ(b->ChangePosition(kBrowseUp, L""), E_FAIL);
    EXPECT_EQ(b->ChangePosition(kBrowseDown, L"Plant"), S_OK);
    EXPECT_EQ(Enum(*b, kBrowseBranch),
              (std::vector<std::wstring>{L"Lab", L"Area1", L"Area2", L"Area3", L"Utilities", L"Spare"}));
    EXPECT_EQ(b->ChangePosition(kBrowseDown, L"Nowhere"), E_INVALIDARG);
    EXPECT_EQ(b->GetBranchPosition(), L"Plant");
    ASSERT_EQ(b->ChangePosition(kBrowseDirect, L"Plant/Lab/Calibration"), S_OK);
    EXPECT_EQ(Enum(*b, kBrowseLeaf),
              (std::vector<std::wstring>{L"Sine", L"Ramp", L"Step", L"Counter", L"Flag", L"Text", L"Gappy"}));
    auto items = Enum(*b, kBrowseItems);
    ASSERT_EQ(items.size(), 7u);
    EXPECT_EQ(items[0], kSine);
    EXPECT_TRUE(Enum(*b, kBrowseBranch).empty());
    std::wstring id;
    EXPECT_EQ(b->GetItemID(L"Gappy", &id), S_OK);
    EXPECT_EQ(id, kGappy);
    EXPECT_EQ(b->GetItemID(L"Missing", &id), E_INVALIDARG);
    EXPECT_EQ(b->ChangePosition(kBrowseUp, L""), S_OK);
    EXPECT_EQ(b->GetBranchPosition(), L"Plant/Lab");
    EXPECT_EQ(b->ChangePosition(kBrowseDirect, L"Plant/Lab/Nothing"), E_INVALIDARG);
    EXPECT_EQ(b->ChangePosition(kBrowseDirect, L""), S_OK);
    EXPECT_EQ(b->GetBranchPosition(), L"");
    EXPECT_EQ(Enum(*b, kBrowseFlat).size(), hist.AllItemIds().size());
    EXPECT_EQ(b->ChangePosition(9, L""), E_INVALIDARG);
    std::vector<std::wstring> out;
    EXPECT_EQ(b->GetEnum(9, &out), E_INVALIDARG);
}

TEST_F(ModelTest, BrowseFiltersOnItemIdWildcards) {
    auto b = Make(hist, {Filter(kAttrItemId, kOpEqual, Variant::FromString(L"*/Temperature"))});
    auto flat = Enum(*b, kBrowseFlat);
    EXPECT_EQ(flat.size(), 6u);  // three reactors and three tanks
    for (const auto& id : flat) EXPECT_TRUE(id.ends_with(L"/Temperature"));
    // Only branches with a matching item below are listed, and those with nothing below.
    ASSERT_EQ(b->ChangePosition(kBrowseDirect, L"Plant"), S_OK);
    EXPECT_EQ(Enum(*b, kBrowseBranch), (std::vector<std::wstring>{L"Area1", L"Area2", L"Area3", L"Spare"}));
    ASSERT_EQ(b->ChangePosition(kBrowseDirect, L"Plant/Area2"), S_OK);
    EXPECT_EQ(Enum(*b, kBrowseBranch), (std::vector<std::wstring>{L"Reactor1", L"Tank1"}));

    auto q = Make(hist, {Filter(kAttrItemId, kOpEqual, Variant::FromString(L"plant/area?/pump1/s*"))});
    EXPECT_EQ(Enum(*q, kBrowseFlat).size(), 6u);  // Speed and Starts, case-insensitive
    auto not1 = Make(hist, {Filter(kAttrItemId, kOpNotEqual, Variant::FromString(L"Plant/Area1/*"))});
    EXPECT_EQ(Enum(*not1, kBrowseFlat).size(), hist.AllItemIds().size() - 17);
}

TEST_F(ModelTest, BrowseFiltersOnAttributesWithEveryOperator) {
    const std::size_t total = hist.AllItemIds().size();
    auto count = [&](std::uint32_t attr, std::uint32_t op, Variant v) {
        return Enum(*Make(hist, {Filter(attr, op, std::move(v))}), kBrowseFlat).size();
    };
    std::size_t bools = 0, doubles = 0;
    for (const auto& id : hist.AllItemIds()) {
        auto t = hist.ReadAttribute(noon, noon, H(id.c_str()), {kAttrDataType}).at(0).values.at(0).get().iVal;
        bools += t == VT_BOOL;
        doubles += t == VT_R8;
    }
    VARIANT boolType;
    VariantInit(&boolType);
    boolType.vt = VT_I2;
    boolType.iVal = VT_BOOL;
    EXPECT_EQ(count(kAttrDataType, kOpEqual, Variant(boolType)), bools);
    EXPECT_EQ(count(kAttrDataType, kOpNotEqual, Variant(boolType)), total - bools);
    EXPECT_EQ(count(kAttrDataType, kOpEqual, Variant::FromInt(VT_R8)), doubles);
    // The six operators on a numeric attribute, against the values read back.
    std::vector<double> maxima;
    for (const auto& id : hist.AllItemIds())
        maxima.push_back(
            hist.ReadAttribute(noon, noon, H(id.c_str()), {kAttrNormalMaximum}).at(0).values.at(0).get().dblVal);
    const double pivot = 1485;  // the pump speeds' normal maximum
    auto expected = [&](auto pred) {
        return static_cast<std::size_t>(std::count_if(maxima.begin(), maxima.end(), pred));
    };
    ASSERT_EQ(expected([&](double x) { return x == pivot; }), 3u);
    EXPECT_EQ(count(kAttrNormalMaximum, kOpEqual, Variant::FromDouble(pivot)), 3u);
    EXPECT_EQ(count(kAttrNormalMaximum, kOpLess, Variant::FromDouble(pivot)),
              expected([&](double x) { return x < pivot; }));
    EXPECT_EQ(count(kAttrNormalMaximum, kOpLessEqual, Variant::FromDouble(pivot)),
              expected([&](double x) { return x <= pivot; }));
    EXPECT_EQ(count(kAttrNormalMaximum, kOpGreater, Variant::FromDouble(pivot)),
              expected([&](double x) { return x > pivot; }));
    EXPECT_EQ(count(kAttrNormalMaximum, kOpGreaterEqual, Variant::FromDouble(pivot)),
              expected([&](double x) { return x >= pivot; }));
    EXPECT_EQ(count(kAttrNormalMaximum, kOpNotEqual, Variant::FromDouble(pivot)), total - 3);
    // Text attributes compare as case-insensitive text.
    EXPECT_EQ(count(kAttrEngUnits, kOpGreater, Variant::FromString(L"x")), 0u);
    EXPECT_EQ(count(kAttrEngUnits, kOpEqual, Variant::FromString(L"degC")), 6u);
    // Several criteria all apply.
    auto both = Make(hist, {Filter(kAttrEngUnits, kOpEqual, Variant::FromString(L"degC")),
                            Filter(kAttrItemId, kOpEqual, Variant::FromString(L"*Tank*"))});
    EXPECT_EQ(Enum(*both, kBrowseFlat).size(), 3u);
}

TEST_F(ModelTest, BrowseCriteriaErrorsAreReportedAndIgnored) {
    std::vector<HRESULT> errors;
    auto b =
        Make(hist,
             {Filter(99, kOpEqual, Variant::FromInt(1)), Filter(kAttrItemId, 7, Variant::FromString(L"*")),
              Filter(kAttrNormalMaximum, kOpGreater, Variant::FromString(L"abc")),
              Filter(kAttrItemId, kOpEqual, Variant()), Filter(kAttrItemId, kOpEqual, Variant::FromString(L"*Flag"))},
             &errors);
    EXPECT_EQ(errors, (std::vector<HRESULT>{kHdaInvalidAttrId, E_INVALIDARG, E_INVALIDARG, E_INVALIDARG, S_OK}));
    EXPECT_EQ(Enum(*b, kBrowseFlat), (std::vector<std::wstring>{kFlag}));
}

TEST_F(ModelTest, ABrowserOutlivesItsHistorian) {
    std::unique_ptr<Browser> b;
    {
        auto other = std::make_unique<Historian>(clock);
        b = Make(*other, {});
    }
    EXPECT_EQ(b->ChangePosition(kBrowseDown, L"Plant"), S_OK);
    EXPECT_EQ(Enum(*b, kBrowseBranch).size(), 6u);
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

using namespace hdasim;

TEST_F(ModelTest, ConcurrentReadersAndWritersSeeConsistentHistory) {
    // Writers insert between the samples while readers read; every answer must be
    // ordered and every insert must land exactly once.
    const Handle ramp = H(kRamp);
    std::vector<std::thread> threads;
    std::atomic<int> badOrder{0};
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            VARIANT v;
            VariantInit(&v);
            v.vt = VT_R8;
            for (int i = 0; i < 200; ++i) {
                v.dblVal = i;
                EXPECT_EQ(hist.Insert(ramp, noon + i * 10 * kSec + (w ? 6 : 1) * kSec, v, kQualityGood), S_OK);
            }
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                ItemData d = hist.ReadRaw(noon, noon + 2000 * kSec, 0, true, ramp);
                for (std::size_t j = 1; j < d.values.size(); ++j)
                    if (d.values[j].time <= d.values[j - 1].time) ++badOrder;
                clock->advance(kSec);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(badOrder.load(), 0);
    EXPECT_EQ(hist.ReadRaw(noon, noon + 2000 * kSec, 0, false, ramp).values.size(), 200u + 400u);
    EXPECT_EQ(hist.ReadModified(noon, noon + 2000 * kSec, 0, ramp).values.size(), 400u);
}

TEST_F(ModelTest, ExtremeTimesDoNotBreakReads) {
    const Ticks max = std::numeric_limits<Ticks>::max();
    EXPECT_EQ(hist.ReadRaw(0, max, 3, true, H(kRamp)).hr, kHdaMoreData);
    EXPECT_EQ(hist.ReadRaw(max, 0, 3, true, H(kRamp)).values.at(1).time, clock->now());
    ItemData p = hist.ReadProcessed(max - kSec, max, 0, kAggAverage, H(kRamp));
    EXPECT_EQ(p.hr, kHdaNoData);
    EXPECT_EQ(hist.ReadAtTime({0, max}, H(kRamp)).values.size(), 2u);
}

}  // namespace
}  // namespace simtest
