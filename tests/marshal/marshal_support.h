// Test support for the proxy/stub round trips: a minimal COM object base, apartment
// hosts, builders that fill OPC structures the way a historian does (task memory),
// matching free routines, text snapshots that make two copies comparable, and a
// task-memory counter that proves nothing is left behind.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "opc_hda.h"
#include "history/historian_answers.h"

#include <functional>
#include <string>
#include <vector>

namespace marshal_test {

// ---- objects --------------------------------------------------------------------

template <class First, class... Rest>
class Fake : public First, public Rest... {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (iid == IID_IUnknown || iid == __uuidof(First)) {
            *ppv = static_cast<First*>(this);
        } else {
            (void)((iid == __uuidof(Rest) ? (*ppv = static_cast<Rest*>(this), true) : false) || ...);
        }
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }
    // Reads the count without changing it; only meaningful on the real object.
    ULONG refs() const { return refs_; }
    virtual ~Fake() = default;

private:
    LONG refs_ = 1;  // the creator's reference
};

// ---- apartments -----------------------------------------------------------------

// A thread in its own apartment that owns one object: the object is made there,
// marshaled into a stream, and the thread serves calls (pumping messages when it is
// an STA) until the host is destroyed.
class ApartmentHost {
public:
    using Factory = std::function<IUnknown*()>;
    ApartmentHost(DWORD coinit, const IID& iid, Factory make);
    ~ApartmentHost();
    ApartmentHost(const ApartmentHost&) = delete;
    ApartmentHost& operator=(const ApartmentHost&) = delete;

    // Unmarshals the object into the calling apartment (once), as iid.
    HRESULT unmarshal(void** out);
    // The object itself, for inspection from the test thread after the calls.
    IUnknown* object() const { return object_; }
    DWORD thread_id() const { return thread_id_; }

private:
    static DWORD WINAPI run(void* self);
    DWORD coinit_;
    IID iid_;
    Factory make_;
    IUnknown* object_ = nullptr;
    IStream* stream_ = nullptr;
    HRESULT hr_ = E_FAIL;
    HANDLE ready_ = nullptr;
    HANDLE quit_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD thread_id_ = 0;
};

// Runs fn on a new thread initialised as the given apartment, and waits for it.
void run_in_apartment(DWORD coinit, const std::function<void()>& fn);

// ---- task memory accounting -----------------------------------------------------

// Number of task-memory blocks that the calling thread allocated (itself or through
// a proxy unmarshaling results into it) and nobody has freed yet. Counted per thread:
// Wine's stub side keeps NDR's own copy of every [in,out] structure parameter and of
// in-arrays of structures (a 48-byte block each on x64), which is not the client's
// business.
LONG outstanding_task_memory();
// Whether the block is live and was allocated by the given thread: how a test sees
// that a string a callee handed to the stub was freed after it was sent (the block
// may be reused at once, but then by another thread).
bool task_block_held_by(const void* block, DWORD thread);

// ---- builders and free routines -------------------------------------------------

LPWSTR task_string(const wchar_t* s);
FILETIME filetime(ULONGLONG v);
// Fills a VARIANT of kind k % 4: double, BSTR, BOOL, SAFEARRAY of doubles.
void make_variant(VARIANT* v, unsigned k, double base);

// Deterministic content derived from a handle, as a historian might answer.
void fill_item(OPCHDA_ITEM& item, OPCHANDLE h, DWORD count);
void fill_modified(OPCHDA_MODIFIEDITEM& item, OPCHANDLE h, DWORD count);
void fill_attribute(OPCHDA_ATTRIBUTE& attr, OPCHANDLE h, DWORD id, DWORD count);
void fill_annotation(OPCHDA_ANNOTATION& ann, OPCHANDLE h, DWORD count);

// The contents (arrays, strings, variants) are freed by the product's
// ClearHistorianAnswer (history/historian_answers.h).

// ---- snapshots ------------------------------------------------------------------

std::wstring snap(const VARIANT& v);
std::wstring snap(const FILETIME& ft);
std::wstring snap(const OPCHDA_TIME& t);
std::wstring snap(const OPCHDA_ITEM& item);
std::wstring snap(const OPCHDA_MODIFIEDITEM& item);
std::wstring snap(const OPCHDA_ATTRIBUTE& attr);
std::wstring snap(const OPCHDA_ANNOTATION& ann);
std::wstring snap_hresults(DWORD n, const HRESULT* hr);

template <class T>
std::wstring snap_all(DWORD n, const T* items) {
    std::wstring s;
    for (DWORD i = 0; i < n; ++i) s += snap(items[i]) + L"\n";
    return s;
}

}  // namespace marshal_test
