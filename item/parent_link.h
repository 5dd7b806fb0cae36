// The link from items to the server object that created them. Items hold no
// reference on the server object (the server's item table holds them), so
// the server clears the link as it goes and an item outliving it sees E_FAIL
// instead of freed memory.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "com/com_holders.h"

class COPCHDAAutoServer;

class ParentLink {
public:
    explicit ParentLink(COPCHDAAutoServer* parent) : parent_(parent) {}

    // The parent's interface `riid` with a reference; E_FAIL once it is gone,
    // and also from the moment its last reference went, before it cleared
    // the link: a reference is only ever taken on a living server.
    HRESULT Query(REFIID riid, void** ppv);
    // Called by the server as it dies; a Query running on another thread
    // has either taken its reference or will find the link empty.
    void Clear() {
        CsLock lock(lock_);
        parent_ = nullptr;
    }

private:
    CriticalSection lock_;
    COPCHDAAutoServer* parent_;
};
