#include "task_memory.h"

#include <objbase.h>

#include <cstring>
#include <mutex>
#include <unordered_set>

namespace hdasim {
namespace {

// Never destroyed: the spy sees frees until the very end of the process,
// after static destructors have run.
std::mutex& TrackedLock() {
    static std::mutex& m = *new std::mutex;
    return m;
}
std::unordered_set<void*>& tracked() {
    static std::unordered_set<void*>& s = *new std::unordered_set<void*>;
    return s;
}

void Forget(void* p) {
    if (!p) return;
    std::lock_guard<std::mutex> g(TrackedLock());
    tracked().erase(p);
}

// Sees every task-memory free and realloc of the process; passes sizes and
// pointers through unchanged.
class MallocSpy final : public IMallocSpy {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IMallocSpy) {
            *out = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T cb) override { return cb; }
    void* STDMETHODCALLTYPE PostAlloc(void* p) override { return p; }
    void* STDMETHODCALLTYPE PreFree(void* p, WINBOOL) override {
        Forget(p);
        return p;
    }
    void STDMETHODCALLTYPE PostFree(WINBOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* p, SIZE_T cb, void** newp, WINBOOL) override {
        Forget(p);
        *newp = p;
        return cb;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* p, WINBOOL) override { return p; }
    void* STDMETHODCALLTYPE PreGetSize(void* p, WINBOOL) override { return p; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T cb, WINBOOL) override { return cb; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* p, WINBOOL) override { return p; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, WINBOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}
};

MallocSpy g_spy;

}  // namespace

void Track(void* p) {
    if (!p) return;
    std::lock_guard<std::mutex> g(TrackedLock());
    tracked().insert(p);
}

void* SimAlloc(size_t bytes) {
    void* p = CoTaskMemAlloc(bytes ? bytes : 1);
    Track(p);
    return p;
}

wchar_t* SimStrdup(const wchar_t* s) {
    if (!s) s = L"";
    size_t n = (wcslen(s) + 1) * sizeof(wchar_t);
    auto* p = static_cast<wchar_t*>(SimAlloc(n));
    if (p) std::memcpy(p, s, n);
    return p;
}

void InstallMallocSpy() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (FAILED(CoRegisterMallocSpy(&g_spy))) return;
        // Wine keeps its record of spied blocks unallocated until the first
        // allocation under the spy, and a free of an older block before that
        // reads through a null pointer: make that first allocation now.
        CoTaskMemFree(CoTaskMemAlloc(1));
    });
}

long TaskBlocksOutstanding() {
    std::lock_guard<std::mutex> g(TrackedLock());
    return static_cast<long>(tracked().size());
}

}  // namespace hdasim
