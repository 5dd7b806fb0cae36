#include "history/COPCHDAHistory.h"

#include <new>

#include "history/COPCHDAEntry.h"
#include "history/COPCHDAEnumHistory.h"
#include "history/COPCHDAValue.h"
#include "com/variant_values.h"

namespace {

// Good quality in OPC terms, for kinds the historian sends without qualities.
constexpr DWORD kDefaultQuality = 0xC0;
constexpr LONG kAnnotateEditType = 5;  // OPCHDAAnnotate

template <class T>
std::unique_ptr<T[]> NewArray(DWORD count) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[count ? count : 1]);
}

template <class T>
void CopyArray(T* target, const T* source, DWORD count) {
    if (source)
        for (DWORD k = 0; k < count; ++k) target[k] = source[k];
    else
        for (DWORD k = 0; k < count; ++k) target[k] = T{};
}

// A deep copy, or the copy's failure as a VT_ERROR the client can read. A
// number is copied in place: a read of 100,000 values makes no call into
// the runtime for them.
void CopyValue(VARIANT* target, const VARIANT* source) {
    V_VT(target) = VT_EMPTY;
    if (!source) return;
    HRESULT hr = CopyVariantValue(target, source);
    if (FAILED(hr)) {
        V_VT(target) = VT_ERROR;
        V_ERROR(target) = hr;
    }
}

BSTR CopyText(LPCWSTR text) { return text ? SysAllocString(text) : nullptr; }

// Makes an object, sets it up and hands it out through its first QueryInterface.
template <class T, class Fill>
HRESULT HandOutNew(Fill fill, REFIID riid, void** ppv) {
    ComPtr<T> object = MakeObject<T>();
    if (object) fill(*object);
    return HandOut(object, riid, ppv);
}

}  // namespace

COPCHDAHistory::~COPCHDAHistory() { Free(); }

void COPCHDAHistory::Free() {
    if (values_)
        for (DWORD k = 0; k < count_; ++k) ClearVariantValue(&values_[k]);
    timeStamps_.reset();
    values_.reset();
    qualities_.reset();
    entryTimes_.reset();
    entryTypes_.reset();
    users_.reset();
    count_ = 0;
}

bool COPCHDAHistory::Allocate(DWORD count, bool qualities, bool entryTimes, bool entryTypes, bool users) {
    Free();
    timeStamps_ = NewArray<FILETIME>(count);
    values_ = NewArray<VARIANT>(count);
    if (qualities) qualities_ = NewArray<DWORD>(count);
    if (entryTimes) entryTimes_ = NewArray<FILETIME>(count);
    if (entryTypes) entryTypes_ = NewArray<LONG>(count);
    if (users) users_ = NewArray<UniqueBstr>(count);
    if (!timeStamps_ || !values_ || (qualities && !qualities_) || (entryTimes && !entryTimes_) ||
        (entryTypes && !entryTypes_) || (users && !users_)) {
        Free();
        return false;
    }
    for (DWORD k = 0; k < count; ++k) V_VT(&values_[k]) = VT_EMPTY;
    count_ = count;
    return true;
}

HRESULT COPCHDAHistory::SetItemValues(const OPCHDA_ITEM* source) {
    if (!source) return E_POINTER;
    entries_ = false;
    if (!Allocate(source->dwCount, true, false, false, false)) return E_OUTOFMEMORY;
    CopyArray(timeStamps_.get(), source->pftTimeStamps, count_);
    CopyArray(qualities_.get(), source->pdwQualities, count_);
    for (DWORD k = 0; k < count_; ++k)
        CopyValue(&values_[k], source->pvDataValues ? &source->pvDataValues[k] : nullptr);
    return S_OK;
}

HRESULT COPCHDAHistory::SetAttributeValues(const OPCHDA_ATTRIBUTE* source) {
    if (!source) return E_POINTER;
    entries_ = false;
    if (!Allocate(source->dwNumValues, false, false, false, false)) return E_OUTOFMEMORY;
    CopyArray(timeStamps_.get(), source->ftTimeStamps, count_);
    for (DWORD k = 0; k < count_; ++k)
        CopyValue(&values_[k], source->vAttributeValues ? &source->vAttributeValues[k] : nullptr);
    return S_OK;
}

