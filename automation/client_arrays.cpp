#include "automation/client_arrays.h"

#include <algorithm>

namespace client_arrays {

HRESULT CheckClientArray(SAFEARRAY* array, LONG count, VARTYPE vt) {
    if (!array) return E_POINTER;
    LONG lower = 0, upper = 0;
    HRESULT hr = SafeArrayGetLBound(array, 1, &lower);
    if (FAILED(hr)) return hr;
    hr = SafeArrayGetUBound(array, 1, &upper);
    if (FAILED(hr)) return hr;
    if (lower > 1 || upper < count) return E_INVALIDARG;
    // Element reads copy the array's own element size into ours: anything but
    // one dimension of exactly the expected type would overrun the target.
    if (SafeArrayGetDim(array) != 1) return E_INVALIDARG;
    VARTYPE actual = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(array, &actual)) || actual != vt) return E_INVALIDARG;
    return S_OK;
}

namespace {

// Elements 1..count, copied under one lock of the array (a read of a
// thousand handles used to lock it once per element). The members check the
// array first; one that does not hold elements 1..count of T reads as zeros
// rather than past its end.
template <class T>
std::vector<T> ReadElements(SAFEARRAY* array, LONG count) {
    std::vector<T> values(count > 0 ? count : 0, T{});
    if (values.empty() || !array || SafeArrayGetDim(array) != 1 || array->cbElements != sizeof(T)) return values;
    const LONGLONG lower = array->rgsabound[0].lLbound;
    if (lower > 1 || lower + static_cast<LONGLONG>(array->rgsabound[0].cElements) - 1 < count) return values;
    if (SafeArrayData<T> data(array); data) std::copy_n(data.get() + (1 - lower), values.size(), values.begin());
    return values;
}

}  // namespace

std::vector<LONG> ReadLongs(SAFEARRAY* array, LONG count) { return ReadElements<LONG>(array, count); }

std::vector<DATE> ReadDates(SAFEARRAY* array, LONG count) { return ReadElements<DATE>(array, count); }

HRESULT ReadVariants(SAFEARRAY* array, LONG count, std::vector<UniqueVariant>& values) {
    values = std::vector<UniqueVariant>(count > 0 ? count : 0);
    for (LONG i = 1; i <= count; ++i) {
        const HRESULT hr = SafeArrayGetElement(array, &i, values[i - 1].get());
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

ClientStrings ReadStrings(SAFEARRAY* array, LONG count) {
    ClientStrings strings;
    size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    strings.bstrs_.resize(n);
    strings.pointers_.resize(n);
    static wchar_t empty[] = L"";
    for (LONG i = 1; i <= count; ++i) {
        UniqueBstr& text = strings.bstrs_[i - 1];
        SafeArrayGetElement(array, &i, text.put());
        strings.pointers_[i - 1] = text ? text.get() : empty;
    }
    return strings;
}

UniqueSafeArray MakeResultArray(VARTYPE vt, LONG count) {
    if (count < 0) return UniqueSafeArray();
    return UniqueSafeArray::vector(vt, static_cast<ULONG>(count));
}

UniqueSafeArray MakeLongArray(const LONG* values, LONG count) {
    UniqueSafeArray array;
    if (count >= 0)
        FillResultArray<LONG>(VT_I4, static_cast<size_t>(count), array, [values](LONG& element, size_t k) {
            element = values ? values[k] : 0;
            return S_OK;
        });
    return array;
}

HRESULT HandOutResults(std::initializer_list<ResultSlot> slots, HRESULT hr) {
    bool all = true;
    for (const ResultSlot& slot : slots) all = all && static_cast<bool>(*slot.array);
    for (const ResultSlot& slot : slots) {
        if (all) {
            *slot.out = slot.array->detach();
        } else {
            slot.array->reset();
            *slot.out = nullptr;
        }
    }
    return all ? hr : E_FAIL;
}

}  // namespace client_arrays
