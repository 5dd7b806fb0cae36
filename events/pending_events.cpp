// Event members not built yet: the callbacks answer S_OK and raise nothing. Each moves to its own file as it is built.
#include "server/COPCHDAAutoServer.h"

STDMETHODIMP COPCHDAAutoServer::EnumConnectionPoints(IEnumConnectionPoints**) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::FindConnectionPoint(REFIID, IConnectionPoint**) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::ShutdownRequest(LPCWSTR) { return S_OK; }
STDMETHODIMP COPCHDAAutoServer::OnDataChange(DWORD, HRESULT, DWORD, OPCHDA_ITEM*, HRESULT*) { return S_OK; }
STDMETHODIMP COPCHDAAutoServer::OnReadComplete(DWORD, HRESULT, DWORD, OPCHDA_ITEM*, HRESULT*) { return S_OK; }
STDMETHODIMP COPCHDAAutoServer::OnReadModifiedComplete(DWORD, HRESULT, DWORD, OPCHDA_MODIFIEDITEM*, HRESULT*) { return S_OK; }
STDMETHODIMP COPCHDAAutoServer::OnReadAttributeComplete(DWORD, HRESULT, OPCHANDLE, DWORD, OPCHDA_ATTRIBUTE*, HRESULT*) { return S_OK; }
STDMETHODIMP COPCHDAAutoServer::OnReadAnnotations(DWORD, HRESULT, DWORD, OPCHDA_ANNOTATION*, HRESULT*) { return S_OK; }
STDMETHODIMP COPCHDAAutoServer::OnInsertAnnotations(DWORD, HRESULT, DWORD, OPCHANDLE*, HRESULT*) { return S_OK; }
STDMETHODIMP COPCHDAAutoServer::OnPlayback(DWORD, HRESULT, DWORD, OPCHDA_ITEM**, HRESULT*) { return S_OK; }
STDMETHODIMP COPCHDAAutoServer::OnUpdateComplete(DWORD, HRESULT, DWORD, OPCHANDLE*, HRESULT*) { return S_OK; }
STDMETHODIMP COPCHDAAutoServer::OnCancelComplete(DWORD) { return S_OK; }