HRESULT COPCHDAHistory::SetModifiedValues(const OPCHDA_MODIFIEDITEM* source) {
    if (!source) return E_POINTER;
    entries_ = true;
    if (!Allocate(source->dwCount, true, true, true, true)) return E_OUTOFMEMORY;
    CopyArray(timeStamps_.get(), source->pftTimeStamps, count_);
    CopyArray(qualities_.get(), source->pdwQualities, count_);
    CopyArray(entryTimes_.get(), source->pftModificationTime, count_);
    for (DWORD k = 0; k < count_; ++k) {
        entryTypes_[k] = source->pEditType ? static_cast<LONG>(source->pEditType[k]) : 0;
        CopyValue(&values_[k], source->pvDataValues ? &source->pvDataValues[k] : nullptr);
        users_[k].reset(source->szUser ? CopyText(source->szUser[k]) : nullptr);
    }
    return S_OK;
}

HRESULT COPCHDAHistory::SetAnnotations(const OPCHDA_ANNOTATION* source) {
    if (!source) return E_POINTER;
    entries_ = true;
    if (!Allocate(source->dwNumValues, false, true, false, true)) return E_OUTOFMEMORY;
    CopyArray(timeStamps_.get(), source->ftTimeStamps, count_);
    CopyArray(entryTimes_.get(), source->ftAnnotationTime, count_);
    for (DWORD k = 0; k < count_; ++k) {
        LPCWSTR text = source->szAnnotation ? source->szAnnotation[k] : nullptr;
        VARIANT* value = &values_[k];
        V_VT(value) = VT_BSTR;
        V_BSTR(value) = CopyText(text);
        if (text && !V_BSTR(value)) {
            V_VT(value) = VT_ERROR;
            V_ERROR(value) = E_OUTOFMEMORY;
        }
        users_[k].reset(source->szUser ? CopyText(source->szUser[k]) : nullptr);
    }
    return S_OK;
}

STDMETHODIMP COPCHDAHistory::get_Count(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = static_cast<LONG>(count_);
    return S_OK;
}

STDMETHODIMP COPCHDAHistory::get__NewEnum(IUnknown** ppUnk) {
    if (!ppUnk) return E_POINTER;
    *ppUnk = nullptr;
    return HandOutNew<COPCHDAEnumHistory>([this](COPCHDAEnumHistory& e) { e.Init(this, 1); }, IID_IUnknown,
                                          reinterpret_cast<void**>(ppUnk));
}

LONG COPCHDAHistory::FindByDate(DATE key, const CallZone& zone) const {
    // The time stamps are presumed ascending; each probe converts one of them.
    LONG low = 0, high = static_cast<LONG>(count_) - 1;
    while (low <= high) {
        LONG mid = low + (high - low) / 2;
        DATE probe = 0.0;
        zone.ToLocalDate(timeStamps_[mid], &probe);
        if (key < probe)
            high = mid - 1;
        else if (key > probe)
            low = mid + 1;
        else
            return mid;
    }
    return -1;
}

STDMETHODIMP COPCHDAHistory::Item(VARIANT ItemSpecifier, OPCHDAValue** ppValue) {
    if (!ppValue) return E_POINTER;
    const CallZone zone;
    DWORD k = 0;
    if (V_VT(&ItemSpecifier) == VT_DATE) {
        *ppValue = nullptr;
        LONG found = FindByDate(V_DATE(&ItemSpecifier), zone);
        if (found < 0) return E_FAIL;
        k = static_cast<DWORD>(found);
    } else {
        ULONG n = 0;
        if (V_VT(&ItemSpecifier) == VT_I4 || V_VT(&ItemSpecifier) == VT_UI4) {
            // What a loop passes: read in place (a negative VT_I4 fails as its
            // conversion to VT_UI4 would, and so does 0).
            n = V_VT(&ItemSpecifier) == VT_I4 && V_I4(&ItemSpecifier) < 0 ? 0 : V_UI4(&ItemSpecifier);
        } else {
            // Converted into a copy: the specifier belongs to the caller.
            UniqueVariant number;
            if (FAILED(VariantChangeType(number.get(), &ItemSpecifier, 0, VT_UI4))) return E_INVALIDARG;
            n = V_UI4(number.get());
        }
        if (n == 0 || n > count_) return E_INVALIDARG;
        *ppValue = nullptr;
        k = n - 1;
    }
    return MakeElement(k, zone, ppValue);
}

