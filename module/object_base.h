// The base every class of the component stands on: an interlocked reference
// count that starts at 0 (the creator's first QueryInterface takes the first
// reference), one critical section, the module's count of live objects, and
// QueryInterface answered from a declarative table with the debugger trace.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <cstddef>
#include <iterator>

#include "com_holders.h"
#include "module_state.h"

// One row of a QueryInterface table: the identifier and how to reach the
// interface from the object. The first row also answers IUnknown.
struct InterfaceEntry {
    const IID* iid;
    IUnknown* (*cast)(void* self);
};

// Row for interface I of class D, reached through base Via (so that, for
// example, IDispatch can be answered by one particular dual interface).
template <class D, class I, class Via = I>
constexpr InterfaceEntry Interface(const IID& iid) {
    return {&iid, [](void* self) -> IUnknown* { return static_cast<Via*>(static_cast<D*>(self)); }};
}

// Writes "<class> - <interface name>[ - failed]\n" to the debugger output.
void TraceQueryInterface(const char* className, REFIID riid, bool succeeded);

HRESULT TableQueryInterface(const char* className, const InterfaceEntry* table, size_t count,
                            void* self, REFIID riid, void** ppv);

class ObjectBase {
public:
    ObjectBase(const ObjectBase&) = delete;
    ObjectBase& operator=(const ObjectBase&) = delete;

protected:
    ObjectBase() { Module::Lock(); }
    virtual ~ObjectBase() { Module::Unlock(); }

    ULONG InternalAddRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount_)); }
    ULONG InternalRelease() {
        LONG r = InterlockedDecrement(&refCount_);
        if (r == 0) {
            // Keeps the object alive (count 1) while it tears itself down, so
            // that references taken and dropped during teardown cannot re-enter here.
            refCount_ = 1;
            FinalRelease();
            delete this;
        }
        return static_cast<ULONG>(r);
    }
    // Teardown that needs the object whole, before the destructors run.
    virtual void FinalRelease() {}

    CriticalSection& ObjectLock() { return lock_; }

private:
    LONG refCount_ = 0;
    CriticalSection lock_;
};

// Implements IUnknown for class Class from its static table kInterfaces.
#define OPCHDA_IUNKNOWN(Class)                                                                  \
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {                             \
        return TableQueryInterface(#Class, Class::kInterfaces, std::size(Class::kInterfaces),   \
                                   static_cast<Class*>(this), riid, ppv);                       \
    }                                                                                           \
    STDMETHODIMP_(ULONG) AddRef() override { return InternalAddRef(); }                         \
    STDMETHODIMP_(ULONG) Release() override { return InternalRelease(); }

// Creates an object of class T (reference count 0) and queries it for riid.
// A failed query destroys the object again.
template <class T, class... Args>
HRESULT CreateObject(REFIID riid, void** ppv, Args&&... args) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    T* object = new (std::nothrow) T(std::forward<Args>(args)...);
    if (!object) return E_OUTOFMEMORY;
    object->AddRef();
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

// Creates an object of class T and hands it out as a raw pointer with no
// reference counted yet, for producers that must call class-private set-up
// members before the first QueryInterface.
template <class T, class... Args>
T* NewObject(Args&&... args) {
    return new (std::nothrow) T(std::forward<Args>(args)...);
}
