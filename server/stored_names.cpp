// ServerName, ServerNode and ClientName: copies of what the object stores,
// answered connected or not.
#include "COPCHDAAutoServer.h"

STDMETHODIMP COPCHDAAutoServer::get_ServerName(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = UniqueBstr::copy_of(serverName_.get()).detach();
    return S_OK;
}

STDMETHODIMP COPCHDAAutoServer::get_ServerNode(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = UniqueBstr::copy_of(serverNode_.get()).detach();
    return S_OK;
}

STDMETHODIMP COPCHDAAutoServer::get_ClientName(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = UniqueBstr::copy_of(clientName_.get()).detach();
    return S_OK;
}

STDMETHODIMP COPCHDAAutoServer::put_ClientName(BSTR newVal) {
    clientName_ = UniqueBstr::copy_of(newVal);
    // Without the historian the name waits for the next Disconnect or Connect, which empty it.
    if (!common_) return S_OK;
    return common_->SetClientName(clientName_.get());
}
