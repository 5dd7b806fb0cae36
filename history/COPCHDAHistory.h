// COPCHDAHistory: the values the historian returned for one item, kept in the
// historian's form (UTC file times) and handed out one element at a time as
// OPCHDAValue or OPCHDAEntry objects, converting the time only then.
//
// Producers (reads, the data callback) do not use the class directly but the
// helpers at the end of this file, which create, fill and package a history
// as a VT_DISPATCH variant ready to be stored into a results array.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <memory>

#include "OPCHDAAuto.h"
#include "opc_hda.h"
#include "com/com_holders.h"
#include "com/implements.h"
#include "time/time_conversion.h"
#include "automation/type_info_holder.h"

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
    // before the first QueryInterface. Everything is copied; the source may be
    // freed as soon as the call returns. They answer S_OK, or E_OUTOFMEMORY
    // when the storage cannot be had (the history then stays empty).
    // Virtual, in this order, so that they hold the slots right after the
    // dual interface's members (tests/module/vtable_layout_test.cpp).
    virtual HRESULT SetAnnotations(const OPCHDA_ANNOTATION* source);
    virtual HRESULT SetModifiedValues(const OPCHDA_MODIFIEDITEM* source);
    virtual HRESULT SetAttributeValues(const OPCHDA_ATTRIBUTE* source);
    virtual HRESULT SetItemValues(const OPCHDA_ITEM* source);

    DWORD Count() const { return count_; }
    // A new value or entry object for 0-based element k (< Count()), its times
    // converted under `zone`. What Item and the enumerator hand out.
    HRESULT MakeElement(DWORD k, const CallZone& zone, OPCHDAValue** ppValue) const;

private:
    // Allocates the arrays a kind needs; false (and nothing kept) when out of memory.
    bool Allocate(DWORD count, bool qualities, bool entryTimes, bool entryTypes, bool users);
    void Free();
    // The 0-based element whose time stamp, as a local date, equals `key`; -1 if none.
    LONG FindByDate(DATE key, const CallZone& zone) const;

    DWORD count_ = 0;
    bool entries_ = false;
    std::unique_ptr<FILETIME[]> timeStamps_;
    std::unique_ptr<VARIANT[]> values_;  // count_ of them, cleared by Free()
    std::unique_ptr<DWORD[]> qualities_;
    std::unique_ptr<FILETIME[]> entryTimes_;
    std::unique_ptr<LONG[]> entryTypes_;
    std::unique_ptr<UniqueBstr[]> users_;
};

// Makes a history from one historian structure and writes it into `out`
// (cleared first) as VT_DISPATCH holding the history's OPCHDAHistory
// interface, which then holds the only reference. On failure `out` is
// VT_EMPTY and the result is E_POINTER (null source or out) or E_OUTOFMEMORY.
HRESULT MakeHistoryVariant(const OPCHDA_ITEM* source, VARIANT* out);
HRESULT MakeHistoryVariant(const OPCHDA_MODIFIEDITEM* source, VARIANT* out);
HRESULT MakeHistoryVariant(const OPCHDA_ATTRIBUTE* source, VARIANT* out);
HRESULT MakeHistoryVariant(const OPCHDA_ANNOTATION* source, VARIANT* out);

// Makes a history from `source` and stores it at `index` of a VT_VARIANT
// results array (SafeArrayPutElement takes its own reference; the array then
// holds the only one). Answers the creation's or the store's failure.
HRESULT PutHistory(SAFEARRAY* results, LONG index, const OPCHDA_ITEM* source);
HRESULT PutHistory(SAFEARRAY* results, LONG index, const OPCHDA_MODIFIEDITEM* source);
HRESULT PutHistory(SAFEARRAY* results, LONG index, const OPCHDA_ATTRIBUTE* source);
HRESULT PutHistory(SAFEARRAY* results, LONG index, const OPCHDA_ANNOTATION* source);
