#include "automation/script_values.h"

#include <dispex.h>

#include <cstring>
#include <cwchar>

#include "com/com_holders.h"
#include "time/time_conversion.h"

namespace script_values {
namespace {

// Not in every import library of the toolchain.
constexpr IID kIID_IDispatchEx = {0xa6ef9860, 0xc720, 0x11d0, {0x93, 0x37, 0x00, 0xa0, 0xc9, 0x0d, 0xca, 0xa9}};

// Member `name` of a script object, or DISPID_UNKNOWN.
DISPID IdOf(IDispatch* object, const wchar_t* name) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return DISPID_UNKNOWN;
    return id;
}

HRESULT Get(IDispatch* object, DISPID id, WORD flags, VARIANT* value) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &none, value, nullptr, nullptr);
}

// The element count of a JScript array, or -1 when the object is none.
LONG LengthOf(IDispatch* object) {
    const DISPID id = IdOf(object, L"length");
    if (id == DISPID_UNKNOWN) return -1;
    UniqueVariant length;
    if (FAILED(Get(object, id, DISPATCH_PROPERTYGET, length.get()))) return -1;
    if (FAILED(VariantChangeType(length.get(), length.get(), 0, VT_I4)) || length->lVal < 0) return -1;
    return length->lVal;
}

// Where a typed element's value sits in a VARIANT (the union after the header).
void* ValueSlot(VARIANT* v) { return &v->llVal; }

}  // namespace

bool IsPlainType(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BOOL:
        case VT_ERROR:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_UNKNOWN: return true;
        default: return false;
    }
}

namespace {

// One element converted to `to` (VT_VARIANT: its value, a JScript date as a date).
HRESULT ConvertElement(const VARIANT* element, VARTYPE to, VARIANT* out) {
    const VARIANT* value = element;
    if (value->vt == (VT_BYREF | VT_VARIANT) && value->pvarVal) value = value->pvarVal;
    if (value->vt == VT_DISPATCH && value->pdispVal && (to == VT_DATE || to == VT_VARIANT)) {
        DATE date = 0;
        const HRESULT hr = DateOf(value->pdispVal, &date);
        if (FAILED(hr)) return hr;
        if (hr == S_OK) {
            out->vt = VT_DATE;
            out->date = date;
            return S_OK;
        }
    }
    if (to == VT_VARIANT) return VariantCopyInd(out, const_cast<VARIANT*>(value));
    const HRESULT hr = VariantChangeType(out, const_cast<VARIANT*>(value), 0, to);
    return hr == E_OUTOFMEMORY ? hr : FAILED(hr) ? DISP_E_TYPEMISMATCH : S_OK;
}

using DataAccess = SafeArrayData<char>;

}  // namespace

HRESULT DateOf(IDispatch* object, DATE* date) {
    // Every JScript host has getTime (milliseconds since 1970, UTC); not
    // every one has getVarDate. The local date is the component's own.
    const DISPID id = IdOf(object, L"getTime");
    if (id == DISPID_UNKNOWN) return S_FALSE;
    UniqueVariant value;
    HRESULT hr = Get(object, id, DISPATCH_METHOD, value.get());
    if (SUCCEEDED(hr)) hr = VariantChangeType(value.get(), value.get(), 0, VT_R8);
    if (FAILED(hr)) return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
    constexpr double kUnixEpochTicks = 116444736000000000.0;  // 1970-01-01 in FILETIME ticks
    const double ticks = value->dblVal * 10000.0 + kUnixEpochTicks;
    if (!(ticks >= 0 && ticks < 9.2e18)) return DISP_E_TYPEMISMATCH;  // also NaN: an invalid Date
    const ULONGLONG whole = static_cast<ULONGLONG>(ticks);
    FILETIME utc{static_cast<DWORD>(whole), static_cast<DWORD>(whole >> 32)};
    return FileTimeToLocalDate(utc, date) ? S_OK : DISP_E_TYPEMISMATCH;
}

HRESULT ArrayOf(IDispatch* object, SAFEARRAY** array) {
    *array = nullptr;
    const LONG length = LengthOf(object);
    if (length < 0) return S_FALSE;
    UniqueSafeArray result(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(length)));
    if (!result) return E_OUTOFMEMORY;
    if (length > 0) {
        DataAccess data(result.get());
        if (!data.get()) return E_OUTOFMEMORY;
        VARIANT* elements = reinterpret_cast<VARIANT*>(data.get());
        for (LONG i = 0; i < length; ++i) {
            wchar_t name[16];
            std::swprintf(name, 16, L"%ld", static_cast<long>(i));
            const DISPID id = IdOf(object, name);
            if (id == DISPID_UNKNOWN) continue;  // a hole in the array
            const HRESULT hr = Get(object, id, DISPATCH_PROPERTYGET, &elements[i]);
            if (FAILED(hr)) return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
        }
    }
    *array = result.detach();
    return S_OK;
}

