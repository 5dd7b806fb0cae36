#include "module/class_factory.h"

#include <new>
#include <utility>

#include "com/com_holders.h"
#include "com/module_count.h"
#include "com/implements.h"
#include "server/COPCHDAAutoServer.h"

namespace {

// Not counted as a live object: the module holds the first reference, and
// only references beyond it keep the library loaded.
class ServerClassFactory final : public Implements<ServerClassFactory, IClassFactory> {
public:
    // Traced under the name debugger-trace readers know the class object by.
    static constexpr char kTraceName[] = "CComClassFactory";
    static constexpr bool kCountsAsLiveObject = false;

    // Every reference beyond the module's own counts as a lock.
    STDMETHODIMP_(ULONG) AddRef() override {
        ULONG count = Implements::AddRef();
        if (count >= 2) ComModule::AddUse();
        return count;
    }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG count = Implements::Release();
        if (count >= 1) ComModule::DropUse();
        return count;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return HandOut(MakeObject<COPCHDAAutoServer>(), riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock)
            ComModule::AddUse();
        else
            ComModule::DropUse();
        return S_OK;
    }
};

IClassFactory* g_classObject = nullptr;

}  // namespace

IUnknown* ServerClassObject() {
    if (IClassFactory* existing = static_cast<IClassFactory* volatile&>(g_classObject)) return existing;
    ComModule::ScopedLock lock;
    if (!g_classObject) {
        // The module's own reference.
        g_classObject = MakeObject<ServerClassFactory>().detach();
    }
    return g_classObject;
}

void ReleaseServerClassObject(bool processExiting) {
    // At process exit the module's reference is left to the process's end.
    IClassFactory* held = std::exchange(g_classObject, nullptr);
    if (!processExiting) ComPtr<IClassFactory>::attach(held).reset();
}
