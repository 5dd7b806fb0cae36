// The one way to write a COM class here: Implements<D, I...> gives class D
// IUnknown for the interfaces I..., and MakeObject<D>(args...) creates one.
//
//     class COPCHDAEntry final
//         : public Implements<COPCHDAEntry, DispatchImpl<OPCHDAEntry>, AnswerAs<OPCHDAValue, OPCHDAEntry>> {
//     public:
//         static constexpr char kTraceName[] = "COPCHDAEntry";  // optional: writes the QueryInterface trace
//         ...the interfaces' members...
//     private:
//         friend Implements;     // with FinalRelease:
//         void FinalRelease();   // optional: teardown while the object is still whole
//     };
//
//     ComPtr<COPCHDAEntry> entry = MakeObject<COPCHDAEntry>();   // null when out of memory
//     if (!entry) return E_OUTOFMEMORY;
//     entry->SetEntry(...);                                      // set-up before the first hand-out
//     return entry->QueryInterface(IID_OPCHDAValue, reinterpret_cast<void**>(ppValue));
//
// The list is the QueryInterface table, in order: each element is an
// interface (answered by its __uuidof), an implementation such as
// DispatchImpl<Itf> that names its interface as `Interface`, or an
// AnswerAs<Itf, Via> row that answers Itf with the object's Via pointer (for
// IDispatch through one dual interface, or an entry answering as a value). The
// first element also answers IUnknown, and fixes the object's identity.
//
// The base also keeps: an interlocked count that starts at 0 (only MakeObject
// creates objects, and it takes the first reference at once), a per-object
// lock (ObjectLock()), the binary's count of live objects (com/module_count.h,
// defined once per binary: the product's in com/module_count.cpp, the
// simulator's in sim/com/sim_module.cpp; a class may opt out with
// `static constexpr bool kCountsAsLiveObject = false;`), and the FinalRelease()
// hook. A class whose objects share storage (the histories of one read)
// gives `static void Dispose(D*)`, called instead of delete. A class that
// never locks may drop its lock (kHasObjectLock below):
// creating and deleting a critical section costs two heap calls, which
// objects made by the hundred thousand (history elements) notice.
//
// No exception may cross the COM boundary (on x86 the unwinder cannot cross a
// caller's frames): every COM method, class-factory call and callback that can
// allocate through the standard library is a function-try-block ending in
//
//     STDMETHODIMP COPCHDAAutoServer::AddItems(...) try {
//         ...
//     } catch (...) { return HResultFromCaughtException(); }   // E_OUTOFMEMORY for std::bad_alloc
//
// and so is every smaller guard: a helper that turns an exception into an
// HRESULT, false or null is a function whose whole body is the try block,
// never a try statement inside a body.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "com/com_holders.h"
#include "com/module_count.h"

// The HRESULT for the exception being handled: out of memory (or a size the
// library refuses) gives E_OUTOFMEMORY, anything else E_UNEXPECTED. For the
// catch clause of a function-try-block.
inline HRESULT HResultFromCaughtException() noexcept try {
    throw;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
} catch (const std::length_error&) {
    return E_OUTOFMEMORY;
} catch (...) {
    return E_UNEXPECTED;
}

// Writes "<class> - <interface name>[ - failed]\n" to the debugger output
// (com/query_trace.cpp; only classes that name a kTraceName call it), while a
// debugger is attached or a debug monitor listens. Whether a monitor listens
// is asked at most once per kTraceMonitorRecheckMs, so a monitor started
// mid-run sees the trace after at most that delay.
constexpr DWORD kTraceMonitorRecheckMs = 250;
void TraceQueryInterface(const char* className, REFIID riid, bool succeeded) noexcept;

// A QueryInterface row answering Itf with the object's Via pointer.
template <class Itf, class Via>
struct AnswerAs {};

namespace implements_detail {

template <class T>
struct Row {
    using Answered = T;
    using Via = T;
};
template <class T>
requires requires { typename T::Interface; }
struct Row<T> {
    using Answered = typename T::Interface;
    using Via = typename T::Interface;
};
template <class Itf, class V>
struct Row<AnswerAs<Itf, V>> {
    using Answered = Itf;
    using Via = V;
};

template <class D, class T>
bool Answer(D* self, REFIID riid, bool first, void** ppv) noexcept {
    using R = Row<T>;
    if (!IsEqualIID(riid, __uuidof(typename R::Answered)) && !(first && IsEqualIID(riid, IID_IUnknown))) return false;
    auto* itf = static_cast<typename R::Answered*>(static_cast<typename R::Via*>(self));
    itf->AddRef();
    *ppv = itf;
    return true;
}

template <class D>
constexpr bool CountsAsLiveObject() {
    if constexpr (requires { D::kCountsAsLiveObject; }) return D::kCountsAsLiveObject;
    return true;
}

struct NoObjectLock {};

}  // namespace implements_detail

