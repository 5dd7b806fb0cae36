// Members not built yet. Each moves to its own file as it is built.
#include "server/COPCHDAAutoServer.h"

STDMETHODIMP COPCHDAAutoServer::CreateBrowser(LONG, VARIANT, VARIANT, VARIANT, VARIANT *, OPCHDABrowser **) { return E_NOTIMPL; }
