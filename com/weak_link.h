// A link to an object that holds no reference on it: the object clears the
// link as it goes, so whoever kept the link sees E_FAIL instead of freed
// memory. (Items keep one to the server object that holds them.)
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "com/com_holders.h"

class WeakLink {
public:
    // T is an Implements<> class: the link takes references through its
    // TryAddRef, which refuses once the object's count has reached 0.
    template <class T>
    explicit WeakLink(T* target)
        : target_(target), tryAddRef_([](void* t) { return static_cast<T*>(t)->TryAddRef(); }),
          query_([](void* t, REFIID riid, void** ppv) { return static_cast<T*>(t)->QueryInterface(riid, ppv); }),
          release_([](void* t) { static_cast<T*>(t)->Release(); }) {}
    WeakLink(const WeakLink&) = delete;
    WeakLink& operator=(const WeakLink&) = delete;

    // The target's interface `riid` with a reference; E_FAIL once it is gone,
    // and also from the moment its last reference went, before it cleared
    // the link: a reference is only ever taken on a living object.
    HRESULT Query(REFIID riid, void** ppv) {
        *ppv = nullptr;
        void* target = nullptr;
        {
            // The lock keeps the target from being freed between the read and
            // the reference; the reference keeps it alive once the lock is let go.
            CsLock lock(lock_);
            if (!target_ || !tryAddRef_(target_)) return E_FAIL;
            target = target_;
        }
        HRESULT hr = query_(target, riid, ppv);
        release_(target);
        return hr;
    }
    // Called by the target as it dies; a Query running on another thread
    // has either taken its reference or will find the link empty.
    void Clear() {
        CsLock lock(lock_);
        target_ = nullptr;
    }

private:
    CriticalSection lock_;
    void* target_;
    bool (*tryAddRef_)(void*);
    HRESULT (*query_)(void*, REFIID, void**);
    void (*release_)(void*);
};
