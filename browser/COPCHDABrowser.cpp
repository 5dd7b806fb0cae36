#include "browser/COPCHDABrowser.h"

#include "browser/browse_names.h"

HRESULT COPCHDABrowser::Create(IOPCHDA_Browser* historianBrowser, OPCHDABrowser** browser) {
    ComPtr<COPCHDABrowser> object = MakeObject<COPCHDABrowser>();
    if (object) object->AttachBrowser(historianBrowser);
    return HandOut(object, IID_OPCHDABrowser, reinterpret_cast<void**>(browser));
}

HRESULT COPCHDABrowser::AttachBrowser(IOPCHDA_Browser* historianBrowser) {
    browser_ = ComPtr<IOPCHDA_Browser>(historianBrowser);
    return S_OK;
}

namespace {

// The zero-length string of MoveUp and MoveToRoot: historians take it as
// "no name", while a null pointer cannot even cross a process boundary.
const wchar_t kNoName[] = L"";

}  // namespace

// CurrentPosition and GetItemID: the historian's string as a BSTR copy (a
// null string gives a null BSTR); the historian's copy is freed here.
template <class Call>
HRESULT COPCHDABrowser::StringResult(BSTR* out, Call call) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!browser_) return E_FAIL;
    TaskArray<WCHAR> text;
    HRESULT hr = call(text.put());
    if (FAILED(hr) || !text) return hr;
    *out = SysAllocString(text.get());
    return *out ? hr : E_OUTOFMEMORY;
}

STDMETHODIMP COPCHDABrowser::get_CurrentPosition(BSTR* pVal) {
    return StringResult(pVal, [this](LPWSTR* position) { return browser_->GetBranchPosition(position); });
}

STDMETHODIMP COPCHDABrowser::GetItemID(BSTR ItemName, BSTR* pItemID) {
    return StringResult(pItemID, [&](LPWSTR* itemID) { return browser_->GetItemID(ItemName, itemID); });
}

STDMETHODIMP COPCHDABrowser::get_OPCHDABranches(VARIANT* pVal) { return List(OPCHDA_BRANCH, pVal); }
STDMETHODIMP COPCHDABrowser::get_OPCHDALeaves(VARIANT* pVal) { return List(OPCHDA_LEAF, pVal); }
STDMETHODIMP COPCHDABrowser::get_OPCHDAItems(VARIANT* pVal) { return List(OPCHDA_ITEMS, pVal); }

HRESULT COPCHDABrowser::List(OPCHDA_BROWSETYPE type, VARIANT* names) {
    if (!names) return E_POINTER;
    if (!browser_) return E_FAIL;
    ComPtr<IEnumString> enumerator;
    HRESULT hr = browser_->GetEnum(type, enumerator.put());
    if (FAILED(hr)) return hr;

    BrowseNames collected;
    // A historian that finds nothing may answer without an enumerator:
    // that is an empty listing with its own code.
    if (enumerator) hr = collected.Collect(enumerator.get());
    if (FAILED(hr)) return hr;

    UniqueSafeArray array;
    HRESULT made = collected.ToArray(array);
    if (FAILED(made)) return made;
    // The client's previous content goes only now that the new one exists.
    ClearVariantValue(names);
    names->vt = VT_ARRAY | VT_BSTR;
    names->parray = array.detach();
    return hr;
}

HRESULT COPCHDABrowser::Move(OPCHDA_BROWSEDIRECTION direction, const wchar_t* name) {
    if (!browser_) return E_FAIL;
    return browser_->ChangeBrowsePosition(direction, name);
}

STDMETHODIMP COPCHDABrowser::MoveUp() { return Move(OPCHDA_BROWSE_UP, kNoName); }
STDMETHODIMP COPCHDABrowser::MoveToRoot() { return Move(OPCHDA_BROWSE_DIRECT, kNoName); }
STDMETHODIMP COPCHDABrowser::MoveDown(BSTR BranchName) { return Move(OPCHDA_BROWSE_DOWN, BranchName); }
STDMETHODIMP COPCHDABrowser::MoveTo(BSTR NewPosition) { return Move(OPCHDA_BROWSE_DIRECT, NewPosition); }
