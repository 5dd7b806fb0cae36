// CreateBrowser: its argument checks in order, the default criterion, 0- and
// 1-based arrays, Errors per criterion, the criteria reaching the historian
// exactly, through vtables and IDispatch.
#include "browse_fixture.h"
#include "fake_historian.h"

namespace browsertest {
namespace {

using comtest::VarBstr;
using comtest::VarI4;

// Argument checks: every row on a disconnected object (arguments come
// before the connection) and on a connected one.

struct ArgumentRow {
    const char* name;
    LONG numCriteria;
    void (*spoil)(Criteria&);  // applied to three good one-element arrays
    HRESULT connected;
    HRESULT disconnected;
};

constexpr ULONG_PTR kOmittedMark = 0x80020004u;

const ArgumentRow kArgumentRows[] = {
    {"AttributesOfShorts", 1,
     [](Criteria& c) {
         SAFEARRAYBOUND b{1, 1};
         c.attributes.put()->vt = VT_ARRAY | VT_I2;
         c.attributes->parray = SafeArrayCreate(VT_I2, 1, &b);
     },
     E_INVALIDARG, E_INVALIDARG},
    {"OperatorsOfVariants", 1,
     [](Criteria& c) {
         c.operators.put()->vt = VT_ARRAY | VT_VARIANT;
         c.operators->parray = comtest::MakeVariantArray({VarI4(1)});
     },
     E_INVALIDARG, E_INVALIDARG},
    {"FiltersOfTexts", 1,
     [](Criteria& c) {
         c.filters.put()->vt = VT_ARRAY | VT_BSTR;
         c.filters->parray = comtest::MakeBstrArray({L"*"});
     },
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
    {"NullOperatorArray", 1,
     [](Criteria& c) {
         c.operators.put()->vt = VT_ARRAY | VT_I4;
         c.operators->parray = nullptr;
     },
     E_INVALIDARG, E_INVALIDARG},
    {"AttributeArrayIsTheOmittedMark", 1,
     [](Criteria& c) {
         c.attributes.put()->vt = VT_ARRAY | VT_I4;
         c.attributes->parray = reinterpret_cast<SAFEARRAY*>(kOmittedMark);
     },
     E_INVALIDARG, E_INVALIDARG},
    {"OneElementForTwoCriteria", 2, [](Criteria&) {}, E_INVALIDARG, E_INVALIDARG},
    {"LowerBoundTwo", 1,
     [](Criteria& c) {
         c.operators.put()->vt = VT_ARRAY | VT_I4;
         c.operators->parray = comtest::MakeLongArray({1, 1}, 2);
     },
     E_INVALIDARG, E_INVALIDARG},
    {"TwoDimensionalAttributes", 1,
     [](Criteria& c) {
         SAFEARRAYBOUND bounds[2] = {{2, 1}, {2, 1}};
         c.attributes.put()->vt = VT_ARRAY | VT_I4;
         c.attributes->parray = SafeArrayCreate(VT_I4, 2, bounds);
     },
     E_INVALIDARG, E_INVALIDARG},
    {"LongsLabelHoldingTexts", 1,
     [](Criteria& c) {
         c.operators.put()->vt = VT_ARRAY | VT_I4;
         c.operators->parray = comtest::MakeBstrArray({L"1"});
     },
     E_INVALIDARG, E_INVALIDARG},
    {"NoCriteriaAndGarbageArrays", 0, [](Criteria& c) { c.filters.put()->vt = VT_I2; }, S_OK, E_FAIL},
    {"NegativeCountIsNone", -3, [](Criteria& c) { c.attributes.put()->vt = VT_DATE; }, S_OK, E_FAIL},
    // An element that cannot be read is reported, not passed on undefined;
    // elements are read after the connection check.
    {"UnreadableFilter", 1,
     [](Criteria& c) {
         VARIANT* elements = nullptr;
         SafeArrayAccessData(c.filters->parray, reinterpret_cast<void**>(&elements));
         VariantClear(&elements[0]);
         elements[0].vt = 0x7FFF;
         SafeArrayUnaccessData(c.filters->parray);
     },
     DISP_E_BADVARTYPE, E_FAIL},
    {"ZeroBasedArraysOfThree", 2,
     [](Criteria& c) {
         Criteria zeroBased =
             MakeCriteria({{kAttrItemID, kEqual, VarBstr(L"*")}, {kAttrItemID, kEqual, VarBstr(L"*")}}, 0);
         zeroBased.attributes.detach_to(c.attributes.get());
         zeroBased.operators.detach_to(c.operators.get());
         zeroBased.filters.detach_to(c.filters.get());
     },
     S_OK, E_FAIL},
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
    errors->lVal = 42;
    HRESULT hr = server->CreateBrowser(row.numCriteria, *c.attributes.get(), *c.operators.get(), *c.filters.get(),
                                       errors.get(), browser.put());
    if (reinterpret_cast<ULONG_PTR>(c.attributes->parray) == kOmittedMark) c.attributes->vt = VT_EMPTY;
    return {hr, static_cast<bool>(browser), errors->vt};
}

class Creation : public SimBrowse {};

TEST_P(Creation, ChecksArgumentsBeforeTheConnection) {
    ComPtr<IOPCHDAAutoServer> disconnected;
    ASSERT_HRESULT_SUCCEEDED(comtest::CreateServer(disconnected));
    const LONG calls = CallCount(L"CreateBrowse");
    LONG expectedCalls = calls;
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
}

TEST_P(Creation, PassesTheHistoriansFailureAndLeavesErrors) {
    ASSERT_EQ(control_->FailMethod(L"CreateBrowse", kHistorianFailure), S_OK);
    ComPtr<OPCHDABrowser> browser;
    UniqueVariant errors;
    errors->vt = VT_I4;
    errors->lVal = 42;
    EXPECT_EQ(server_->CreateBrowser(0, comtest::VarMissing(), comtest::VarMissing(), comtest::VarMissing(),
                                     errors.get(), browser.put()),
              kHistorianFailure);
    EXPECT_FALSE(browser);
    EXPECT_EQ(errors->vt, VT_I4);
    EXPECT_EQ(errors->lVal, 42);
}

TEST_P(Creation, ErrorsTellWhichCriterionTheHistorianRefused) {
    std::vector<LONG> errors;
    ComPtr<OPCHDABrowser> browser = Browse(
        {{99, kEqual, VarI4(1)}, {kAttrItemID, 7, VarBstr(L"*")}, {kAttrItemID, kEqual, VarBstr(L"*/Temperature")}},
        &errors);
    ASSERT_TRUE(browser);
    EXPECT_EQ(errors, (std::vector<LONG>{kInvalidAttrID, E_INVALIDARG, S_OK}));
    ASSERT_EQ(browser->MoveTo(UniqueBstr(L"Plant/Area1/Reactor1").get()), S_OK);
    EXPECT_EQ(List(browser.get(), Kind::Leaves).names, (std::vector<std::wstring>{L"Temperature"}));
}

TEST_P(Creation, ZeroBasedArraysUseElementsOneToTheCount) {
    VARIANT r8;
    VariantInit(&r8);
    r8.vt = VT_I2;
    r8.iVal = VT_R8;
    Criteria c = MakeCriteria({{kAttrItemID, kEqual, VarBstr(L"*/Meters/*")}, {kAttrDataType, kEqual, r8}}, 0);
    ComPtr<OPCHDABrowser> browser;
    UniqueVariant errors;
    ASSERT_EQ(server_->CreateBrowser(2, *c.attributes.get(), *c.operators.get(), *c.filters.get(), errors.get(),
                                     browser.put()),
              S_OK);
    ASSERT_EQ(errors->vt, VT_ARRAY | VT_I4);
    EXPECT_EQ(Longs(errors->parray), (std::vector<LONG>{S_OK, S_OK}));
    LONG lower = 0;
    SafeArrayGetLBound(errors->parray, 1, &lower);
    EXPECT_EQ(lower, 1);
    ASSERT_EQ(browser->MoveTo(UniqueBstr(L"Plant/Utilities/Meters").get()), S_OK);
    EXPECT_EQ(List(browser.get(), Kind::Leaves).names.size(), 250u);  // the flow meters, not the energy meters
}

// Through IDispatch: no criteria (everything), typed criteria by value, and
// typed criteria by reference (as VB6 passes an array variable) refused.
TEST_P(Creation, ThroughIDispatch) {
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(server_->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
    enum class Shape { None, Typed, ByReference };
    const struct {
        Shape shape;
        const wchar_t* position;
        size_t leaves;
    } rows[] = {{Shape::None, L"Plant/Area2/Tank1", 5},
                {Shape::Typed, L"Plant/Area2/Pump1", 5},
                {Shape::ByReference, nullptr, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.shape));
        Criteria c = MakeCriteria({{kAttrItemID, kEqual, VarBstr(L"*/Pump1/*")}});
        UniqueVariant errors, result;
        VARIANT errorsRef;
        errorsRef.vt = VT_BYREF | VT_VARIANT;
        errorsRef.pvarVal = errors.get();
        // CallMethod clears its arguments: it gets copies.
        std::vector<VARIANT> args(4, comtest::VarMissing());
        if (row.shape != Shape::None) {
            args[0] = VarI4(1);
            VariantCopy(&args[1], c.attributes.get());
            VariantCopy(&args[2], c.operators.get());
            VariantCopy(&args[3], c.filters.get());
        }
        if (row.shape == Shape::ByReference) {
            VariantClear(&args[1]);
            args[1].vt = VT_BYREF | VT_ARRAY | VT_I4;
            args[1].pparray = &c.attributes->parray;
        }
        args.push_back(errorsRef);
        HRESULT hr = comtest::CallMethod(dispatch.get(), L"CreateBrowser", args, result.get());
        if (row.shape == Shape::ByReference) {
            EXPECT_NE(hr, S_OK);
            EXPECT_EQ(errors->vt, VT_EMPTY);
            continue;
        }
        ASSERT_EQ(hr, S_OK);
        ASSERT_EQ(result->vt, VT_DISPATCH);
        ASSERT_EQ(errors->vt, VT_ARRAY | VT_I4);
        EXPECT_EQ(Longs(errors->parray), (std::vector<LONG>{S_OK}));
        ASSERT_EQ(comtest::CallMethod(result->pdispVal, L"MoveTo", {VarBstr(row.position)}), S_OK);
        UniqueVariant leaves;
        ASSERT_HRESULT_SUCCEEDED(comtest::GetProperty(result->pdispVal, L"OPCHDALeaves", leaves.get()));
        EXPECT_EQ(ReadListing(S_FALSE, *leaves.get()).names.size(), row.leaves);
    }
}

INSTANTIATE_TEST_SUITE_P(Browse, Creation, ::testing::Values(Where::InProcess, Where::LocalServer), NameOf);

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
        MakeCriteria({{kAttrDataType, 6, shortFilter}, {kAttrItemID, 1, VarBstr(L"A*?")}, {11, 4, dateFilter}});
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
