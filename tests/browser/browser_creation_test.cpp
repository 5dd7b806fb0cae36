// CreateBrowser: its argument checks in order (arguments before the
// connection, elements after it), the default criterion, zero-based arrays and
// Errors per criterion, the criteria reaching the historian exactly.
#include "browse_fixture.h"
#include "fake_historian.h"

namespace browsertest {
namespace {

using comtest::VarBstr;
using comtest::VarI4;

constexpr ULONG_PTR kOmittedMark = 0x80020004u;

void Set(UniqueVariant& v, VARTYPE vt, SAFEARRAY* array) {
    v.put()->vt = vt;
    v->parray = array;
}

struct ArgumentRow {
    const char* name;
    LONG numCriteria;
    void (*spoil)(Criteria&);  // applied to three good one-element arrays
    HRESULT connected;
    HRESULT disconnected;
};

const SAFEARRAYBOUND kOne{1, 1};
const SAFEARRAYBOUND kSquare[2] = {{2, 1}, {2, 1}};

const ArgumentRow kArgumentRows[] = {
    {"AttributesOfShorts", 1,
     [](Criteria& c) {
         Set(c.attributes, VT_ARRAY | VT_I2, SafeArrayCreate(VT_I2, 1, const_cast<SAFEARRAYBOUND*>(&kOne)));
     },
     E_INVALIDARG, E_INVALIDARG},
    {"OperatorsOfVariants", 1,
     [](Criteria& c) { Set(c.operators, VT_ARRAY | VT_VARIANT, comtest::MakeVariantArray({VarI4(1)})); }, E_INVALIDARG,
     E_INVALIDARG},
    {"FiltersOfTexts", 1, [](Criteria& c) { Set(c.filters, VT_ARRAY | VT_BSTR, comtest::MakeBstrArray({L"*"})); },
     E_INVALIDARG, E_INVALIDARG},
    {"AttributesByReference", 1,
     [](Criteria& c) {
         c.referenced.reset(c.attributes->parray);
         c.attributes->vt = VT_BYREF | VT_ARRAY | VT_I4;
         c.attributes->pparray = c.referenced.put();
         *c.attributes->pparray = c.referenced.get();
     },
     E_INVALIDARG, E_INVALIDARG},
    {"FiltersOmitted", 1, [](Criteria& c) { *c.filters.put() = comtest::VarMissing(); }, E_INVALIDARG, E_INVALIDARG},
    {"NullOperatorArray", 1, [](Criteria& c) { Set(c.operators, VT_ARRAY | VT_I4, nullptr); }, E_INVALIDARG,
     E_INVALIDARG},
    {"AttributeArrayIsTheOmittedMark", 1,
     [](Criteria& c) { Set(c.attributes, VT_ARRAY | VT_I4, reinterpret_cast<SAFEARRAY*>(kOmittedMark)); }, E_INVALIDARG,
     E_INVALIDARG},
    {"OneElementForTwoCriteria", 2, [](Criteria&) {}, E_INVALIDARG, E_INVALIDARG},
    {"LowerBoundTwo", 1,
     [](Criteria& c) {
         Set(c.operators, VT_ARRAY | VT_I4, comtest::MakeLongArray({1, 1}, 2));
     },
     E_INVALIDARG, E_INVALIDARG},
    {"TwoDimensionalAttributes", 1,
     [](Criteria& c) {
         Set(c.attributes, VT_ARRAY | VT_I4, SafeArrayCreate(VT_I4, 2, const_cast<SAFEARRAYBOUND*>(kSquare)));
     },
     E_INVALIDARG, E_INVALIDARG},
    {"LongsLabelHoldingTexts", 1,
     [](Criteria& c) { Set(c.operators, VT_ARRAY | VT_I4, comtest::MakeBstrArray({L"1"})); }, E_INVALIDARG,
     E_INVALIDARG},
    {"NoCriteriaAndGarbageArrays", 0, [](Criteria& c) { c.filters.put()->vt = VT_I2; }, S_OK, E_FAIL},
    {"NegativeCountIsNone", -3, [](Criteria& c) { c.attributes.put()->vt = VT_DATE; }, S_OK, E_FAIL},
    // An element that cannot be read is reported, not passed on undefined.
    {"UnreadableFilter", 1,
     [](Criteria& c) {
         VARIANT* elements = nullptr;
         SafeArrayAccessData(c.filters->parray, reinterpret_cast<void**>(&elements));
         VariantClear(&elements[0]);
         elements[0].vt = 0x7FFF;
         SafeArrayUnaccessData(c.filters->parray);
     },
     DISP_E_BADVARTYPE, E_FAIL},
};

struct CreateResult {
    HRESULT hr;
    bool browser;
    VARTYPE errorsType;
};

CreateResult Create(IOPCHDAAutoServer* server, const ArgumentRow& row) {
    Criteria c = MakeCriteria({{kAttrItemID, kEqual, VarBstr(L"*")}});
    row.spoil(c);
    ComPtr<OPCHDABrowser> browser;
    UniqueVariant errors;
    errors->vt = VT_I4;
    HRESULT hr = server->CreateBrowser(row.numCriteria, *c.attributes.get(), *c.operators.get(), *c.filters.get(),
                                       errors.get(), browser.put());
    if (reinterpret_cast<ULONG_PTR>(c.attributes->parray) == kOmittedMark) c.attributes->vt = VT_EMPTY;
    return {hr, static_cast<bool>(browser), errors->vt};
}

class Creation : public SimBrowse {};

TEST_P(Creation, ChecksArgumentsBeforeTheConnection) {
    ComPtr<IOPCHDAAutoServer> disconnected;
    ASSERT_HRESULT_SUCCEEDED(comtest::CreateServer(disconnected));
    LONG expectedCalls = CallCount(L"CreateBrowse");
    for (const ArgumentRow& row : kArgumentRows) {
        SCOPED_TRACE(row.name);
        CreateResult off = Create(disconnected.get(), row);
        EXPECT_EQ(off.hr, row.disconnected);
        EXPECT_FALSE(off.browser);
        EXPECT_EQ(off.errorsType, VT_I4);  // untouched
        CreateResult on = Create(server_.get(), row);
        EXPECT_EQ(on.hr, row.connected);
        EXPECT_EQ(on.browser, SUCCEEDED(row.connected));
        EXPECT_EQ(on.errorsType, SUCCEEDED(row.connected) ? VT_ARRAY | VT_I4 : VT_I4);
        if (SUCCEEDED(row.connected)) ++expectedCalls;
        EXPECT_EQ(CallCount(L"CreateBrowse"), expectedCalls) << "a refused call reached the historian";
    }
    EXPECT_EQ(disconnected->CreateBrowser(0, comtest::VarMissing(), comtest::VarMissing(), comtest::VarMissing(),
                                          nullptr, nullptr),
              E_POINTER);
    // The historian's failure passes unchanged and leaves Errors alone.
    ASSERT_EQ(control_->FailMethod(L"CreateBrowse", kHistorianFailure), S_OK);
    ArgumentRow none{"", 0, [](Criteria&) {}, S_OK, S_OK};
    CreateResult failed = Create(server_.get(), none);
    EXPECT_EQ(failed.hr, kHistorianFailure);
    EXPECT_FALSE(failed.browser);
    EXPECT_EQ(failed.errorsType, VT_I4);
}

INSTANTIATE_TEST_SUITE_P(Browse, Creation, ::testing::Values(Where::InProcess, Where::LocalServer), NameOf);

// Zero-based arrays use elements 1 to the count (element 0 holds a criterion
// that would reach the historian if it were read).
TEST_F(MisbehavingHistorian, CriteriaReachTheHistorianExactly) {
    Connect();
    VARIANT shortFilter, dateFilter;
    VariantInit(&shortFilter);
    shortFilter.vt = VT_I2;
    shortFilter.iVal = VT_R8;
    VariantInit(&dateFilter);
    dateFilter.vt = VT_DATE;
    dateFilter.date = 45000.25;
    Criteria c =
        MakeCriteria({{kAttrDataType, 6, shortFilter}, {kAttrItemID, 1, VarBstr(L"A*?")}, {11, 4, dateFilter}}, 0);
    Script().criterionErrors = {S_OK, kRefused, S_OK};
    UniqueVariant errors;
    ASSERT_EQ(server_->CreateBrowser(3, *c.attributes.get(), *c.operators.get(), *c.filters.get(), errors.get(),
                                     browser_.put()),
              S_OK);
    const auto& seen = Script().criteria;
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].attribute, 1u);
    EXPECT_EQ(seen[0].op, 6u);
    EXPECT_EQ(seen[0].filter->vt, VT_I2);
    EXPECT_EQ(seen[0].filter->iVal, VT_R8);
    EXPECT_EQ(seen[1].filter->vt, VT_BSTR);
    EXPECT_STREQ(seen[1].filter->bstrVal, L"A*?");
    EXPECT_EQ(seen[2].attribute, 11u);
    EXPECT_EQ(seen[2].op, 4u);
    EXPECT_EQ(seen[2].filter->vt, VT_DATE);
    EXPECT_EQ(seen[2].filter->date, 45000.25);
    ASSERT_EQ(errors->vt, VT_ARRAY | VT_I4);
    EXPECT_EQ(comtest::BoundsOf(errors->parray).first, 1);
    EXPECT_EQ(Longs(errors->parray), (std::vector<LONG>{S_OK, kRefused, S_OK}));

