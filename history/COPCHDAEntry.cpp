#include "COPCHDAEntry.h"

STDMETHODIMP COPCHDAEntry::get_EntryTime(DATE* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = entryTime_;
    return S_OK;
}

STDMETHODIMP COPCHDAEntry::get_EntryType(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = entryType_;
    return S_OK;
}

// A record without a user name gives an empty string, never null.
STDMETHODIMP COPCHDAEntry::get_User(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = UniqueBstr::copy_of(user_.get()).detach();
    return S_OK;
}

HRESULT COPCHDAEntry::SetEntry(DATE timeStamp, const VARIANT* value, LONG quality, DATE entryTime, LONG entryType,
                               const BSTR* user) {
    SetValue(timeStamp, value, quality);
    entryTime_ = entryTime;
    entryType_ = entryType;
    if (user && *user != user_.get()) user_ = *user ? UniqueBstr(*user, SysStringLen(*user)) : UniqueBstr();
    return S_OK;
}
