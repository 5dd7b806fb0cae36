#include "item/parent_link.h"

#include "server/COPCHDAAutoServer.h"

HRESULT ParentLink::Query(REFIID riid, void** ppv) {
    *ppv = nullptr;
    COPCHDAAutoServer* parent = nullptr;
    {
        // The lock keeps the server from being freed between the read and the
        // reference; the reference keeps it alive once the lock is let go.
        CsLock lock(lock_);
        if (!parent_ || !parent_->TryAddRef()) return E_FAIL;
        parent = parent_;
    }
    HRESULT hr = parent->QueryInterface(riid, ppv);
    parent->Release();
    return hr;
}