bool IsArray(IDispatch* object) { return LengthOf(object) >= 0; }

HRESULT FillArray(IDispatch* object, SAFEARRAY* from) {
    ComPtr<IDispatchEx> ex;
    if (FAILED(object->QueryInterface(kIID_IDispatchEx, ex.put_void()))) return S_FALSE;
    if (SafeArrayGetDim(from) != 1) return S_FALSE;
    UniqueSafeArray values;
    HRESULT hr = ConvertArray(from, VT_VARIANT, values.put());
    if (FAILED(hr)) return hr;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(values.get(), 1, &lower);
    SafeArrayGetUBound(values.get(), 1, &upper);

    DISPID put = DISPID_PROPERTYPUT;
    auto store = [&](const wchar_t* name, VARIANT* value) -> HRESULT {
        DISPID id = DISPID_UNKNOWN;
        BSTR text = SysAllocString(name);
        if (!text) return E_OUTOFMEMORY;
        HRESULT r = ex->GetDispID(text, fdexNameEnsure | fdexNameCaseSensitive, &id);
        SysFreeString(text);
        if (FAILED(r)) return r;
        DISPPARAMS params{value, &put, 1, 1};
        return ex->InvokeEx(id, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
    };
    // The array's old elements go first, so that nothing stale is left behind.
    VARIANT zero;
    zero.vt = VT_I4;
    zero.lVal = 0;
    hr = store(L"length", &zero);
    if (FAILED(hr)) return hr;
    DataAccess data(values.get());
    if (upper >= lower && !data.get()) return E_OUTOFMEMORY;
    VARIANT* elements = reinterpret_cast<VARIANT*>(data.get());
    for (LONG i = lower; i <= upper; ++i) {
        wchar_t name[16];
        std::swprintf(name, 16, L"%ld", static_cast<long>(i));
        hr = store(name, &elements[i - lower]);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT ConvertArray(SAFEARRAY* from, VARTYPE to, SAFEARRAY** converted) {
    *converted = nullptr;
    if (!from) return S_OK;
    VARTYPE have = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(from, &have))) return DISP_E_TYPEMISMATCH;
    if ((have != VT_VARIANT && !IsPlainType(have)) || (to != VT_VARIANT && !IsPlainType(to)))
        return DISP_E_TYPEMISMATCH;

    constexpr UINT kMaxDims = 32;
    const UINT dims = SafeArrayGetDim(from);
    if (dims == 0 || dims > kMaxDims) return DISP_E_TYPEMISMATCH;
    SAFEARRAYBOUND bounds[kMaxDims];
    ULONG count = 1;
    for (UINT d = 0; d < dims; ++d) {
        LONG lower = 0, upper = 0;
        if (FAILED(SafeArrayGetLBound(from, d + 1, &lower)) || FAILED(SafeArrayGetUBound(from, d + 1, &upper)))
            return DISP_E_TYPEMISMATCH;
        bounds[d].lLbound = lower;
        bounds[d].cElements = static_cast<ULONG>(upper - lower + 1);
        count *= bounds[d].cElements;
    }
    UniqueSafeArray result(SafeArrayCreate(to, dims, bounds));
    if (!result) return E_OUTOFMEMORY;
    if (count > 0) {
        DataAccess source(from), target(result.get());
        if (!source.get() || !target.get()) return E_OUTOFMEMORY;
        const UINT haveSize = SafeArrayGetElemsize(from);
        const UINT toSize = SafeArrayGetElemsize(result.get());
        for (ULONG i = 0; i < count; ++i) {
            VARIANT view;  // the element as a VARIANT, not owning its value
            const VARIANT* element = &view;
            if (have == VT_VARIANT) {
                element = reinterpret_cast<const VARIANT*>(source.get()) + i;
            } else {
                VariantInit(&view);
                view.vt = have;
                std::memcpy(ValueSlot(&view), source.get() + static_cast<size_t>(i) * haveSize, haveSize);
            }
            UniqueVariant value;
            const HRESULT hr = ConvertElement(element, to, value.get());
            if (FAILED(hr)) return hr;
            if (to == VT_VARIANT) {
                reinterpret_cast<VARIANT*>(target.get())[i] = *value.get();
            } else {
                std::memcpy(target.get() + static_cast<size_t>(i) * toSize, ValueSlot(value.get()), toSize);
            }
            VariantInit(value.get());  // the array owns the value now
        }
    }
    *converted = result.detach();
    return S_OK;
}

}  // namespace script_values
