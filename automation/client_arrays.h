// The array conventions every member of the items collection follows.
//
// A client array is accepted when dimension 1 covers the indices 1 to the
// count (a lower bound of 0 or 1, an upper bound of at least the count; an
// error of the bound query is returned unchanged) and when it has exactly one
// dimension and holds the element type the member reads. The last check
// matters: SafeArrayGetElement copies the array's own element size, so an
// array of BSTR or VARIANT read into a LONG would overwrite the stack.
//
// Order inside a member: null pointers (E_POINTER), the count (E_INVALIDARG),
// null the outputs, then CheckClientArray for each input array in parameter
// order, then the connection, then Read* of the arrays.
//
// Results go back in arrays with lower bound 1 and one element per item.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <initializer_list>
#include <utility>
#include <vector>

#include "com/com_holders.h"

namespace client_arrays {

// Bounds, then one dimension and element type `vt` (SafeArrayGetVartype):
// E_INVALIDARG when either does not fit, the bound query's error unchanged.
// A null array gives E_POINTER.
HRESULT CheckClientArray(SAFEARRAY* array, LONG count, VARTYPE vt);

// Element readers for an array that passed CheckClientArray: elements 1 to
// `count`, index 0 and anything beyond `count` ignored.
std::vector<LONG> ReadLongs(SAFEARRAY* array, LONG count);              // VT_I4
std::vector<DATE> ReadDates(SAFEARRAY* array, LONG count);              // VT_DATE
// VT_VARIANT, deep copies; an element that cannot be copied (a type the
// platform refuses) fails the read with its code.
HRESULT ReadVariants(SAFEARRAY* array, LONG count, std::vector<UniqueVariant>& values);

// Texts read from a VT_BSTR array, owned here. A null text stays null in
// bstrs(); pointers() offers the texts as the historian's LPWSTR array, with
// a null text replaced by an empty one.
class ClientStrings {
public:
    std::vector<UniqueBstr>& bstrs() { return bstrs_; }
    const std::vector<UniqueBstr>& bstrs() const { return bstrs_; }
    LPWSTR* pointers() { return pointers_.data(); }
    size_t size() const { return bstrs_.size(); }

private:
    friend ClientStrings ReadStrings(SAFEARRAY* array, LONG count);
    std::vector<UniqueBstr> bstrs_;
    std::vector<LPWSTR> pointers_;
};
ClientStrings ReadStrings(SAFEARRAY* array, LONG count);

// A result array: one dimension, lower bound 1, `count` elements of `vt`
// (VT_I4 for handles and codes, VT_VARIANT for values). Null when it cannot
// be made.
UniqueSafeArray MakeResultArray(VARTYPE vt, LONG count);

// The one way a result array is made and filled: one dimension, lower bound
// 1, `count` elements of `vt` (T its C++ type), element k + 1 set in place by
// fill(T& element, size_t k), which answers S_OK or why it could not. On
// success `array` holds it; otherwise `array` is null, a half-filled array is
// destroyed with what it holds, and the answer is the fill's failure, or
// `unmade` when the array cannot be made or reached.
template <class T, class Fill>
HRESULT FillResultArray(VARTYPE vt, size_t count, UniqueSafeArray& array, Fill&& fill, HRESULT unmade = E_FAIL) {
    array.reset();
    if (count > static_cast<size_t>(MAXLONG - 1)) return unmade;
    UniqueSafeArray made = UniqueSafeArray::vector(vt, static_cast<ULONG>(count));
    if (!made) return unmade;
    if (count > 0) {
        SafeArrayData<T> elements(made.get());
        if (!elements) return unmade;
        for (size_t k = 0; k < count; ++k)
            if (HRESULT hr = fill(elements[k], k); FAILED(hr)) return hr;
    }
    array = std::move(made);
    return S_OK;
}

// A VT_I4 result array of `values` (all 0 when `values` is null); null when it
// cannot be made.
UniqueSafeArray MakeLongArray(const LONG* values, LONG count);

// Hands every result array to its out-pointer and answers `hr` when all of
// them were made. Otherwise destroys the ones that were, sets every
// out-pointer to null and answers E_FAIL.
struct ResultSlot {
    UniqueSafeArray* array;
    SAFEARRAY** out;
};
HRESULT HandOutResults(std::initializer_list<ResultSlot> slots, HRESULT hr);

}  // namespace client_arrays
