// Members not built yet. Each moves to its own file as it is built.
#include "server/COPCHDAAutoServer.h"

STDMETHODIMP COPCHDAAutoServer::GetItemAttributes(LONG *, SAFEARRAY **, SAFEARRAY **, SAFEARRAY **, SAFEARRAY **) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::GetAggregates(LONG *, SAFEARRAY **, SAFEARRAY **, SAFEARRAY **) { return E_NOTIMPL; }
STDMETHODIMP COPCHDAAutoServer::CreateBrowser(LONG, VARIANT, VARIANT, VARIANT, VARIANT *, OPCHDABrowser **) { return E_NOTIMPL; }
