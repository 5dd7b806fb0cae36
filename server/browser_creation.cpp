// CreateBrowser: the client's browse criteria handed to the historian, and
// the historian's browse object wrapped in an OPCHDABrowser.
#include "server/COPCHDAAutoServer.h"

#include <memory>
#include <new>

#include "browser/COPCHDABrowser.h"
#include "automation/client_arrays.h"
#include "com/com_holders.h"

namespace {

// The array pointer of a criteria VARIANT must be there; the value of the
// omitted-argument mark counts as absent too.
bool HoldsArray(const VARIANT& v) { return v.parray && !IsOmittedMark(v.parray); }

// The criteria in the historian's three parallel arrays.
class Criteria {
public:
    HRESULT Allocate(DWORD count) {
        attributes_.reset(new (std::nothrow) DWORD[count]);
        operators_.reset(new (std::nothrow) OPCHDA_OPERATORCODES[count]);
        filters_.reset(new (std::nothrow) UniqueVariant[count]);
        if (!attributes_ || !operators_ || !filters_) return E_OUTOFMEMORY;
        count_ = count;
        return S_OK;
    }

    // Everything browses everything: the item identifier equal to "*".
    HRESULT MakeDefault() {
        HRESULT hr = Allocate(1);
        if (FAILED(hr)) return hr;
        attributes_[0] = OPCHDAItemID;
        operators_[0] = OPCHDA_EQUAL;
        filters_[0]->bstrVal = SysAllocString(L"*");
        if (!filters_[0]->bstrVal) return E_OUTOFMEMORY;
        filters_[0]->vt = VT_BSTR;
        return S_OK;
    }

    // Elements 1 to the count of the client's checked arrays.
    HRESULT Read(SAFEARRAY* attributes, SAFEARRAY* operators, SAFEARRAY* filters) {
        for (LONG k = 1; k <= static_cast<LONG>(count_); ++k) {
            LONG attribute = 0, op = 0;
            HRESULT hr = SafeArrayGetElement(attributes, &k, &attribute);
            if (SUCCEEDED(hr)) hr = SafeArrayGetElement(operators, &k, &op);
            if (SUCCEEDED(hr)) hr = SafeArrayGetElement(filters, &k, filters_[k - 1].get());
            if (FAILED(hr)) return hr;
            attributes_[k - 1] = static_cast<DWORD>(attribute);
            operators_[k - 1] = static_cast<OPCHDA_OPERATORCODES>(op);
        }
        return S_OK;
    }

    DWORD count() const { return count_; }
    DWORD* attributes() const { return attributes_.get(); }
    OPCHDA_OPERATORCODES* operators() const { return operators_.get(); }
    VARIANT* filters() const { return AsVariantArray(filters_.get()); }

private:
    DWORD count_ = 0;
    std::unique_ptr<DWORD[]> attributes_;
    std::unique_ptr<OPCHDA_OPERATORCODES[]> operators_;
    std::unique_ptr<UniqueVariant[]> filters_;
};

// The criteria's checks, in order: exact types, arrays present, then per array
// its bounds, its single dimension and its element type. A multi-dimensional array would
// have its elements read as if it were flat.
HRESULT CheckCriteria(LONG count, const VARIANT& attributes, const VARIANT& operators, const VARIANT& filters) {
    if (attributes.vt != (VT_ARRAY | VT_I4) || operators.vt != (VT_ARRAY | VT_I4) ||
        filters.vt != (VT_ARRAY | VT_VARIANT))
        return E_INVALIDARG;
    if (!HoldsArray(attributes) || !HoldsArray(operators) || !HoldsArray(filters)) return E_INVALIDARG;
    HRESULT hr = client_arrays::CheckClientArray(attributes.parray, count, VT_I4);
    if (SUCCEEDED(hr)) hr = client_arrays::CheckClientArray(operators.parray, count, VT_I4);
    if (SUCCEEDED(hr)) hr = client_arrays::CheckClientArray(filters.parray, count, VT_VARIANT);
    return hr;
}

// After the historian's answer: its code per criterion, into the client's Errors.
void HandOutErrors(const HRESULT* errors, DWORD count, VARIANT* Errors) {
    if (!Errors || IsOmitted(*Errors)) return;
    ClearVariantValue(Errors);
    UniqueSafeArray array;
    if (FAILED(client_arrays::FillResultArray<LONG>(VT_I4, count, array, [errors](LONG& element, size_t k) {
            element = errors[k];
            return S_OK;
        })))
        return;
    Errors->vt = VT_ARRAY | VT_I4;
    Errors->parray = array.detach();
}

}  // namespace

STDMETHODIMP COPCHDAAutoServer::CreateBrowser(LONG NumCriteria, VARIANT AttributeIDs, VARIANT OperatorCodes,
                                              VARIANT Filters, VARIANT* Errors, OPCHDABrowser** ppOPCHDABrowser) {
    if (!ppOPCHDABrowser) return E_POINTER;
    *ppOPCHDABrowser = nullptr;
    if (NumCriteria > 0) {
        HRESULT hr = CheckCriteria(NumCriteria, AttributeIDs, OperatorCodes, Filters);
        if (FAILED(hr)) return hr;
    }
    if (!server_) return E_FAIL;

    Criteria criteria;
    HRESULT hr = NumCriteria > 0 ? criteria.Allocate(static_cast<DWORD>(NumCriteria)) : criteria.MakeDefault();
    if (SUCCEEDED(hr) && NumCriteria > 0) hr = criteria.Read(AttributeIDs.parray, OperatorCodes.parray, Filters.parray);
    if (FAILED(hr)) return hr;

    ComPtr<IOPCHDA_Browser> historianBrowser;
    TaskArray<HRESULT> errors;
    hr = server_->CreateBrowse(criteria.count(), criteria.attributes(), criteria.operators(), criteria.filters(),
                               historianBrowser.put(), errors.put());
    if (FAILED(hr)) return hr;

    // A success without a browse object leaves nothing to walk: say so
    // rather than hand out a browser whose every member fails.
    hr = historianBrowser ? COPCHDABrowser::Create(historianBrowser.get(), ppOPCHDABrowser) : E_FAIL;
    if (errors) HandOutErrors(errors.get(), criteria.count(), Errors);
    return hr;
}
