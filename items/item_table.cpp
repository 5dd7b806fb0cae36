// The item table: Parent, Count and the look-ups.
#include "server/COPCHDAAutoServer.h"

STDMETHODIMP COPCHDAAutoServer::get_Parent(IOPCHDAAutoServer** ppParent) {
    if (!ppParent) return E_POINTER;
    *ppParent = nullptr;
    return QueryInterface(IID_IOPCHDAAutoServer, reinterpret_cast<void**>(ppParent));
}

STDMETHODIMP COPCHDAAutoServer::get_Count(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = static_cast<LONG>(items_.size());
    return S_OK;
}
