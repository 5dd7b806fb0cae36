// The link from items to the server object that created them. Items hold no
// reference on the server object (the server's item table holds them), so
// the server clears the link as it goes and an item outliving it sees E_FAIL
// instead of freed memory.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <mutex>

class ParentLink {
public:
    explicit ParentLink(IUnknown* parent) : parent_(parent) {}

    // The parent's interface `riid` with a reference; E_FAIL once it is gone.
    HRESULT Query(REFIID riid, void** ppv) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!parent_) return E_FAIL;
        return parent_->QueryInterface(riid, ppv);
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        parent_ = nullptr;
    }

private:
    std::mutex mutex_;
    IUnknown* parent_;
};
