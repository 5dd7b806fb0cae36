#include "history/COPCHDAHistory.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

#include "history/COPCHDAEntry.h"
#include "history/COPCHDAEnumHistory.h"
#include "history/COPCHDAValue.h"
#include "com/floating_point_defaults.h"
#include "com/variant_values.h"
#include "history/answer_copies.h"
#include "opc/historian_answers.h"

namespace {

// Good quality in OPC terms, for kinds the historian sends without qualities.
constexpr DWORD kDefaultQuality = 0xC0;
constexpr LONG kAnnotateEditType = 5;  // OPCHDAAnnotate

// One array of an answer that a history keeps: the historian's own, or, when
// it sent none for a count, a block of zeros made before anything is taken
// (so that running out of memory takes nothing). Take() moves it out of the
// answer's field. A count that no history can hold (Count is a LONG), or
// whose block would wrap its size on x86, is refused before anything is
// allocated: a lying count of four billion would otherwise cost gigabytes of
// zeros where the platform lets such a block be had.
template <class T>
class KeptArray {
public:
    KeptArray(T* given, DWORD count) {
        if (count > static_cast<DWORD>(LONG_MAX) || count > SIZE_MAX / sizeof(T)) return;
        given_ = given;
        if (!given) {
            spare_ = static_cast<T*>(CoTaskMemAlloc(count * sizeof(T)));
            if (spare_) std::memset(static_cast<void*>(spare_), 0, count * sizeof(T));
        }
    }
    KeptArray(const KeptArray&) = delete;
    KeptArray& operator=(const KeptArray&) = delete;
    ~KeptArray() { CoTaskMemFree(spare_); }
    bool ok() const { return given_ || spare_; }
    T* Take(T*& field) {
        field = nullptr;
        return given_ ? std::exchange(given_, nullptr) : std::exchange(spare_, nullptr);
    }

private:
    T* given_ = nullptr;
    T* spare_ = nullptr;
};

template <class T>
T* TakeArray(T*& field) {
    return std::exchange(field, nullptr);
}

template <class T>
void FreeArray(T*& block) {
    CoTaskMemFree(std::exchange(block, nullptr));
}

void FreeStrings(LPWSTR*& strings, DWORD count) {
    if (strings)
        for (DWORD k = 0; k < count; ++k) CoTaskMemFree(strings[k]);
    FreeArray(strings);
}

// A copy of `source` kept as a read's answer is; the copy's remains (none
// once kept) are freed here.
template <class Answer, class Keep>
HRESULT KeepCopy(const Answer* source, Keep keep) {
    if (!source) return E_POINTER;
    Answer copy;
    if (!CopyHistorianAnswer(*source, copy)) return E_OUTOFMEMORY;
    HRESULT hr = keep(copy);
    ClearHistorianAnswer(copy);
    return hr;
}

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
    FreeArray(values_);
    FreeStrings(texts_, count_);
    FreeStrings(users_, count_);
    FreeArray(timeStamps_);
    FreeArray(qualities_);
    FreeArray(entryTimes_);
    FreeArray(editTypes_);
    count_ = 0;
}

HRESULT COPCHDAHistory::KeepItemValues(OPCHDA_ITEM& answer) {
    entries_ = false;
    const DWORD n = WalkableCount(answer.dwCount, answer.pftTimeStamps, answer.pdwQualities, answer.pvDataValues);
    if (!n) return S_OK;  // what an empty answer holds stays the caller's to free
    KeptArray stamps(answer.pftTimeStamps, n);
    KeptArray qualities(answer.pdwQualities, n);
    KeptArray values(answer.pvDataValues, n);
    if (!stamps.ok() || !qualities.ok() || !values.ok()) return E_OUTOFMEMORY;
    Free();
    timeStamps_ = stamps.Take(answer.pftTimeStamps);
    qualities_ = qualities.Take(answer.pdwQualities);
    values_ = values.Take(answer.pvDataValues);
    answer.dwCount = 0;
    count_ = n;
    return S_OK;
}

HRESULT COPCHDAHistory::KeepAttributeValues(OPCHDA_ATTRIBUTE& answer) {
    entries_ = false;
    const DWORD n = WalkableCount(answer.dwNumValues, answer.ftTimeStamps, answer.vAttributeValues);
    if (!n) return S_OK;
    KeptArray stamps(answer.ftTimeStamps, n);
    KeptArray values(answer.vAttributeValues, n);
    if (!stamps.ok() || !values.ok()) return E_OUTOFMEMORY;
    Free();
    timeStamps_ = stamps.Take(answer.ftTimeStamps);
    values_ = values.Take(answer.vAttributeValues);
    answer.dwNumValues = 0;
    count_ = n;
    return S_OK;
}

HRESULT COPCHDAHistory::KeepModifiedValues(OPCHDA_MODIFIEDITEM& answer) {
    entries_ = true;
    const DWORD n = WalkableCount(answer.dwCount, answer.pftTimeStamps, answer.pdwQualities, answer.pvDataValues,
                                  answer.pftModificationTime, answer.pEditType, answer.szUser);
    if (!n) return S_OK;
    KeptArray stamps(answer.pftTimeStamps, n);
    KeptArray qualities(answer.pdwQualities, n);
    KeptArray values(answer.pvDataValues, n);
    KeptArray entryTimes(answer.pftModificationTime, n);
    KeptArray editTypes(answer.pEditType, n);
    if (!stamps.ok() || !qualities.ok() || !values.ok() || !entryTimes.ok() || !editTypes.ok())
        return E_OUTOFMEMORY;
    Free();
    timeStamps_ = stamps.Take(answer.pftTimeStamps);
    qualities_ = qualities.Take(answer.pdwQualities);
    values_ = values.Take(answer.pvDataValues);
    entryTimes_ = entryTimes.Take(answer.pftModificationTime);
    editTypes_ = editTypes.Take(answer.pEditType);
    users_ = TakeArray(answer.szUser);
    answer.dwCount = 0;
    count_ = n;
    return S_OK;
}

