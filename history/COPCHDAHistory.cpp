#include "history/COPCHDAHistory.h"

#include <utility>

#include "history/COPCHDAEntry.h"
#include "history/COPCHDAEnumHistory.h"
#include "history/COPCHDAValue.h"
#include "com/floating_point_defaults.h"
#include "com/variant_values.h"
#include "history/answer_copies.h"
#include "history/history_block.h"

namespace {

// Good quality in OPC terms, for kinds the historian sends without qualities.
constexpr DWORD kDefaultQuality = 0xC0;
constexpr LONG kAnnotateEditType = 5;  // OPCHDAAnnotate

// A time of an array the historian may have left null: then the zero time.
FILETIME StampAt(const FILETIME* times, size_t k) { return times ? times[k] : FILETIME{}; }

// Makes an object, sets it up and hands it out through its first QueryInterface.
template <class T, class Fill>
HRESULT HandOutNew(Fill fill, REFIID riid, void** ppv) {
    ComPtr<T> object = MakeObject<T>();
    if (object) fill(*object);
    return HandOut(object, riid, ppv);
}

}  // namespace

// A kind's missing qualities (and an item's null array) read as what a copy
// into zeros would hold.
HistoryView ViewOf(const OPCHDA_ITEM& a) {
    return {.count = a.dwCount, .timeStamps = a.pftTimeStamps, .values = a.pvDataValues, .qualities = a.pdwQualities};
}
HistoryView ViewOf(const OPCHDA_MODIFIEDITEM& a) {  // an item's values, and their edits
    HistoryView v = ViewOf(OPCHDA_ITEM{a.hClient, 0, a.dwCount, a.pftTimeStamps, a.pdwQualities, a.pvDataValues});
    v.entries = true;
    v.entryTimes = a.pftModificationTime;
    v.editTypes = a.pEditType;
    v.users = a.szUser;
    return v;
}
HistoryView ViewOf(const OPCHDA_ATTRIBUTE& a) {
    return {.count = a.dwNumValues,
            .absentQuality = kDefaultQuality,
            .timeStamps = a.ftTimeStamps,
            .values = a.vAttributeValues};
}
HistoryView ViewOf(const OPCHDA_ANNOTATION& a) {
    return {.count = a.dwNumValues,
            .entries = true,
            .annotations = true,
            .absentQuality = kDefaultQuality,
            .absentEditType = kAnnotateEditType,
            .timeStamps = a.ftTimeStamps,
            .texts = a.szAnnotation,
            .entryTimes = a.ftAnnotationTime,
            .users = a.szUser};
}

DWORD WalkableCount(const HistoryView& v) {
    return WalkableCount(v.count, v.timeStamps, v.values, v.texts, v.qualities, v.entryTimes, v.editTypes, v.users);
}

DWORD COPCHDAHistory::Count() const {
    // Asked of the allocator on first use only: a read's histories that are
    // released unread cost no more than the answer. Threads that race here
    // find the same count.
    LONG n = InterlockedCompareExchange(&count_, -1, -1);
    if (n < 0) InterlockedExchange(&count_, n = static_cast<LONG>(WalkableCount(View())));
    return static_cast<DWORD>(n);
}

template <class Answer>
HRESULT COPCHDAHistory::Refill(const Answer* source) {
    if (!source) return E_POINTER;
    HistorianAnswer<Answer> copy = CopyAsAnswer(*source);
    return copy ? block_->Refill(*this, copy) : E_OUTOFMEMORY;
}
HRESULT COPCHDAHistory::SetItemValues(const OPCHDA_ITEM* source) { return Refill(source); }
HRESULT COPCHDAHistory::SetAttributeValues(const OPCHDA_ATTRIBUTE* source) { return Refill(source); }
HRESULT COPCHDAHistory::SetModifiedValues(const OPCHDA_MODIFIEDITEM* source) { return Refill(source); }
HRESULT COPCHDAHistory::SetAnnotations(const OPCHDA_ANNOTATION* source) { return Refill(source); }

STDMETHODIMP COPCHDAHistory::get_Count(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = static_cast<LONG>(Count());
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
    const FILETIME* const stamps = View().timeStamps;
    LONG low = 0, high = static_cast<LONG>(Count()) - 1;
    while (low <= high) {
        LONG mid = low + (high - low) / 2;
        DATE probe = 0.0;
        zone.ToLocalDate(StampAt(stamps, mid), &probe);
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
        if (n == 0 || n > Count()) return E_INVALIDARG;
        *ppValue = nullptr;
        k = n - 1;
    }
    return MakeElement(k, zone, ppValue);
}

HRESULT COPCHDAHistory::MakeElement(DWORD k, const CallZone& zone, OPCHDAValue** ppValue) const {
    const HistoryView v = View();
    const DWORD quality = v.qualities ? v.qualities[k] : v.absentQuality;
    const VARIANT empty{};
    const VARIANT* value = v.values ? &v.values[k] : &empty;
    if (!v.entries) {
        DATE timeStamp = 0.0;
        zone.ToLocalDate(StampAt(v.timeStamps, k), &timeStamp);
        return HandOutNew<COPCHDAValue>(
            [&](COPCHDAValue& e) { e.SetValue(timeStamp, value, static_cast<LONG>(quality)); }, IID_OPCHDAValue,
            reinterpret_cast<void**>(ppValue));
    }
    // An annotation's value is its text as a string (empty without one); a
    // text that cannot be had reaches the client as the reason.
    UniqueVariant text;
    if (v.annotations) {
        LPCWSTR source = v.texts ? v.texts[k] : nullptr;
        V_VT(text.get()) = VT_BSTR;
        V_BSTR(text.get()) = source ? SysAllocString(source) : nullptr;
        if (source && !V_BSTR(text.get())) {
            V_VT(text.get()) = VT_ERROR;
            V_ERROR(text.get()) = E_OUTOFMEMORY;
        }
        value = text.get();
    }
    // An entry's time stamp takes the bias in force now, as the platform's own
    // conversion does; its entry time follows the season of the time itself.
    DATE timeStamp = 0.0, entryTime = 0.0;
    zone.ToLocalDateAtCurrentBias(StampAt(v.timeStamps, k), &timeStamp);
    zone.ToLocalDate(StampAt(v.entryTimes, k), &entryTime);
    const LONG entryType = v.editTypes ? static_cast<LONG>(v.editTypes[k]) : v.absentEditType;
    LPCWSTR user = v.users ? v.users[k] : nullptr;
    return HandOutNew<COPCHDAEntry>(
        [&](COPCHDAEntry& e) { e.SetEntry(timeStamp, value, static_cast<LONG>(quality), entryTime, entryType, user); },
        IID_OPCHDAValue, reinterpret_cast<void**>(ppValue));
}
