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
    return PerHandle(n, ph, ppErrors, CLIENT_OF, [&](DWORD i) {
        Ticks t = TicksOf(ft[i]);
        return kind == kInsert    ? model_.Insert(ph[i], t, v[i], q[i])
               : kind == kReplace ? model_.Replace(ph[i], t, v[i], q[i])
                                  : model_.InsertReplace(ph[i], t, v[i], q[i]);
    });
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
    if (FAILED(ResolveRange(kSyncUpdate, L"DeleteRaw", htStartTime, htEndTime, &s, &e))) return E_INVALIDARG;
    return PerHandle(dwNumItems, phServer, ppErrors, CLIENT_OF,
                     [&](DWORD i) { return model_.DeleteRaw(s, e, phServer[i]); });
}

HRESULT SimHistorianObject::DeleteAtTime(DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                         HRESULT** ppErrors) {
    FAULT(kSyncUpdate, L"DeleteAtTime");
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (dwNumItems == 0 || !phServer || !ftTimeStamps) return E_INVALIDARG;
    return PerHandle(dwNumItems, phServer, ppErrors, CLIENT_OF,
                     [&](DWORD i) { return model_.DeleteAtTime(phServer[i], TicksOf(ftTimeStamps[i])); });
}

}  // namespace hdasim
