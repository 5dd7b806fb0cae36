// CreateBrowser, the catalogues and the browser over a fake historian that answers as scripted and records what it
// was sent; every block it hands out must come back. The examples walk the simulator's plant.
#include <optional>

#include "server/COPCHDAAutoServer.h"
#include "support/fake_historian.h"

namespace {

using namespace comtest;

constexpr LONG kItemID = 13, kEqual = 1, kNotEqual = 6;

// An array as text: element type, lower bound and elements ("8@1:Name1 Name2"); no array as "-".
std::wstring Show(SAFEARRAY* array) {
    VARTYPE vt = VT_EMPTY;
    if (!array || FAILED(SafeArrayGetVartype(array, &vt)) || SafeArrayGetDim(array) != 1) return L"-";
    auto [lower, upper] = BoundsOf(array);
    std::wstring text = std::to_wstring(vt) + L"@" + std::to_wstring(lower) + L":";
    for (LONG i = lower; i <= upper; ++i) {
        UniqueVariant e;
        e.put()->vt = vt;
        SafeArrayGetElement(array, &i, &e->lVal);  // every member of the union starts there
        VariantChangeType(e.get(), e.get(), 0, VT_BSTR);
        text += (i > lower ? L" " : L"") + std::wstring(e->vt == VT_BSTR && e->bstrVal ? e->bstrVal : L"");
    }
    return text;
}

// A listing's result, the type of what it left in the client's VARIANT, and the names.
using Listing = std::tuple<HRESULT, VARTYPE, std::wstring>;
enum Kind { kBranches, kLeaves, kItems };
Listing List(OPCHDABrowser* browser, Kind kind) {
    UniqueVariant names(VarBstr(L"previous"));
    HRESULT hr = kind == kBranches ? browser->get_OPCHDABranches(names.get())
                 : kind == kLeaves ? browser->get_OPCHDALeaves(names.get())
                                   : browser->get_OPCHDAItems(names.get());
    return {hr, names->vt, names->vt & VT_ARRAY ? Show(names->parray) : L""};
}

// Criteria as a client passes them, arrays from `lower`.
struct Criteria {
    UniqueVariant attributes, operators, filters;
    UniqueSafeArray referenced;  // what a by-reference VARIANT points at
};
void Set(UniqueVariant& v, SAFEARRAY* longs) { *v.put() = Typed(VT_ARRAY | VT_I4, longs); }
Criteria MakeCriteria(std::initializer_list<LONG> attributes, std::initializer_list<LONG> operators,
                      std::initializer_list<VARIANT> filters, LONG lower = 1) {
    Criteria made;
    Set(made.attributes, MakeLongArray(attributes, lower));
    Set(made.operators, MakeLongArray(operators, lower));
    *made.filters.put() = Typed(VT_ARRAY | VT_VARIANT, MakeVariantArray(filters, lower));
    return made;
}

struct Created {
    HRESULT hr;
    ComPtr<OPCHDABrowser> browser;
    UniqueVariant errors;  // VT_I4 unless written
};
Created Create(IOPCHDAAutoServer* server, LONG count, Criteria& c) {
    Created made{E_UNEXPECTED, {}, UniqueVariant(VarI4(0))};
    made.hr = server->CreateBrowser(count, *c.attributes.get(), *c.operators.get(), *c.filters.get(), made.errors.get(),
                                    made.browser.put());
    return made;
}

// What the fake answers, and what it was sent.
struct Script {
    DWORD catalogueCount = 3;
    HRESULT serverResult = S_OK, nextFailure = S_OK;  // catalogues and CreateBrowse
    HRESULT browseResult = S_OK;                      // the browser's members; an enumerator only with S_OK
    bool noArrays = false, nullName = false, noBrowseObject = false;
    bool failAfterAnswer = false;  // the component's next allocation fails
    std::vector<std::optional<std::wstring>> names;
    size_t failingNext = 0;  // the Next call (1-based) that answers nextFailure
    std::vector<HRESULT> criterionErrors;
    size_t calls = 0;       // of the catalogues and CreateBrowse
    std::wstring criteria;  // "attribute operator filter;" each
    std::vector<ULONG> nextRequests;
    std::wstring moves;  // "direction 'text';" each, null text as "direction null;"
} g_script;

class FakeHistorian final : public comtest::RefusingHistorian<
                                Implements<FakeHistorian, IOPCHDA_Server, IOPCHDA_Browser, IEnumString, IOPCCommon>> {
public:
    // The aggregates are the attributes' catalogue without its types.
    STDMETHODIMP GetItemAttributes(DWORD* n, DWORD** ids, LPWSTR** names, LPWSTR** texts, VARTYPE** types) override {
        ++g_script.calls;
        if (FAILED(g_script.serverResult)) return g_script.serverResult;
        *n = g_script.catalogueCount;
        if (!g_script.noArrays) {
            *ids = Block<DWORD>(*n, [](DWORD i) { return 100 + i; });
            *names = Block<LPWSTR>(*n, [](DWORD i) {
                return g_script.nullName && i == 1 ? nullptr : Copy(L"Name" + std::to_wstring(i + 1));
            });
            *texts = Block<LPWSTR>(*n, [](DWORD i) { return Copy(L"Description" + std::to_wstring(i + 1)); });
            if (types) *types = Block<VARTYPE>(*n, [](DWORD i) { return VT_I2 + i; });
        }
        g_spy->failNext = g_script.failAfterAnswer;
        return g_script.serverResult;
    }
    STDMETHODIMP GetAggregates(DWORD* n, DWORD** ids, LPWSTR** names, LPWSTR** texts) override {
        return GetItemAttributes(n, ids, names, texts, nullptr);
    }
    STDMETHODIMP CreateBrowse(DWORD n, DWORD* attributes, OPCHDA_OPERATORCODES* operators, VARIANT* filters,
                              IOPCHDA_Browser** browser, HRESULT** errors) override {
        ++g_script.calls;
        if (FAILED(g_script.serverResult)) return g_script.serverResult;
        for (DWORD i = 0; i < n; ++i)
            g_script.criteria += std::to_wstring(attributes[i]) + L" " + std::to_wstring(operators[i]) + L" " +
                                 (filters[i].vt == VT_BSTR ? filters[i].bstrVal : std::to_wstring(filters[i].lVal)) +
                                 L";";
        *errors = Block<HRESULT>(
            n, [](DWORD i) { return i < g_script.criterionErrors.size() ? g_script.criterionErrors[i] : S_OK; });
        *browser = g_script.noBrowseObject ? nullptr : this;
        if (*browser) AddRef();
        return S_OK;
    }

    STDMETHODIMP GetEnum(OPCHDA_BROWSETYPE, LPENUMSTRING* out) override {
        next_ = 0;
        *out = g_script.browseResult == S_OK ? this : nullptr;  // none with S_FALSE
        if (*out) AddRef();
        return g_script.browseResult;
    }
    STDMETHODIMP ChangeBrowsePosition(OPCHDA_BROWSEDIRECTION direction, LPCWSTR text) override {
        g_script.moves += std::to_wstring(direction) + (text ? L" '" + std::wstring(text) + L"';" : L" null;");
        return g_script.browseResult;
    }
    STDMETHODIMP GetItemID(LPCWSTR name, LPWSTR* itemID) override {
        return Text(L"Fake/" + std::wstring(name), itemID);
    }
    STDMETHODIMP GetBranchPosition(LPWSTR* position) override { return Text(L"Fake", position); }

    STDMETHODIMP Next(ULONG celt, LPOLESTR* names, ULONG* fetched) override {
        g_script.nextRequests.push_back(celt);
        for (*fetched = 0; *fetched < celt && next_ < g_script.names.size(); ++*fetched, ++next_)
            names[*fetched] = g_script.names[next_] ? Copy(*g_script.names[next_]) : nullptr;
        // A failing Next has handed out strings all the same (the caller frees them).
        if (g_script.nextRequests.size() == g_script.failingNext) return g_script.nextFailure;
        g_spy->failNext = g_script.failAfterAnswer && *fetched < celt;
        return *fetched == celt ? S_OK : S_FALSE;
    }
    // Locales counted without their array; nothing else of IOPCCommon.
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* count, LCID** ids) override { return *count = 3, *ids = nullptr, S_OK; }
    STDMETHODIMP SetLocaleID(LCID) override { return E_NOTIMPL; }
    STDMETHODIMP GetLocaleID(LCID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetErrorString(HRESULT, LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP SetClientName(LPCWSTR) override { return E_NOTIMPL; }

    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IEnumString**) override { return E_NOTIMPL; }

private:
    static LPWSTR Copy(const std::wstring& s) {
        return Block<wchar_t>(static_cast<DWORD>(s.size() + 1), [&s](DWORD i) { return s.c_str()[i]; });
    }
    static HRESULT Text(const std::wstring& text, LPWSTR* out) {
        *out = SUCCEEDED(g_script.browseResult) ? Copy(text) : nullptr;
        return g_script.browseResult;
    }

    size_t next_ = 0;
};

class OverAFake : public comtest::OverAFake<FakeHistorian> {
protected:
    void SetUp() override {
        comtest::OverAFake<FakeHistorian>::SetUp();
        g_script = Script();
        ASSERT_EQ(HandOut(MakeObject<COPCHDAAutoServer>(), IID_IOPCHDAAutoServer, server_.put_void()), S_OK);
        ASSERT_EQ(server_->Connect(UniqueBstr(kFakeProgID).get(), VarEmpty()), S_OK);
    }
    void TearDown() override {
        browser_ = nullptr;
        server_ = nullptr;
        comtest::OverAFake<FakeHistorian>::TearDown();
    }
    ComPtr<IOPCHDAAutoServer> server_;
    ComPtr<OPCHDABrowser> browser_;
};

// Arguments are checked before the connection, the arrays' elements after it.
struct ArgumentRow {
    const char* name;
    LONG numCriteria;
    void (*spoil)(Criteria&);  // applied to three good one-element arrays
    HRESULT connected;         // disconnected: E_INVALIDARG stays, anything else is E_FAIL
};
const SAFEARRAYBOUND kSquare[2] = {{2, 1}, {2, 1}};
constexpr ULONG_PTR kOmittedMark = 0x80020004u;

// clang-format off
const ArgumentRow kArgumentRows[] = {
    {"AttributesByReference", 1, [](Criteria& c) { c.referenced.reset(c.attributes->parray); c.attributes->vt |= VT_BYREF; c.attributes->pparray = c.referenced.put(); *c.attributes->pparray = c.referenced.get(); }, E_INVALIDARG},
    {"FiltersOmitted", 1, [](Criteria& c) { *c.filters.put() = VarMissing(); }, E_INVALIDARG},
    {"NullOperatorArray", 1, [](Criteria& c) { Set(c.operators, nullptr); }, E_INVALIDARG},
    {"AttributesAreTheOmittedMark", 1, [](Criteria& c) { Set(c.attributes, reinterpret_cast<SAFEARRAY*>(kOmittedMark)); }, E_INVALIDARG},
    {"OneElementForTwoCriteria", 2, [](Criteria&) {}, E_INVALIDARG},
    {"LowerBoundTwo", 1, [](Criteria& c) { Set(c.operators, MakeLongArray({1, 1}, 2)); }, E_INVALIDARG},
    {"TwoDimensionalAttributes", 1, [](Criteria& c) { Set(c.attributes, SafeArrayCreate(VT_I4, 2, const_cast<SAFEARRAYBOUND*>(kSquare))); }, E_INVALIDARG},
    {"TextsLabelHoldingVariants", 1, [](Criteria& c) { c.filters->vt = VT_ARRAY | VT_BSTR; }, E_INVALIDARG},
    {"LongsLabelHoldingTexts", 1, [](Criteria& c) { Set(c.operators, MakeBstrArray({L"1"})); }, E_INVALIDARG},
    {"NoCriteriaAndGarbageArrays", 0, [](Criteria& c) { c.filters.put()->vt = VT_I2; }, S_OK},
    {"NegativeCountIsNone", -3, [](Criteria& c) { c.attributes.put()->vt = VT_DATE; }, S_OK},
    // An element that cannot be read is reported, not passed on undefined.
    {"UnreadableFilter", 1, [](Criteria& c) { VARIANT* e = nullptr; SafeArrayAccessData(c.filters->parray, reinterpret_cast<void**>(&e)); VariantClear(e); e->vt = 0x7FFF; SafeArrayUnaccessData(c.filters->parray); }, DISP_E_BADVARTYPE},
};
// clang-format on

TEST_F(OverAFake, CreateBrowserChecksArgumentsThenPassesEachCriterion) {
    ComPtr<IOPCHDAAutoServer> disconnected;
    ASSERT_EQ(HandOut(MakeObject<COPCHDAAutoServer>(), IID_IOPCHDAAutoServer, disconnected.put_void()), S_OK);
    for (const ArgumentRow& row : kArgumentRows) {
        SCOPED_TRACE(row.name);
        for (IOPCHDAAutoServer* server : {disconnected.get(), server_.get()}) {
            const HRESULT expected = server == server_.get() || row.connected == E_INVALIDARG ? row.connected : E_FAIL;
            const size_t calls = g_script.calls;
            Criteria c = MakeCriteria({kItemID}, {kEqual}, {VarI4(1)});
            row.spoil(c);
            Created made = Create(server, row.numCriteria, c);
            if (reinterpret_cast<ULONG_PTR>(c.attributes->parray) == kOmittedMark) c.attributes->vt = VT_EMPTY;
            EXPECT_EQ(made.hr, expected);
            EXPECT_EQ(static_cast<bool>(made.browser), SUCCEEDED(expected));
            EXPECT_EQ(made.errors->vt, SUCCEEDED(expected) ? VT_ARRAY | VT_I4 : VT_I4);
            EXPECT_EQ(g_script.calls, calls + SUCCEEDED(expected)) << "a refused call reached the historian";
        }
    }
    EXPECT_EQ(disconnected->CreateBrowser(0, VarMissing(), VarMissing(), VarMissing(), nullptr, nullptr), E_POINTER);

    // Zero-based arrays: elements 1 to the count reach the historian, each with its own code.
    g_script.criteria.clear();
    g_script.criterionErrors = {S_OK, kInvalidAttrID};
    Criteria c = MakeCriteria({kItemID, kItemID, 99}, {kEqual, kEqual, kNotEqual}, {VarI4(0), VarI4(1), VarI4(2)},
                              0);  // element 0 is never read
    Created made = Create(server_.get(), 2, c);
    EXPECT_TRUE(made.browser);
    EXPECT_EQ(g_script.criteria, L"13 1 1;99 6 2;");
    EXPECT_EQ(made.errors->vt, VT_ARRAY | VT_I4);
    EXPECT_EQ(Show(made.errors->parray), L"3@1:0 -1073475572");
    // No criteria: the item identifier equal to "*". A success without a browse object fails, with Errors.
    g_script.criteria.clear();
    g_script.noBrowseObject = true;
    g_script.criterionErrors = {kHistorianRefuses};
    made = Create(server_.get(), 0, c);
    EXPECT_EQ(g_script.criteria, L"13 1 *;");
    EXPECT_EQ(std::tuple(made.hr, static_cast<bool>(made.browser)), std::tuple(E_FAIL, false));
    EXPECT_EQ(made.errors->vt, VT_ARRAY | VT_I4);
    EXPECT_EQ(Show(made.errors->parray), L"3@1:-2147216844");
    // The historian's failure passes unchanged and leaves Errors alone.
    g_script.serverResult = kHistorianRefuses;
    made = Create(server_.get(), 0, c);
    EXPECT_EQ(std::tuple(made.hr, static_cast<bool>(made.browser), made.errors->vt),
              std::tuple(kHistorianRefuses, false, VT_I4));
}

// GetItemAttributes (four columns) or GetAggregates (three) as text, `nullOutput` (0 = Count, -1 = none) null.
struct Catalogue {
    HRESULT hr = E_UNEXPECTED;
    LONG count = 77;  // untouched unless written: a null output
    std::wstring columns;
};
Catalogue Read(IOPCHDAAutoServer* server, bool attributes, int nullOutput = -1) {
    Catalogue c;
    UniqueSafeArray columns[4];
    SAFEARRAY** outs[4];
    for (int i = 0; i < 4; ++i) outs[i] = nullOutput == i + 1 ? nullptr : columns[i].put();
    LONG* count = nullOutput == 0 ? nullptr : &c.count;
    c.hr = attributes ? server->GetItemAttributes(count, outs[0], outs[1], outs[2], outs[3])
                      : server->GetAggregates(count, outs[0], outs[1], outs[2]);
    for (auto& column : columns) c.columns += Show(column.get()) + L"|";
    return c;
}

// Connected by its CLSID's text, which matches no ProgID; a historian's broken promise is refused.
TEST_F(OverAFake, CataloguesCopyEveryEntryOrHandOutNothing) {
    UniqueBstr name;
    EXPECT_EQ(server_->get_ServerName(name.put()), S_OK);
    EXPECT_STREQ(name.get(), kFakeProgID);
    UniqueVariant locales(VarI4(5));
    EXPECT_EQ(server_->QueryAvailableLocaleIDs(locales.get()), E_FAIL) << "a count without an array";
    EXPECT_TRUE(locales->vt == VT_I4 && locales->lVal == 5) << "the client's VARIANT is left as it was";
    for (bool attributes : {true, false}) {
        SCOPED_TRACE(attributes ? "GetItemAttributes" : "GetAggregates");
        g_script = Script();
        Catalogue c = Read(server_.get(), attributes);
        EXPECT_EQ(std::tuple(c.hr, c.count), std::tuple(S_OK, 3));
        EXPECT_EQ(c.columns, std::wstring(L"3@1:100 101 102|8@1:Name1 Name2 Name3|8@1:Description1 Description2 "
                                          L"Description3|") +
                                 (attributes ? L"2@1:2 3 4|" : L"-|"));
        // Null out-pointers are refused before anything reaches the historian.
        const size_t calls = g_script.calls;
        for (int nullOutput = 0; nullOutput <= (attributes ? 4 : 3); ++nullOutput)
            EXPECT_EQ(Read(server_.get(), attributes, nullOutput).hr, E_POINTER) << nullOutput;
        EXPECT_EQ(g_script.calls, calls);
        // A null name arrives as an empty text; no entries as empty arrays with the historian's code.
        g_script.nullName = true;
        EXPECT_NE(Read(server_.get(), attributes).columns.find(L"|8@1:Name1  Name3|"), std::wstring::npos);
        g_script.catalogueCount = 0;
        g_script.serverResult = S_FALSE;
        Catalogue empty = Read(server_.get(), attributes);
        EXPECT_EQ(std::tuple(empty.hr, empty.count), std::tuple(S_FALSE, 0));
        EXPECT_EQ(empty.columns, attributes ? L"3@1:|8@1:|8@1:|2@1:|" : L"3@1:|8@1:|8@1:|-|");
        // A failure, a count without arrays, arrays that cannot be made: nothing handed out, a count of 0.
        const std::pair<void (*)(), HRESULT> faults[] = {
            {[] { g_script.serverResult = kHistorianRefuses; }, kHistorianRefuses},
            {[] { g_script.noArrays = true; }, E_FAIL},
            {[] { g_script.failAfterAnswer = true; }, E_FAIL}};
        for (auto [fault, expected] : faults) {
            g_script = Script();
            fault();
            Catalogue failed = Read(server_.get(), attributes);
            EXPECT_EQ(std::tuple(failed.hr, failed.count, failed.columns), std::tuple(expected, 0, L"-|-|-|-|"));
        }
    }
    ASSERT_EQ(server_->Disconnect(), S_OK);
    for (bool attributes : {true, false}) {
        const Catalogue c = Read(server_.get(), attributes);
        EXPECT_EQ(std::tuple(c.hr, c.count, c.columns), std::tuple(E_FAIL, 0, L"-|-|-|-|")) << "disconnected";
        EXPECT_EQ(Read(server_.get(), attributes, 1).hr, E_POINTER);
    }
}

TEST_F(OverAFake, ABrowserPassesWhatTheHistorianAnswersWithoutItsServer) {
    ASSERT_EQ(server_->CreateBrowser(0, VarMissing(), VarMissing(), VarMissing(), nullptr, browser_.put()), S_OK);
    ASSERT_EQ(server_->Disconnect(), S_OK);
    server_ = nullptr;
    UniqueBstr itemID, position;
    ASSERT_EQ(browser_->GetItemID(UniqueBstr(L"Leaf").get(), itemID.put()), S_OK);
    EXPECT_STREQ(itemID.get(), L"Fake/Leaf");
    ASSERT_EQ(browser_->get_CurrentPosition(position.put()), S_OK);
    EXPECT_STREQ(position.get(), L"Fake");
    EXPECT_EQ(browser_->GetItemID(itemID.get(), nullptr), E_POINTER);
    EXPECT_EQ(browser_->get_CurrentPosition(nullptr), E_POINTER);
    EXPECT_EQ(browser_->get_OPCHDALeaves(nullptr), E_POINTER);
    // Names are asked for in batches of a hundred until a batch is short.
    for (auto [count, requests] :
         {std::pair<size_t, std::vector<ULONG>>{0, {100}}, {100, {100, 100}}, {250, {100, 100, 100}}}) {
        std::wstring expected = L"8@1:";
        g_script.names.clear();
        for (size_t i = 0; i < count; ++i) {
            g_script.names.push_back(L"N" + std::to_wstring(i));
            expected += (i ? L" " : L"") + *g_script.names.back();
        }
        g_script.nextRequests.clear();
        EXPECT_EQ(List(browser_.get(), kLeaves), Listing(S_FALSE, VT_ARRAY | VT_BSTR, expected));
        EXPECT_EQ(g_script.nextRequests, requests);
    }
    // A Next that fails part-way (its own code, not out-of-memory), or an array that cannot be made:
    // the failure, the client's value kept.
    g_script.failingNext = g_script.nextRequests.size() + 2;
    g_script.nextFailure = E_UNEXPECTED;
    EXPECT_EQ(List(browser_.get(), kItems), Listing(E_UNEXPECTED, VT_BSTR, L""));
    g_script.failAfterAnswer = true;
    EXPECT_EQ(List(browser_.get(), kItems), Listing(E_FAIL, VT_BSTR, L""));
    g_script.failAfterAnswer = false;
    // No enumerator is an empty listing; null names are dropped.
    g_script.browseResult = S_FALSE;
    EXPECT_EQ(List(browser_.get(), kBranches), Listing(S_FALSE, VT_ARRAY | VT_BSTR, L"8@1:"));
    g_script.browseResult = S_OK;
    g_script.names = {L"A", std::nullopt, L"B"};
    EXPECT_EQ(std::get<2>(List(browser_.get(), kLeaves)), L"8@1:A B");

    // Historian failures pass unchanged; up and to the root send a zero-length name.
    g_script.browseResult = kHistorianRefuses;
    for (int member = 0; member < 2; ++member) {
        BSTR text = itemID.get();
        EXPECT_EQ(member ? browser_->GetItemID(itemID.get(), &text) : browser_->get_CurrentPosition(&text),
                  kHistorianRefuses);
        EXPECT_EQ(text, nullptr) << member;
    }
    EXPECT_EQ(List(browser_.get(), kBranches), Listing(kHistorianRefuses, VT_BSTR, L""));
    EXPECT_EQ(browser_->MoveUp(), kHistorianRefuses);
    EXPECT_EQ(browser_->MoveToRoot(), kHistorianRefuses);
    EXPECT_EQ(browser_->MoveDown(UniqueBstr(L"Y").get()), kHistorianRefuses);
    EXPECT_EQ(browser_->MoveTo(nullptr), kHistorianRefuses);
    EXPECT_EQ(g_script.moves, L"1 '';3 '';2 'Y';3 null;");
}

}  // namespace
