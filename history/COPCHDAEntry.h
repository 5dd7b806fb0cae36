// COPCHDAEntry: a value of an item's history that also records an edit
// (modified values and annotations).
#pragma once

#include "com/com_holders.h"
#include "history/value_fields.h"

// Filled once, then read-only: nothing to lock.
class COPCHDAEntry;
template <>
inline constexpr bool kHasObjectLock<COPCHDAEntry> = false;

// OPCHDAValue is answered with the entry's own pointer: the entry interface
// begins with the value's members.
class COPCHDAEntry final : public ValueFields<COPCHDAEntry, OPCHDAEntry, AnswerAs<OPCHDAValue, OPCHDAEntry>> {
public:
    static constexpr char kTraceName[] = "COPCHDAEntry";

    STDMETHODIMP get_EntryTime(DATE* pVal) override;
    STDMETHODIMP get_EntryType(LONG* pVal) override;
    STDMETHODIMP get_User(BSTR* pVal) override;

    // Called once by the history, right after creation; `user` is copied
    // (null: none). Virtual so that it holds the slot right after the dual
    // interface's members.
    virtual HRESULT SetEntry(DATE timeStamp, const VARIANT* value, LONG quality, DATE entryTime, LONG entryType,
                             LPCWSTR user);

private:
    DATE entryTime_ = 0.0;
    LONG entryType_ = 0;
    UniqueBstr user_;
};
