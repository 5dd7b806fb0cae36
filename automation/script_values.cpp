#include "automation/script_values.h"

#include <dispex.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "com/com_holders.h"
#include "com/file_time.h"
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

// The length of a JScript array: a whole number from 0 to 2^32 - 1, as the
// language allows. Anything else (no length, a getter that fails, a negative,
// fractional or larger number) is no array.
bool LengthOf(IDispatch* object, ULONGLONG* length) {
    const DISPID id = IdOf(object, L"length");
    if (id == DISPID_UNKNOWN) return false;
    UniqueVariant value;
    if (FAILED(Get(object, id, DISPATCH_PROPERTYGET, value.get()))) return false;
    if (FAILED(VariantChangeType(value.get(), value.get(), 0, VT_R8))) return false;
    const double d = value->dblVal;
    if (!(d >= 0 && d <= 4294967295.0) || d != static_cast<double>(static_cast<ULONGLONG>(d))) return false;
    *length = static_cast<ULONGLONG>(d);
    return true;
}

// The index a member name stands for when it is written as an array index
// (decimal digits, no leading zero), or false.
bool IndexOf(const wchar_t* name, ULONGLONG* index) {
    if (!name || !*name || (name[0] == L'0' && name[1])) return false;
    ULONGLONG value = 0;
    for (const wchar_t* c = name; *c; ++c) {
        if (*c < L'0' || *c > L'9' || value > 0xFFFFFFFFull) return false;
        value = value * 10 + static_cast<ULONGLONG>(*c - L'0');
    }
    *index = value;
    return true;
}

HRESULT ElementFailure(HRESULT hr) { return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH; }

// Reads the element at `index` by its name; a hole stays VT_EMPTY.
HRESULT ReadByIndex(IDispatch* object, ULONG index, VARIANT* element, bool* hole) {
    wchar_t name[16];
    std::swprintf(name, 16, L"%lu", static_cast<unsigned long>(index));
    const DISPID id = IdOf(object, name);
    *hole = id == DISPID_UNKNOWN;
    if (*hole) return S_OK;
    ClearVariantValue(element);
    const HRESULT hr = Get(object, id, DISPATCH_PROPERTYGET, element);
    return FAILED(hr) ? ElementFailure(hr) : S_OK;
}

// Reads the elements at indices first to extent - 1 from the members the
// object has, within `budget` steps. S_FALSE when the budget ran out first
// (the object has more members than that, or an enumeration that never ends).
HRESULT ReadByMembers(IDispatchEx* object, ULONG first, ULONG extent, ULONGLONG budget, VARIANT* elements) {
    DISPID id = DISPID_STARTENUM;
    for (ULONGLONG steps = 0; steps < budget; ++steps) {
        if (object->GetNextDispID(fdexEnumAll, id, &id) != S_OK) return S_OK;
        UniqueBstr name;
        if (FAILED(object->GetMemberName(id, name.put()))) continue;
        ULONGLONG index = 0;
        if (!IndexOf(name.get(), &index) || index < first || index >= extent) continue;
        ClearVariantValue(&elements[index]);
        const HRESULT hr = Get(object, id, DISPATCH_PROPERTYGET, &elements[index]);
        if (FAILED(hr)) return ElementFailure(hr);
    }
    return S_FALSE;
}

// Reads the elements at indices first to extent - 1 into `elements` (index i
// at elements[i]); holes stay VT_EMPTY. A dense array is read index by index.
// Where holes run on, the rest is read from the members the object actually
// has, so that a sparse array costs what it holds, not what it claims; an
// object with more members than the elements still wanted (a long array read
// to a smaller count) is read on by index. Either way the cost follows the
// count, never the array's length.
HRESULT ReadElements(IDispatch* object, ULONG first, ULONG extent, VARIANT* elements) {
    constexpr ULONG kHolesBeforeWalking = 32;
    constexpr ULONGLONG kMembersBeyond = 65536;  // members the walk may pass that are no wanted element
    bool walked = false;
    ULONG holes = 0;
    for (ULONG i = first; i < extent; ++i) {
        if (holes == kHolesBeforeWalking && !walked) {
            walked = true;
            ComPtr<IDispatchEx> ex;
            if (SUCCEEDED(object->QueryInterface(kIID_IDispatchEx, ex.put_void()))) {
                const HRESULT hr = ReadByMembers(ex.get(), i, extent, (extent - i) + kMembersBeyond, elements);
                if (hr != S_FALSE) return hr;
            }
        }
        bool hole = false;
        const HRESULT hr = ReadByIndex(object, i, &elements[i], &hole);
        if (FAILED(hr)) return hr;
        holes = hole ? holes + 1 : 0;
    }
    return S_OK;
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
    FILETIME utc = FileTimeOf(whole);
    return FileTimeToLocalDate(utc, date) ? S_OK : DISP_E_TYPEMISMATCH;
}

