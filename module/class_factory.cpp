#include "class_factory.h"

#include <new>

#include "com_holders.h"
#include "module_state.h"
#include "object_base.h"
#include "server/COPCHDAAutoServer.h"

namespace {

// Not on ObjectBase: its count rules differ. The module holds the first
// reference; only references beyond it keep the library loaded.
class CComClassFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        HRESULT hr = E_NOINTERFACE;
        if (!ppv) {
            hr = E_POINTER;
        } else if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            hr = S_OK;
        } else {
            *ppv = nullptr;
        }
        TraceQueryInterface("CComClassFactory", riid, hr == S_OK);
        return hr;
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        CsLock lock(lock_);
        if (++refCount_ == 2) Module::Lock();
        return refCount_;
    }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG count;
        {
            CsLock lock(lock_);
            count = --refCount_;
            if (count == 1) Module::Unlock();
        }
        if (count == 0) delete this;
        return count;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return CreateObject<COPCHDAAutoServer>(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) Module::Lock(); else Module::Unlock();
        return S_OK;
    }

private:
    CriticalSection lock_;
    ULONG refCount_ = 0;
};

IClassFactory* g_classObject = nullptr;

}  // namespace

IUnknown* ServerClassObject() {
    if (IClassFactory* existing = static_cast<IClassFactory* volatile&>(g_classObject)) return existing;
    Module::ScopedLock lock;
    if (!g_classObject) {
        auto* factory = new (std::nothrow) CComClassFactory();
        if (!factory) return nullptr;
        factory->AddRef();  // the module's own reference
        g_classObject = factory;
    }
    return g_classObject;
}

void ReleaseServerClassObject(bool processExiting) {
    if (g_classObject && !processExiting) g_classObject->Release();
    g_classObject = nullptr;
}
