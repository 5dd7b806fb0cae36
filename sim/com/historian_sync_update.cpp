// IOPCHDA_SyncUpdate of the simulated historian.
#include "historian_parts.h"

namespace hdasim {

HRESULT SimHistorianObject::QueryCapabilities(OPCHDA_UPDATECAPABILITIES* pCapabilities) {
    FAULT(kSyncUpdate, L"QueryCapabilities");
    if (!pCapabilities) return E_POINTER;
    *pCapabilities = static_cast<OPCHDA_UPDATECAPABILITIES>(model_.UpdateCapabilities());
    return S_OK;
}

HRESULT SimHistorianObject::SyncUpdate(int kind, DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q,
                                       HRESULT** ppErrors) {
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (n == 0 || !ph || !ft || !v || !q) return E_INVALIDARG;
    auto* errs = AllocZeroed<HRESULT>(n);
    if (!errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < n; ++i) {
        OPCHANDLE c;
        if (!ClientOf(ph[i], &c)) {
            errs[i] = kOpcInvalidHandle;
            continue;
        }
        Ticks t = TicksOf(ft[i]);
        errs[i] = kind == kInsert    ? model_.Insert(ph[i], t, v[i], q[i])
                  : kind == kReplace ? model_.Replace(ph[i], t, v[i], q[i])
                                     : model_.InsertReplace(ph[i], t, v[i], q[i]);
    }
    *ppErrors = errs;
    return Overall(errs, n);
}

HRESULT SimHistorianObject::Insert(DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q, HRESULT** e) {
    FAULT(kSyncUpdate, L"Insert");
    return SyncUpdate(kInsert, n, ph, ft, v, q, e);
}

HRESULT SimHistorianObject::Replace(DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q, HRESULT** e) {
    FAULT(kSyncUpdate, L"Replace");
    return SyncUpdate(kReplace, n, ph, ft, v, q, e);
}

HRESULT SimHistorianObject::InsertReplace(DWORD n, OPCHANDLE* ph, FILETIME* ft, VARIANT* v, DWORD* q, HRESULT** e) {
    FAULT(kSyncUpdate, L"InsertReplace");
    return SyncUpdate(kInsertReplace, n, ph, ft, v, q, e);
}

HRESULT SimHistorianObject::DeleteRaw(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumItems,
                                      OPCHANDLE* phServer, HRESULT** ppErrors) {
    FAULT(kSyncUpdate, L"DeleteRaw");
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (!htStartTime || !htEndTime || dwNumItems == 0 || !phServer) return E_INVALIDARG;
    Ticks s, e;
    if (FAILED(Resolve(htStartTime, &s)) || FAILED(Resolve(htEndTime, &e))) return E_INVALIDARG;
    auto* errs = AllocZeroed<HRESULT>(dwNumItems);
    if (!errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwNumItems; ++i) {
        OPCHANDLE c;
        errs[i] = ClientOf(phServer[i], &c) ? model_.DeleteRaw(s, e, phServer[i]) : kOpcInvalidHandle;
    }
    *ppErrors = errs;
    return Overall(errs, dwNumItems);
}

HRESULT SimHistorianObject::DeleteAtTime(DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                         HRESULT** ppErrors) {
    FAULT(kSyncUpdate, L"DeleteAtTime");
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (dwNumItems == 0 || !phServer || !ftTimeStamps) return E_INVALIDARG;
    auto* errs = AllocZeroed<HRESULT>(dwNumItems);
    if (!errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwNumItems; ++i) {
        OPCHANDLE c;
        errs[i] =
            ClientOf(phServer[i], &c) ? model_.DeleteAtTime(phServer[i], TicksOf(ftTimeStamps[i])) : kOpcInvalidHandle;
    }
    *ppErrors = errs;
    return Overall(errs, dwNumItems);
}

}  // namespace hdasim
