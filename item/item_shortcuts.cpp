// The item's single-item shortcuts: one-element arrays handed to the
// collection's synchronous members through its own IOPCHDAItems interface,
// and the one-element answers turned back into one value and one code.
#include "item/COPCHDAItem.h"

#include <type_traits>

#include "automation/client_arrays.h"

namespace {

// A one-element array (lower bound 1) holding a copy of `value`; otherwise
// E_OUTOFMEMORY, or the failure of the copy (a VARIANT of a type the platform
// cannot copy gives the copy's own code).
template <class T>
HRESULT OneElement(VARTYPE vt, const T& value, UniqueSafeArray& array) {
    auto copy = [&value](T& element, size_t) {
        if constexpr (std::is_same_v<T, VARIANT>)
            return VariantCopy(&element, const_cast<VARIANT*>(&value));
        else
            return (element = value, S_OK);
    };
    return client_arrays::FillResultArray<T>(vt, 1, array, copy, E_OUTOFMEMORY);
}

// The item's code from a one-element Errors array (E_FAIL when it is missing).
HRESULT FirstCode(const UniqueSafeArray& errors) {
    LONG index = 1;
    LONG code = E_FAIL;
    if (!errors || FAILED(SafeArrayGetElement(errors.get(), &index, &code))) return E_FAIL;
    return code;
}

// After a collection read: the item's code, and its history in `itemValues`
// exactly when that code is a success.
HRESULT OneItemRead(HRESULT hr, const UniqueSafeArray& values, const UniqueSafeArray& errors, VARIANT* itemValues) {
    if (FAILED(hr)) return hr;
    hr = FirstCode(errors);
    if (SUCCEEDED(hr)) {
        UniqueVariant history;
        LONG index = 1;
        HRESULT got = values ? SafeArrayGetElement(values.get(), &index, history.get()) : E_FAIL;
        if (FAILED(got)) return got;
        *itemValues = *history.get();  // an out-parameter: nothing in it to clear
        VariantInit(history.get());
    }
    return hr;
}

}  // namespace

template <class Call>
HRESULT COPCHDAItem::WithOwnHandle(Call&& call) {
    ComPtr<IOPCHDAItems> items;
    if (FAILED(ParentItems(items))) return E_FAIL;
    LONG handle = serverHandle_;
    UniqueSafeArray handles;
    if (HRESULT hr = OneElement(VT_I4, handle, handles); FAILED(hr)) return hr;
    SAFEARRAY* handleArray = handles.get();
    return call(items.get(), &handleArray);
}

STDMETHODIMP COPCHDAItem::ReadRaw(VARIANT* StartTime, VARIANT* EndTime, LONG NumValues, LONG Bounds,
                                  VARIANT* ItemValues) try {
    if (!ItemValues) return E_POINTER;
    return WithOwnHandle([&](IOPCHDAItems* items, SAFEARRAY** handles) {
        UniqueSafeArray values, errors;
        HRESULT hr = items->SyncReadRaw(StartTime, EndTime, NumValues, Bounds, 1, handles, values.put(), errors.put());
        return OneItemRead(hr, values, errors, ItemValues);
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAItem::ReadProcessed(VARIANT* StartTime, VARIANT* EndTime, DATE ResampleInterval, LONG Aggregate,
                                        VARIANT* ItemValues) try {
    if (!ItemValues) return E_POINTER;
    return WithOwnHandle([&](IOPCHDAItems* items, SAFEARRAY** handles) {
        UniqueSafeArray aggregates;
        if (HRESULT hr = OneElement(VT_I4, Aggregate, aggregates); FAILED(hr)) return hr;
        SAFEARRAY* aggregateArray = aggregates.get();
        UniqueSafeArray values, errors;
        HRESULT hr = items->SyncReadProcessed(StartTime, EndTime, ResampleInterval, 1, handles, &aggregateArray,
                                              values.put(), errors.put());
        return OneItemRead(hr, values, errors, ItemValues);
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAItem::ReadAtTime(LONG NumTimeStamps, SAFEARRAY** TimeStamps, VARIANT* ItemValues) try {
    if (!ItemValues) return E_POINTER;
    return WithOwnHandle([&](IOPCHDAItems* items, SAFEARRAY** handles) {
        UniqueSafeArray values, errors;
        HRESULT hr = items->SyncReadAtTime(NumTimeStamps, TimeStamps, 1, handles, values.put(), errors.put());
        return OneItemRead(hr, values, errors, ItemValues);
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAItem::Update(DATE TimeStamp, VARIANT DataValue, LONG Quality, LONG EditType) try {
    // All four arrays are built before the edit type is looked at; the array
    // keeps its own copy of the value.
    return WithOwnHandle([&](IOPCHDAItems* items, SAFEARRAY** h) {
        UniqueSafeArray stamps, values, qualities;
        HRESULT hr;
        if (FAILED(hr = OneElement(VT_DATE, TimeStamp, stamps)) ||
            FAILED(hr = OneElement(VT_VARIANT, DataValue, values)) ||
            FAILED(hr = OneElement(VT_I4, Quality, qualities)))
            return hr;
        SAFEARRAY* t = stamps.get();
        SAFEARRAY* v = values.get();
        SAFEARRAY* q = qualities.get();
        UniqueSafeArray errors;
        switch (EditType) {
            case OPCHDAInsert: hr = items->SyncInsert(1, h, &t, &v, &q, errors.put()); break;
            case OPCHDAReplace: hr = items->SyncReplace(1, h, &t, &v, &q, errors.put()); break;
            case OPCHDAInsertReplace: hr = items->SyncInsertReplace(1, h, &t, &v, &q, errors.put()); break;
            case OPCHDADelete: hr = items->SyncDeleteAtTime(1, h, &t, errors.put()); break;
            case OPCHDAAnnotate: hr = items->SyncInsertAnnotations(1, h, &t, &v, errors.put()); break;
            default: return E_INVALIDARG;  // nothing is sent
        }
        return SUCCEEDED(hr) ? FirstCode(errors) : hr;
    });
} catch (...) {
    return HResultFromCaughtException();
}

STDMETHODIMP COPCHDAItem::DeleteRaw(VARIANT* StartTime, VARIANT* EndTime) try {
    return WithOwnHandle([&](IOPCHDAItems* items, SAFEARRAY** handles) {
        UniqueSafeArray errors;
        HRESULT hr = items->SyncDeleteRaw(StartTime, EndTime, 1, handles, errors.put());
        return SUCCEEDED(hr) ? FirstCode(errors) : hr;
    });
} catch (...) {
    return HResultFromCaughtException();
}