HRESULT ArrayOf(IDispatch* object, LONG count, SAFEARRAY** array) {
    *array = nullptr;
    ULONGLONG length = 0;
    if (!LengthOf(object, &length)) return S_FALSE;
    // With a count, index 0 (never read) to the count. An array shorter than
    // its count goes with no elements: the member refuses its bounds as it
    // would a typed array's, and nothing of it needs reading.
    ULONGLONG extent = length;
    ULONG first = 0;
    if (count != kWholeArray) {
        const ULONGLONG wanted = count < 0 ? 0 : static_cast<ULONGLONG>(count) + 1;
        extent = length < wanted ? 0 : wanted;
        first = 1;
    }
    if (extent > kMaxScriptElements) return E_INVALIDARG;
    UniqueSafeArray result(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(extent)));
    if (!result) return E_OUTOFMEMORY;
    if (extent > first) {
        DataAccess data(result.get());
        if (!data.get()) return E_OUTOFMEMORY;
        const HRESULT hr =
            ReadElements(object, first, static_cast<ULONG>(extent), reinterpret_cast<VARIANT*>(data.get()));
        if (FAILED(hr)) return hr;
    }
    *array = result.detach();
    return S_OK;
}

bool IsArray(IDispatch* object) {
    ULONGLONG length = 0;
    return LengthOf(object, &length);
}

namespace {

// Stores `value` as member `name` of a script object, making the member.
HRESULT Store(IDispatchEx* ex, const wchar_t* name, VARIANT* value) {
    DISPID id = DISPID_UNKNOWN;
    UniqueBstr text(name);
    if (!text) return E_OUTOFMEMORY;
    HRESULT r = ex->GetDispID(text.get(), fdexNameEnsure | fdexNameCaseSensitive, &id);
    if (FAILED(r)) return r;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{value, &put, 1, 1};
    return ex->InvokeEx(id, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
}

HRESULT Truncate(IDispatchEx* ex) {
    VARIANT zero;
    zero.vt = VT_I4;
    zero.lVal = 0;
    return Store(ex, L"length", &zero);
}

}  // namespace

HRESULT CanFill(IDispatch* object) {
    ComPtr<IDispatchEx> ex;
    HRESULT hr = object->QueryInterface(kIID_IDispatchEx, ex.put_void());
    if (FAILED(hr)) return hr;
    // Its own length written back changes nothing, where it can be written.
    UniqueVariant length;
    const DISPID id = IdOf(object, L"length");
    hr = id == DISPID_UNKNOWN ? DISP_E_MEMBERNOTFOUND : Get(object, id, DISPATCH_PROPERTYGET, length.get());
    return FAILED(hr) ? hr : Store(ex.get(), L"length", length.get());
}

HRESULT EmptyArray(IDispatch* object) {
    ComPtr<IDispatchEx> ex;
    if (FAILED(object->QueryInterface(kIID_IDispatchEx, ex.put_void()))) return S_FALSE;
    return Truncate(ex.get());
}

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
    // The array's old elements go first, so that nothing stale is left behind.
    hr = Truncate(ex.get());
    if (FAILED(hr)) return hr;
    DataAccess data(values.get());
    if (upper >= lower && !data.get()) return E_OUTOFMEMORY;
    VARIANT* elements = reinterpret_cast<VARIANT*>(data.get());
    for (LONG i = lower; i <= upper; ++i) {
        wchar_t name[16];
        std::swprintf(name, 16, L"%ld", static_cast<long>(i));
        hr = Store(ex.get(), name, &elements[i - lower]);
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
    ULONGLONG count = 1;
    for (UINT d = 0; d < dims; ++d) {
        LONG lower = 0, upper = 0;
        if (FAILED(SafeArrayGetLBound(from, d + 1, &lower)) || FAILED(SafeArrayGetUBound(from, d + 1, &upper)))
            return DISP_E_TYPEMISMATCH;
        bounds[d].lLbound = lower;
        bounds[d].cElements = static_cast<ULONG>(static_cast<LONGLONG>(upper) - lower + 1);
        count *= bounds[d].cElements;
        // The converted array may hold larger elements than the source (bytes
        // as VARIANTs): its size is checked before the platform multiplies it.
        if (count > kMaxScriptElements) return E_OUTOFMEMORY;
    }
    UniqueSafeArray result(SafeArrayCreate(to, dims, bounds));
    if (!result) return E_OUTOFMEMORY;
    if (count > 0) {
        DataAccess source(from), target(result.get());
        if (!source.get() || !target.get()) return E_OUTOFMEMORY;
        const UINT haveSize = SafeArrayGetElemsize(from);
        const UINT toSize = SafeArrayGetElemsize(result.get());
        for (ULONG i = 0; i < static_cast<ULONG>(count); ++i) {
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
