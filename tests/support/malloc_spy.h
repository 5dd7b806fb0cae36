// A malloc spy for tests that check who frees task memory.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <set>

namespace testsupport {

// Tracks the task-memory blocks handed out while it is registered, so a test can
// ask whether a given block is still alive, and fails the next allocation on
// request. (Counting strings needs the platform's string cache off.)
class MallocSpy final : public IMallocSpy {
public:
    bool failNext = false;
    long unknownFrees = 0;  // frees of blocks that are not alive: double frees

    bool IsLive(const void* p) const { return live_.count(const_cast<void*>(p)) != 0; }
    // Blocks handed out under the spy and not yet freed; with the BSTR cache
    // off (SetOaNoCache) strings count too.
    size_t LiveCount() const { return live_.size(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IMallocSpy) {
            *out = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T cb) override {
        if (failNext && cb) {
            failNext = false;
            return 0;  // makes the allocation fail
        }
        return cb;
    }
    void* STDMETHODCALLTYPE PostAlloc(void* actual) override {
        if (actual) live_.insert(actual);
        return actual;
    }
    void* STDMETHODCALLTYPE PreFree(void* request, BOOL spyed) override {
        if (request && spyed && live_.erase(request) == 0) ++unknownFrees;
        return request;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T cb, void** newRequest, BOOL spyed) override {
        pendingRealloc_ = nullptr;
        if (request && spyed && live_.erase(request)) pendingRealloc_ = request;
        *newRequest = request;
        return cb;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL) override {
        if (actual) {
            live_.insert(actual);
        } else if (pendingRealloc_) {
            live_.insert(pendingRealloc_);  // a failed reallocation keeps the old block
        }
        return actual;
    }
    void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T actual, BOOL) override { return actual; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

private:
    std::set<void*> live_;
    void* pendingRealloc_ = nullptr;
};

}  // namespace testsupport
