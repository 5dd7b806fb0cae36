// COPCHDAHistory: the values the historian returned for one item, kept in the
// historian's form (UTC file times, its own arrays) and handed out one element
// at a time as OPCHDAValue or OPCHDAEntry objects, converting the time only then.
//
// Its arrays are task-memory blocks it owns: a synchronous read's answer
// belongs to the caller once the call returns, so its arrays are kept as they
// are; a callback's answer stays the historian's, so it is copied first.
//
// Producers (reads, the data callback) do not use the class directly but the
// helpers at the end of this file, which create, fill and package a history
// as a VT_DISPATCH variant ready to be stored into a results array.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "OPCHDAAuto.h"
#include "opc_hda.h"
#include "com/com_holders.h"
#include "com/implements.h"
#include "time/time_conversion.h"
#include "automation/type_info_holder.h"

// Filled once, then read-only: nothing to lock (a read of a thousand items
// makes a thousand histories, and a critical section costs two heap calls).
class COPCHDAHistory;
template <>
inline constexpr bool kHasObjectLock<COPCHDAHistory> = false;

class COPCHDAHistory final : public Implements<COPCHDAHistory, DispatchImpl<OPCHDAHistory>> {
public:
    static constexpr char kTraceName[] = "COPCHDAHistory";

    COPCHDAHistory() = default;
    ~COPCHDAHistory();

    // OPCHDAHistory
    STDMETHODIMP get_Count(LONG* pVal) override;
    STDMETHODIMP get__NewEnum(IUnknown** ppUnk) override;
    STDMETHODIMP Item(VARIANT ItemSpecifier, OPCHDAValue** ppValue) override;

    // Fill operations: exactly one is called, once, right after creation and
    // before the first QueryInterface. They answer S_OK, or E_OUTOFMEMORY
    // when the storage cannot be had (the history then stays empty).
    //
    // Set*: everything is copied; the source may be freed as soon as the call
    // returns. Virtual, in this order, so that they hold the slots right after
    // the dual interface's members (tests/module/class_object_test.cpp).
    virtual HRESULT SetAnnotations(const OPCHDA_ANNOTATION* source);
    virtual HRESULT SetModifiedValues(const OPCHDA_MODIFIEDITEM* source);
    virtual HRESULT SetAttributeValues(const OPCHDA_ATTRIBUTE* source);
    virtual HRESULT SetItemValues(const OPCHDA_ITEM* source);
    // Keep*: the history takes the answer's arrays as its own and nulls them
    // in `answer` (count 0), which keeps only what the history does not use
    // (nothing of it on failure). An array the historian left null for a
    // count is replaced by one of zeros (values VT_EMPTY), as a copy would be;
    // a count beyond what its arrays hold is cut to what they hold.
    HRESULT KeepItemValues(OPCHDA_ITEM& answer);
    HRESULT KeepModifiedValues(OPCHDA_MODIFIEDITEM& answer);
    HRESULT KeepAttributeValues(OPCHDA_ATTRIBUTE& answer);
    HRESULT KeepAnnotations(OPCHDA_ANNOTATION& answer);

    DWORD Count() const { return count_; }
    // A new value or entry object for 0-based element k (< Count()), its times
    // converted under `zone`. What Item and the enumerator hand out.
    HRESULT MakeElement(DWORD k, const CallZone& zone, OPCHDAValue** ppValue) const;

private:
    void Free();
    // The 0-based element whose time stamp, as a local date, equals `key`; -1 if none.
    LONG FindByDate(DATE key, const CallZone& zone) const;

    // count_ elements in each array that is not null, every array a task-memory
    // block freed (with the variants and strings in it) by Free().
    DWORD count_ = 0;
    bool entries_ = false;
    FILETIME* timeStamps_ = nullptr;
    VARIANT* values_ = nullptr;             // null for annotations, whose values are texts_
    LPWSTR* texts_ = nullptr;               // annotations: a VT_BSTR per element made from these
    DWORD* qualities_ = nullptr;            // null: good quality (kinds sent without qualities)
    FILETIME* entryTimes_ = nullptr;        // entries only
    OPCHDA_EDITTYPE* editTypes_ = nullptr;  // null for entries: annotations
    LPWSTR* users_ = nullptr;               // null: no user names
};

// Makes a history from one historian structure and writes it into `out`
// (cleared first) as VT_DISPATCH holding the history's OPCHDAHistory
// interface, which then holds the only reference. On failure `out` is
// VT_EMPTY and the result is E_POINTER (null source or out) or E_OUTOFMEMORY.
HRESULT MakeHistoryVariant(const OPCHDA_ITEM* source, VARIANT* out);
HRESULT MakeHistoryVariant(const OPCHDA_MODIFIEDITEM* source, VARIANT* out);
HRESULT MakeHistoryVariant(const OPCHDA_ATTRIBUTE* source, VARIANT* out);
HRESULT MakeHistoryVariant(const OPCHDA_ANNOTATION* source, VARIANT* out);

// The same for an answer that belongs to the caller (a synchronous read's):
// the history keeps its arrays (see Keep*). Whatever happens, `answer` holds
// exactly what is still the caller's to free.
HRESULT MakeKeptHistoryVariant(OPCHDA_ITEM& answer, VARIANT* out);
HRESULT MakeKeptHistoryVariant(OPCHDA_MODIFIEDITEM& answer, VARIANT* out);
HRESULT MakeKeptHistoryVariant(OPCHDA_ATTRIBUTE& answer, VARIANT* out);
HRESULT MakeKeptHistoryVariant(OPCHDA_ANNOTATION& answer, VARIANT* out);