    // None given: the one default criterion, the item identifier equal to "*".
    Script().criteria.clear();
    ASSERT_EQ(server_->CreateBrowser(0, comtest::VarMissing(), comtest::VarMissing(), comtest::VarMissing(), nullptr,
                                     browser_.put()),
              S_OK);
    ASSERT_EQ(Script().criteria.size(), 1u);
    EXPECT_EQ(Script().criteria[0].attribute, 13u);
    EXPECT_EQ(Script().criteria[0].op, 1u);
    EXPECT_EQ(Script().criteria[0].filter->vt, VT_BSTR);
    EXPECT_STREQ(Script().criteria[0].filter->bstrVal, L"*");
}

TEST_F(MisbehavingHistorian, ASuccessWithoutABrowseObjectGivesNoBrowserButErrors) {
    Connect();
    Script().giveBrowser = false;
    Script().criterionErrors = {kRefused};
    UniqueVariant errors;
    EXPECT_EQ(server_->CreateBrowser(0, comtest::VarMissing(), comtest::VarMissing(), comtest::VarMissing(),
                                     errors.get(), browser_.put()),
              E_FAIL);
    EXPECT_FALSE(browser_);
    ASSERT_EQ(errors->vt, VT_ARRAY | VT_I4);
    EXPECT_EQ(Longs(errors->parray), (std::vector<LONG>{kRefused}));
}

}  // namespace
}  // namespace browsertest
