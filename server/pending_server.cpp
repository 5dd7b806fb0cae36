// Members not built yet. Each moves to its own file as it is built.
#include "server/COPCHDAAutoServer.h"

STDMETHODIMP COPCHDAAutoServer::get_StartTime(DATE *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CurrentTime(DATE *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_MaxReturnValues(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_MajorVersion(short *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_MinorVersion(short *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_BuildNumber(short *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_VendorInfo(BSTR *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_HistorianStatus(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_StatusString(BSTR *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_LocaleID(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::put_LocaleID(LONG) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanSyncInsert(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanSyncReplace(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanSyncInsertReplace(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanSyncDeleteRaw(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanSyncDeleteAtTime(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanSyncReadAnnotations(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanSyncInsertAnnotations(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncInsert(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncReplace(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncInsertReplace(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncDeleteRaw(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncDeleteAtTime(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncReadAnnotations(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::get_CanAsyncInsertAnnotations(LONG *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::GetOPCHDAServers(VARIANT, VARIANT *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::Connect(BSTR, VARIANT) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::Disconnect() { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::GetErrorString(LONG, BSTR *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::QueryAvailableLocaleIDs(VARIANT *) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::GetItemAttributes(LONG *, SAFEARRAY **, SAFEARRAY **, SAFEARRAY **, SAFEARRAY **) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::GetAggregates(LONG *, SAFEARRAY **, SAFEARRAY **, SAFEARRAY **) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::CreateBrowser(LONG, VARIANT, VARIANT, VARIANT, VARIANT *, OPCHDABrowser **) { return E_NOTIMPL; }
