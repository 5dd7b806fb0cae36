// The capability properties: 1 when the historian reports the operation's
// bit, 0 otherwise; a missing interface means "cannot", not an error.
#include "server/COPCHDAAutoServer.h"

namespace {

// The capability enumeration an interface's QueryCapabilities fills.
template <class Itf, class Caps>
Caps CapsOf(HRESULT (STDMETHODCALLTYPE Itf::*)(Caps*));

template <class Itf>
HRESULT QueryMask(Itf* itf, DWORD* mask) {
    auto caps = static_cast<decltype(CapsOf(&Itf::QueryCapabilities))>(0);
    HRESULT hr = itf->QueryCapabilities(&caps);
    *mask = static_cast<DWORD>(caps);
    return hr;
}

template <class Itf>
HRESULT Capability(Itf* itf, DWORD bit, LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = 0;
    if (!itf) return S_OK;
    DWORD mask = 0;
    HRESULT hr = QueryMask(itf, &mask);
    if (FAILED(hr)) return hr;
    *pVal = (mask & bit) ? 1 : 0;
    return hr;
}

}  // namespace

STDMETHODIMP COPCHDAAutoServer::get_CanSyncInsert(LONG* pVal) {
    return Capability(syncUpdate_.get(), OPCHDA_INSERTCAP, pVal);
}
STDMETHODIMP COPCHDAAutoServer::get_CanSyncReplace(LONG* pVal) {
    return Capability(syncUpdate_.get(), OPCHDA_REPLACECAP, pVal);
}
STDMETHODIMP COPCHDAAutoServer::get_CanSyncInsertReplace(LONG* pVal) {
    return Capability(syncUpdate_.get(), OPCHDA_INSERTREPLACECAP, pVal);
}
STDMETHODIMP COPCHDAAutoServer::get_CanSyncDeleteRaw(LONG* pVal) {
    return Capability(syncUpdate_.get(), OPCHDA_DELETERAWCAP, pVal);
}
STDMETHODIMP COPCHDAAutoServer::get_CanSyncDeleteAtTime(LONG* pVal) {
    return Capability(syncUpdate_.get(), OPCHDA_DELETEATTIMECAP, pVal);
}
STDMETHODIMP COPCHDAAutoServer::get_CanSyncReadAnnotations(LONG* pVal) {
    return Capability(syncAnnotations_.get(), OPCHDA_READANNOTATIONCAP, pVal);
}
STDMETHODIMP COPCHDAAutoServer::get_CanSyncInsertAnnotations(LONG* pVal) {
    return Capability(syncAnnotations_.get(), OPCHDA_INSERTANNOTATIONCAP, pVal);
}
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncInsert(LONG* pVal) {
    return Capability(asyncUpdate_.get(), OPCHDA_INSERTCAP, pVal);
}
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncReplace(LONG* pVal) {
    return Capability(asyncUpdate_.get(), OPCHDA_REPLACECAP, pVal);
}
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncInsertReplace(LONG* pVal) {
    return Capability(asyncUpdate_.get(), OPCHDA_INSERTREPLACECAP, pVal);
}
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncDeleteRaw(LONG* pVal) {
    return Capability(asyncUpdate_.get(), OPCHDA_DELETERAWCAP, pVal);
}
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncDeleteAtTime(LONG* pVal) {
    return Capability(asyncUpdate_.get(), OPCHDA_DELETEATTIMECAP, pVal);
}
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncReadAnnotations(LONG* pVal) {
    return Capability(asyncAnnotations_.get(), OPCHDA_READANNOTATIONCAP, pVal);
}
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncInsertAnnotations(LONG* pVal) {
    return Capability(asyncAnnotations_.get(), OPCHDA_INSERTANNOTATIONCAP, pVal);
}
