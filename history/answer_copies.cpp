#include "history/answer_copies.h"

#include <objbase.h>

#include <cstdint>
#include <cstring>
#include <cwchar>

#include "com/variant_values.h"
#include "opc/historian_answers.h"

namespace {

// Each copies `count` elements of `source` into a new block at `target`
// (null for a null source or no elements); false when the block cannot be had.
template <class T>
bool CopyPlain(T*& target, const T* source, DWORD count) {
    target = nullptr;
    if (!source || !count) return true;
    target = TaskArray<T>::alloc(count).detach();
    if (target) std::memcpy(target, source, count * sizeof(T));
    return target != nullptr;
}

// A number is copied in place: a callback of 100,000 values makes no call
// into the runtime for them.
bool CopyValues(VARIANT*& target, const VARIANT* source, DWORD count) {
    target = nullptr;
    if (!source || !count) return true;
    target = TaskArray<VARIANT>::alloc(count).detach();
    if (!target) return false;
    for (DWORD k = 0; k < count; ++k) {
        HRESULT hr = CopyVariantValue(&target[k], &source[k]);
        if (FAILED(hr)) {
            V_VT(&target[k]) = VT_ERROR;
            V_ERROR(&target[k]) = hr;
        }
    }
    return true;
}

// Every string copied; on failure the block holds those copied so far and
// nulls, which the answer's own routine frees.
bool CopyStrings(LPWSTR*& target, const LPWSTR* source, DWORD count) {
    target = nullptr;
    if (!source || !count) return true;
    target = TaskArray<LPWSTR>::alloc(count).detach();
    if (!target) return false;
    std::memset(target, 0, count * sizeof(LPWSTR));
    for (DWORD k = 0; k < count; ++k) {
        if (!source[k]) continue;
        const size_t bytes = (std::wcslen(source[k]) + 1) * sizeof(wchar_t);
        target[k] = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (!target[k]) return false;
        std::memcpy(target[k], source[k], bytes);
    }
    return true;
}

template <class T>
bool Done(bool copied, T& copy) {
    if (!copied) ClearHistorianAnswer(copy);
    return copied;
}

}  // namespace

bool CopyHistorianAnswer(const OPCHDA_ITEM& source, OPCHDA_ITEM& copy) {
    copy = OPCHDA_ITEM{source.hClient, source.haAggregate, source.dwCount, nullptr, nullptr, nullptr};
    const DWORD n = source.dwCount;
    return Done(CopyPlain(copy.pftTimeStamps, source.pftTimeStamps, n) &&
                    CopyPlain(copy.pdwQualities, source.pdwQualities, n) &&
                    CopyValues(copy.pvDataValues, source.pvDataValues, n),
                copy);
}

bool CopyHistorianAnswer(const OPCHDA_MODIFIEDITEM& source, OPCHDA_MODIFIEDITEM& copy) {
    copy = OPCHDA_MODIFIEDITEM{source.hClient, source.dwCount, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    const DWORD n = source.dwCount;
    return Done(CopyPlain(copy.pftTimeStamps, source.pftTimeStamps, n) &&
                    CopyPlain(copy.pdwQualities, source.pdwQualities, n) &&
                    CopyValues(copy.pvDataValues, source.pvDataValues, n) &&
                    CopyPlain(copy.pftModificationTime, source.pftModificationTime, n) &&
                    CopyPlain(copy.pEditType, source.pEditType, n) && CopyStrings(copy.szUser, source.szUser, n),
                copy);
}

bool CopyHistorianAnswer(const OPCHDA_ATTRIBUTE& source, OPCHDA_ATTRIBUTE& copy) {
    copy = OPCHDA_ATTRIBUTE{source.hClient, source.dwNumValues, source.dwAttributeID, nullptr, nullptr};
    const DWORD n = source.dwNumValues;
    return Done(CopyPlain(copy.ftTimeStamps, source.ftTimeStamps, n) &&
                    CopyValues(copy.vAttributeValues, source.vAttributeValues, n),
                copy);
}

bool CopyHistorianAnswer(const OPCHDA_ANNOTATION& source, OPCHDA_ANNOTATION& copy) {
    copy = OPCHDA_ANNOTATION{source.hClient, source.dwNumValues, nullptr, nullptr, nullptr, nullptr};
    const DWORD n = source.dwNumValues;
    return Done(CopyPlain(copy.ftTimeStamps, source.ftTimeStamps, n) &&
                    CopyStrings(copy.szAnnotation, source.szAnnotation, n) &&
                    CopyPlain(copy.ftAnnotationTime, source.ftAnnotationTime, n) &&
                    CopyStrings(copy.szUser, source.szUser, n),
                copy);
}
