#include "history/COPCHDAEntry.h"

STDMETHODIMP COPCHDAEntry::get_EntryTime(DATE* pVal) { return PropertyGet(pVal, entryTime_); }

STDMETHODIMP COPCHDAEntry::get_EntryType(LONG* pVal) { return PropertyGet(pVal, entryType_); }

// A record without a user name gives an empty string, never null.
STDMETHODIMP COPCHDAEntry::get_User(BSTR* pVal) { return PropertyGet(pVal, user_.get()); }

HRESULT COPCHDAEntry::SetEntry(DATE timeStamp, const VARIANT* value, LONG quality, DATE entryTime, LONG entryType,
                               LPCWSTR user) {
    SetFields(timeStamp, value, quality);
    entryTime_ = entryTime;
    entryType_ = entryType;
    user_ = UniqueBstr(user);
    return S_OK;
}