HRESULT COPCHDAHistory::MakeElement(DWORD k, const CallZone& zone, OPCHDAValue** ppValue) const {
    DWORD quality = qualities_ ? qualities_[k] : kDefaultQuality;
    if (!entries_) {
        DATE timeStamp = 0.0;
        zone.ToLocalDate(timeStamps_[k], &timeStamp);
        return HandOutNew<COPCHDAValue>(
            [&](COPCHDAValue& v) { v.SetValue(timeStamp, &values_[k], static_cast<LONG>(quality)); }, IID_OPCHDAValue,
            reinterpret_cast<void**>(ppValue));
    }
    // An entry's time stamp takes the bias in force now, as the platform's own
    // conversion does; its entry time follows the season of the time itself.
    DATE timeStamp = 0.0;
    zone.ToLocalDateAtCurrentBias(timeStamps_[k], &timeStamp);
    DATE entryTime = 0.0;
    if (entryTimes_) zone.ToLocalDate(entryTimes_[k], &entryTime);
    LONG entryType = entryTypes_ ? entryTypes_[k] : kAnnotateEditType;
    BSTR user = users_ ? users_[k].get() : nullptr;
    return HandOutNew<COPCHDAEntry>(
        [&](COPCHDAEntry& e) {
            e.SetEntry(timeStamp, &values_[k], static_cast<LONG>(quality), entryTime, entryType, &user);
        },
        IID_OPCHDAValue, reinterpret_cast<void**>(ppValue));
}

// ---- producers ----

namespace {

template <class Source, class Fill>
HRESULT MakeVariant(const Source* source, VARIANT* out, Fill fill) {
    if (!out) return E_POINTER;
    VariantClear(out);
    if (!source) return E_POINTER;
    ComPtr<COPCHDAHistory> history = MakeObject<COPCHDAHistory>();
    if (!history) return E_OUTOFMEMORY;
    HRESULT hr = fill(*history, source);
    if (FAILED(hr)) return hr;
    OPCHDAHistory* itf = nullptr;
    hr = history->QueryInterface(IID_OPCHDAHistory, reinterpret_cast<void**>(&itf));
    if (FAILED(hr)) return hr;
    V_VT(out) = VT_DISPATCH;
    V_DISPATCH(out) = itf;
    return S_OK;
}

template <class Source>
HRESULT PutInto(SAFEARRAY* results, LONG index, const Source* source) {
    if (!results) return E_POINTER;
    UniqueVariant history;
    HRESULT hr = MakeHistoryVariant(source, history.get());
    if (FAILED(hr)) return hr;
    return SafeArrayPutElement(results, &index, history.get());
}

}  // namespace

HRESULT MakeHistoryVariant(const OPCHDA_ITEM* source, VARIANT* out) {
    return MakeVariant(source, out, [](COPCHDAHistory& h, const OPCHDA_ITEM* s) { return h.SetItemValues(s); });
}
HRESULT MakeHistoryVariant(const OPCHDA_MODIFIEDITEM* source, VARIANT* out) {
    return MakeVariant(source, out,
                       [](COPCHDAHistory& h, const OPCHDA_MODIFIEDITEM* s) { return h.SetModifiedValues(s); });
}
HRESULT MakeHistoryVariant(const OPCHDA_ATTRIBUTE* source, VARIANT* out) {
    return MakeVariant(source, out,
                       [](COPCHDAHistory& h, const OPCHDA_ATTRIBUTE* s) { return h.SetAttributeValues(s); });
}
HRESULT MakeHistoryVariant(const OPCHDA_ANNOTATION* source, VARIANT* out) {
    return MakeVariant(source, out, [](COPCHDAHistory& h, const OPCHDA_ANNOTATION* s) { return h.SetAnnotations(s); });
}

HRESULT PutHistory(SAFEARRAY* results, LONG index, const OPCHDA_ITEM* source) {
    return PutInto(results, index, source);
}
HRESULT PutHistory(SAFEARRAY* results, LONG index, const OPCHDA_MODIFIEDITEM* source) {
    return PutInto(results, index, source);
}
HRESULT PutHistory(SAFEARRAY* results, LONG index, const OPCHDA_ATTRIBUTE* source) {
    return PutInto(results, index, source);
}
HRESULT PutHistory(SAFEARRAY* results, LONG index, const OPCHDA_ANNOTATION* source) {
    return PutInto(results, index, source);
}
