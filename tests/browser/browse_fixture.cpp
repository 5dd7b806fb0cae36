#include "browse_fixture.h"

namespace browsertest {

Listing List(OPCHDABrowser* browser, Kind kind) {
    // What the client held before is replaced, not merged or leaked.
    UniqueVariant names;
    names->vt = VT_BSTR;
    names->bstrVal = SysAllocString(L"previous");
    Listing listing;
    listing.hr = kind == Kind::Branches ? browser->get_OPCHDABranches(names.get())
                 : kind == Kind::Leaves ? browser->get_OPCHDALeaves(names.get())
                                        : browser->get_OPCHDAItems(names.get());
    listing.vt = names->vt;
    if (names->vt != (VT_ARRAY | VT_BSTR) || !names->parray) return listing;
    EXPECT_EQ(SafeArrayGetDim(names->parray), 1u);
    std::tie(listing.lower, listing.upper) = comtest::BoundsOf(names->parray);
    listing.names = Texts(names->parray);
    return listing;
}

std::wstring Position(OPCHDABrowser* browser) {
    UniqueBstr position;
    EXPECT_EQ(browser->get_CurrentPosition(position.put()), S_OK);
    return position ? std::wstring(position.get()) : L"(null)";
}

Criteria MakeCriteria(std::initializer_list<Criterion> criteria, LONG lower) {
    const ULONG count = static_cast<ULONG>(criteria.size()) + (lower < 1 ? 1 - lower : 0);
    SAFEARRAYBOUND bound{count, lower};
    Criteria made;
    made.attributes->vt = VT_ARRAY | VT_I4;
    made.attributes->parray = SafeArrayCreate(VT_I4, 1, &bound);
    made.operators->vt = VT_ARRAY | VT_I4;
    made.operators->parray = SafeArrayCreate(VT_I4, 1, &bound);
    made.filters->vt = VT_ARRAY | VT_VARIANT;
    made.filters->parray = SafeArrayCreate(VT_VARIANT, 1, &bound);
    // Elements below 1 hold a criterion that would match nothing, were it read.
    for (LONG k = lower; k < 1; ++k) {
        LONG attribute = kAttrItemID, op = kEqual;
        VARIANT never = comtest::VarBstr(L"never read");
        SafeArrayPutElement(made.attributes->parray, &k, &attribute);
        SafeArrayPutElement(made.operators->parray, &k, &op);
        SafeArrayPutElement(made.filters->parray, &k, &never);
        VariantClear(&never);
    }
    LONG k = 1;
    for (const Criterion& c : criteria) {
        LONG attribute = c.attribute, op = c.op;
        VARIANT filter = c.filter;
        SafeArrayPutElement(made.attributes->parray, &k, &attribute);
        SafeArrayPutElement(made.operators->parray, &k, &op);
        SafeArrayPutElement(made.filters->parray, &k, &filter);
        VariantClear(&filter);
        ++k;
    }
    return made;
}

std::vector<LONG> Longs(SAFEARRAY* array) {
    std::vector<LONG> values;
    auto [lower, upper] = comtest::BoundsOf(array);
    for (LONG i = lower; i <= upper; ++i) values.push_back(comtest::LongAt(array, i));
    return values;
}

std::vector<std::wstring> Texts(SAFEARRAY* array) {
    std::vector<std::wstring> values;
    auto [lower, upper] = comtest::BoundsOf(array);
    for (LONG i = lower; i <= upper; ++i) {
        UniqueBstr text;
        EXPECT_EQ(SafeArrayGetElement(array, &i, text.put()), S_OK);
        values.push_back(text ? text.get() : L"");
    }
    return values;
}

ComPtr<OPCHDABrowser> SimBrowse::Browse(std::initializer_list<Criterion> criteria, std::vector<LONG>* errors) {
    ComPtr<OPCHDABrowser> browser;
    UniqueVariant errorArray;
    Criteria made = MakeCriteria(criteria);
    HRESULT hr = server_->CreateBrowser(static_cast<LONG>(criteria.size()), *made.attributes.get(),
                                        *made.operators.get(), *made.filters.get(), errorArray.get(), browser.put());
    EXPECT_EQ(hr, S_OK);
    if (errors) {
        EXPECT_EQ(errorArray->vt, VT_ARRAY | VT_I4);
        if (errorArray->vt == (VT_ARRAY | VT_I4)) *errors = Longs(errorArray->parray);
    }
    return browser;
}

}  // namespace browsertest