HRESULT COPCHDAHistory::KeepAnnotations(OPCHDA_ANNOTATION& answer) {
    entries_ = true;
    const DWORD n = WalkableCount(answer.dwNumValues, answer.ftTimeStamps, answer.ftAnnotationTime, answer.szAnnotation,
                                  answer.szUser);
    if (!n) return S_OK;
    KeptArray stamps(answer.ftTimeStamps, n);
    KeptArray entryTimes(answer.ftAnnotationTime, n);
    if (!stamps.ok() || !entryTimes.ok()) return E_OUTOFMEMORY;
    Free();
    timeStamps_ = stamps.Take(answer.ftTimeStamps);
    entryTimes_ = entryTimes.Take(answer.ftAnnotationTime);
    texts_ = TakeArray(answer.szAnnotation);
    users_ = TakeArray(answer.szUser);
    answer.dwNumValues = 0;
    count_ = n;
    return S_OK;
}

HRESULT COPCHDAHistory::SetItemValues(const OPCHDA_ITEM* source) {
    return KeepCopy(source, [this](OPCHDA_ITEM& copy) { return KeepItemValues(copy); });
}
HRESULT COPCHDAHistory::SetAttributeValues(const OPCHDA_ATTRIBUTE* source) {
    return KeepCopy(source, [this](OPCHDA_ATTRIBUTE& copy) { return KeepAttributeValues(copy); });
}
HRESULT COPCHDAHistory::SetModifiedValues(const OPCHDA_MODIFIEDITEM* source) {
    return KeepCopy(source, [this](OPCHDA_MODIFIEDITEM& copy) { return KeepModifiedValues(copy); });
}
HRESULT COPCHDAHistory::SetAnnotations(const OPCHDA_ANNOTATION* source) {
    return KeepCopy(source, [this](OPCHDA_ANNOTATION& copy) { return KeepAnnotations(copy); });
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
    // A NaN date or number, compared or converted, would raise the caller's
    // unmasked invalid-operation exception.
    const FloatingPointDefaults floatingPoint;
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
    // An annotation's value is its text as a string (empty without one); a
    // text that cannot be had reaches the client as the reason.
    UniqueVariant text;
    const VARIANT* value = values_ ? &values_[k] : text.get();
    if (!values_) {
        LPCWSTR source = texts_ ? texts_[k] : nullptr;
        V_VT(text.get()) = VT_BSTR;
        V_BSTR(text.get()) = source ? SysAllocString(source) : nullptr;
        if (source && !V_BSTR(text.get())) {
            V_VT(text.get()) = VT_ERROR;
            V_ERROR(text.get()) = E_OUTOFMEMORY;
        }
    }
    // An entry's time stamp takes the bias in force now, as the platform's own
    // conversion does; its entry time follows the season of the time itself.
    DATE timeStamp = 0.0;
    zone.ToLocalDateAtCurrentBias(timeStamps_[k], &timeStamp);
    DATE entryTime = 0.0;
    if (entryTimes_) zone.ToLocalDate(entryTimes_[k], &entryTime);
    LONG entryType = editTypes_ ? static_cast<LONG>(editTypes_[k]) : kAnnotateEditType;
    LPCWSTR user = users_ ? users_[k] : nullptr;
    return HandOutNew<COPCHDAEntry>(
        [&](COPCHDAEntry& e) { e.SetEntry(timeStamp, value, static_cast<LONG>(quality), entryTime, entryType, user); },
        IID_OPCHDAValue, reinterpret_cast<void**>(ppValue));
}

// ---- producers ----

namespace {

template <class Source, class Fill>
HRESULT MakeVariant(Source* source, VARIANT* out, Fill fill) {
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

HRESULT MakeKeptHistoryVariant(OPCHDA_ITEM& answer, VARIANT* out) {
    return MakeVariant(&answer, out, [](COPCHDAHistory& h, OPCHDA_ITEM* a) { return h.KeepItemValues(*a); });
}
HRESULT MakeKeptHistoryVariant(OPCHDA_MODIFIEDITEM& answer, VARIANT* out) {
    return MakeVariant(&answer, out, [](COPCHDAHistory& h, OPCHDA_MODIFIEDITEM* a) { return h.KeepModifiedValues(*a); });
}
HRESULT MakeKeptHistoryVariant(OPCHDA_ATTRIBUTE& answer, VARIANT* out) {
    return MakeVariant(&answer, out, [](COPCHDAHistory& h, OPCHDA_ATTRIBUTE* a) { return h.KeepAttributeValues(*a); });
}
HRESULT MakeKeptHistoryVariant(OPCHDA_ANNOTATION& answer, VARIANT* out) {
    return MakeVariant(&answer, out, [](COPCHDAHistory& h, OPCHDA_ANNOTATION* a) { return h.KeepAnnotations(*a); });
}
