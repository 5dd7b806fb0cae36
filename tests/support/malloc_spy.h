// Which task-memory blocks are alive and which thread allocated each (strings too, with the string cache off);
// frees of blocks that are not alive, and a failed next allocation on request.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

// oleaut32's switch that sends freed strings back to the task allocator at once, so that the spy sees them go.
// mingw-w64 does not declare it, and its x86 import library names it without stdcall decoration: with no
// arguments, both conventions make the same call.
extern "C" void SetOaNoCache();

namespace comtest {

class MallocSpy final : public IMallocSpy {
public:
    bool failNext = false;
    long unknownFrees = 0;  // frees of blocks that are not alive: double frees
    // Counting off, for a spy left registered while the process exits: a thread
    // the exit ends while it holds the lock must not stall a later allocation.
    std::atomic<bool> stopped{false};

    bool IsLive(const void* p) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_.count(const_cast<void*>(p)) != 0;
    }
    size_t LiveCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_.size();
    }
    size_t LiveCount(DWORD thread) const {  // the blocks `thread` allocated
        std::lock_guard<std::mutex> lock(mutex_);
        return std::count_if(live_.begin(), live_.end(), [&](auto& block) { return block.second == thread; });
    }

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
    void* STDMETHODCALLTYPE PostAlloc(void* actual) override { return Track(actual, true); }
    void* STDMETHODCALLTYPE PreFree(void* request, BOOL spyed) override {
        if (request && spyed && !Track(request, false)) ++unknownFrees;
        return request;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T cb, void** newRequest, BOOL spyed) override {
        pendingRealloc_ = request && spyed && Track(request, false) ? request : nullptr;
        *newRequest = request;
        return cb;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL) override {
        Track(actual ? actual : pendingRealloc_, true);  // a failure keeps the old
        return actual;
    }
    void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T actual, BOOL) override { return actual; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

private:
    // Puts `p` on the books or takes it off; null when it was not there to take.
    void* Track(void* p, bool alive) {
        if (!p || stopped) return p;
        std::lock_guard<std::mutex> lock(mutex_);
        if (alive) {
            live_[p] = GetCurrentThreadId();
            return p;
        }
        return live_.erase(p) ? p : nullptr;
    }
    mutable std::mutex mutex_;
    std::map<void*, DWORD> live_;
    void* pendingRealloc_ = nullptr;
};

}  // namespace comtest
