// ServerName, ServerNode and ClientName: copies of what the object stores,
// answered connected or not.
#include "server/COPCHDAAutoServer.h"

STDMETHODIMP COPCHDAAutoServer::get_ServerName(BSTR* pVal) { return PropertyGet(pVal, serverName_.get()); }

STDMETHODIMP COPCHDAAutoServer::get_ServerNode(BSTR* pVal) { return PropertyGet(pVal, serverNode_.get()); }

STDMETHODIMP COPCHDAAutoServer::get_ClientName(BSTR* pVal) { return PropertyGet(pVal, clientName_.get()); }

STDMETHODIMP COPCHDAAutoServer::put_ClientName(BSTR newVal) {
    clientName_ = UniqueBstr::copy_of(newVal);
    // Without the historian the name waits for the next Disconnect or Connect, which empty it.
    if (!common_) return S_OK;
    return common_->SetClientName(clientName_.get());
}
