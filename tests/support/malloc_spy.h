// Which task-memory blocks are alive (strings too, with the string cache off),
// frees of blocks that are not, and a failed next allocation on request.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <set>

namespace testsupport {

class MallocSpy final : public IMallocSpy {
public:
    bool failNext = false;
    long unknownFrees = 0;  // frees of blocks that are not alive: double frees

    bool IsLive(const void* p) const { return live_.count(const_cast<void*>(p)) != 0; }
    size_t LiveCount() const { return live_.size(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == IID_IMallocSpy ? static_cast<IMallocSpy*>(this) : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T cb) override {
        const bool fail = failNext && cb;
        if (fail) failNext = false;
        return fail ? 0 : cb;  // 0 makes the allocation fail
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
        pendingRealloc_ = request && spyed && live_.erase(request) ? request : nullptr;
        *newRequest = request;
        return cb;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL) override {
        if (actual || pendingRealloc_) live_.insert(actual ? actual : pendingRealloc_);  // a failure keeps the old
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