// Whether objects of class D carry the per-object lock. Decided before D is
// complete (the base holds the lock), so a class that never locks says so
// ahead of its definition:
//     class COPCHDAValue;
//     template <> inline constexpr bool kHasObjectLock<COPCHDAValue> = false;
template <class D>
inline constexpr bool kHasObjectLock = true;

namespace implements_detail {}  // namespace implements_detail

template <class D, class First, class... Rest>
class Implements : public First, public Rest... {
public:
    Implements(const Implements&) = delete;
    Implements& operator=(const Implements&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        HRESULT hr = E_POINTER;
        if (ppv) {
            *ppv = nullptr;
            D* self = static_cast<D*>(this);
            bool found = implements_detail::Answer<D, First>(self, riid, true, ppv) ||
                         (implements_detail::Answer<D, Rest>(self, riid, false, ppv) || ...);
            hr = found ? S_OK : E_NOINTERFACE;
        }
        if constexpr (requires { D::kTraceName; }) TraceQueryInterface(D::kTraceName, riid, hr == S_OK);
        return hr;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refCount_)); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG r = InterlockedDecrement(&refCount_);
        if (r == 0) {
            // Keeps the count far from 0 while the object tears itself down, so
            // that references taken and dropped during teardown cannot re-enter
            // here, and negative, so that TryAddRef refuses.
            InterlockedExchange(&refCount_, kTearingDown);
            D* self = static_cast<D*>(this);
            self->FinalRelease();
            if constexpr (requires { D::Dispose(self); })
                D::Dispose(self);  // an object that lives in storage it shares with others
            else
                delete self;
        }
        return static_cast<ULONG>(r);
    }

    // Takes a reference only while the object is alive: never once its count
    // has reached 0, nor while it tears itself down. For links that hold no
    // reference of their own (an item's link to its server object).
    bool TryAddRef() noexcept {
        for (LONG count = 1; count > 0;) {
            const LONG seen = InterlockedCompareExchange(&refCount_, count + 1, count);
            if (seen == count) return true;
            count = seen;
        }
        return false;
    }

protected:
    Implements() noexcept {
        if constexpr (implements_detail::CountsAsLiveObject<D>()) ComModule::ObjectCreated();
    }
    // Neither the destructor nor FinalRelease is virtual: the object is
    // deleted as the final class D it is, and the base adds no slot of its
    // own to the first virtual table, so a class's own virtual operations
    // directly follow its first interface's members.
    ~Implements() {
        if constexpr (implements_detail::CountsAsLiveObject<D>()) ComModule::ObjectDestroyed();
    }

    // The first reference of an object that no other thread can see yet,
    // taken without the locked increment of AddRef: for objects made by the
    // thousand (a read's histories).
    void TakeFirstReference() noexcept { refCount_ = 1; }

    // Teardown that needs the object whole, before the destructors run. A
    // class replaces it by declaring its own (and `friend Implements;` when
    // it is private).
    void FinalRelease() {}

    CriticalSection& ObjectLock() requires(kHasObjectLock<D>) { return lock_; }

private:
    static constexpr LONG kTearingDown = -0x40000000;
    LONG refCount_ = 0;
    [[no_unique_address]] std::conditional_t<kHasObjectLock<D>, CriticalSection, implements_detail::NoObjectLock> lock_;
};

// Creates a D and returns its first reference; null when memory (or anything
// the constructor needs) cannot be had.
template <class D, class... Args>
ComPtr<D> MakeObject(Args&&... args) noexcept try {
    return ComPtr<D>(new (std::nothrow) D(std::forward<Args>(args)...));
} catch (...) {
    return nullptr;
}

// A property get: E_POINTER for a null out-parameter, else the value.
template <class T>
HRESULT PropertyGet(T* out, T value) noexcept {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
}
// A string property get: the client's own copy, embedded zeros kept; null gives "".
inline HRESULT PropertyGet(BSTR* out, BSTR value) noexcept {
    if (!out) return E_POINTER;
    *out = UniqueBstr::copy_of(value).detach();
    return S_OK;
}

// Hands a new object out through its first QueryInterface: E_OUTOFMEMORY when
// MakeObject gave null; the object dies with its owner if the query fails.
template <class D>
HRESULT HandOut(const ComPtr<D>& object, REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!object) return E_OUTOFMEMORY;
    return object->QueryInterface(riid, ppv);
}
