// What the historian object's source files share: the interface names under
// which calls are counted and faults set, task-memory arrays, the overall code
// of a per-item answer, and the one way an asynchronous answer is built,
// handed to the client's callbacks and freed.
#pragma once

#include "answers.h"
#include "com/floating_point_defaults.h"
#include "historian_object.h"
#include "sim/model/sim_clock.h"
#include "task_memory.h"

#include <functional>

namespace hdasim {

inline constexpr const wchar_t* kServer = L"IOPCHDA_Server";
inline constexpr const wchar_t* kSyncRead = L"IOPCHDA_SyncRead";
inline constexpr const wchar_t* kSyncUpdate = L"IOPCHDA_SyncUpdate";
inline constexpr const wchar_t* kSyncAnnotations = L"IOPCHDA_SyncAnnotations";
inline constexpr const wchar_t* kAsyncRead = kAsyncReadName;
inline constexpr const wchar_t* kAsyncUpdate = kAsyncUpdateName;
inline constexpr const wchar_t* kAsyncAnnotations = kAsyncAnnotationsName;
inline constexpr const wchar_t* kPlayback = kPlaybackName;
inline constexpr const wchar_t* kCommon = L"IOPCCommon";


// S_FALSE when some element failed, as OPC HDA servers answer.
inline HRESULT Overall(const HRESULT* errs, DWORD n) {
    for (DWORD i = 0; i < n; ++i)
        if (FAILED(errs[i])) return S_FALSE;
    return S_OK;
}

enum UpdateKind { kInsert, kReplace, kInsertReplace };

// One answer of n structures: fill(i, structure) gives element i's code,
// send(n, structures, codes, overall code) hands them to the callbacks, and
// everything is freed afterwards. Nothing is sent when memory runs out.
template <class T, class Fill, class Send>
void Deliver(DWORD n, Fill fill, Send send) {
    auto items = TrackedArray<T>(n);
    auto errs = TrackedArray<HRESULT>(n);
    if (!items || !errs) return;
    for (DWORD i = 0; i < n; ++i) errs[i] = fill(i, items[i]);
    send(n, items.get(), errs.get(), Overall(errs.get(), n));
    for (DWORD i = 0; i < n; ++i) ClearHistorianAnswer(items[i]);
}

// Runs one synchronous per-item read: allocates the answer arrays, fills item
// i through fn(i, client), marks unknown handles.
template <class T, class Fill>
HRESULT PerItem(DWORD n, const OPCHANDLE* ph, T** out, HRESULT** errors,
                const std::function<bool(OPCHANDLE, OPCHANDLE*)>& clientOf, Fill fill) {
    auto items = TrackedArray<T>(n);
    auto errs = TrackedArray<HRESULT>(n);
    if (!items || !errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < n; ++i) {
        OPCHANDLE client = 0;
        if (!clientOf(ph[i], &client)) {
            errs[i] = OPC_E_INVALIDHANDLE;
            continue;
        }
        errs[i] = fill(i, ph[i], client, items[i]);
    }
    *out = items.detach();
    *errors = errs.detach();
    return Overall(*errors, n);
}

// One code per element into a new errors array: code(i) for element i.
template <class Code>
HRESULT PerElement(DWORD n, HRESULT** errors, Code code) {
    auto errs = TrackedArray<HRESULT>(n);
    if (!errs) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < n; ++i) errs[i] = code(i);
    *errors = errs.detach();
    return Overall(*errors, n);
}

// As PerElement, for elements that are server handles: an unknown handle is
// OPC_E_INVALIDHANDLE and code(i) is not asked.
template <class Code>
HRESULT PerHandle(DWORD n, const OPCHANDLE* ph, HRESULT** errors,
                  const std::function<bool(OPCHANDLE, OPCHANDLE*)>& clientOf, Code code) {
    return PerElement(n, errors, [&](DWORD i) {
        OPCHANDLE client = 0;
        return clientOf(ph[i], &client) ? code(i) : OPC_E_INVALIDHANDLE;
    });
}

inline int64_t RecordValue(DWORD v) { return v; }
inline int64_t RecordValue(const FILETIME& v) { return TicksOf(v); }

template <class T>
void SimHistorianObject::RecordArray(const wchar_t* iface, const wchar_t* method, const wchar_t* name, const T* values,
                                     DWORD n) {
    if (!values) return;
    std::vector<std::wstring> names;
    for (DWORD i = 0; i < n && i < 4; ++i) names.push_back(name + std::to_wstring(i));
    for (DWORD i = 0; i < names.size(); ++i) Record(iface, method, {{names[i].c_str(), RecordValue(values[i])}});
}

// The work of every task holds a reference on the historian while it runs, so
// that a client releasing the historian inside a callback destroys it only
// when the work is done.
inline Scheduler::Work Guarded(SimHistorianObject* self, Scheduler::Work fn) {
    return [self, fn = std::move(fn)](int64_t now, int64_t* next) {
        if (!self->TryAddRef()) return false;
        const auto held = ComPtr<SimHistorianObject>::attach(self);
        return fn(now, next);
    };
}

// The common start of the asynchronous members: the call counted (and failed
// when a fault is set), both outputs required and cleared.
#define ASYNC_PREAMBLE(iface, method)                \
    FAULT(iface, method);                            \
    if (!pdwCancelID || !ppErrors) return E_POINTER; \
    *pdwCancelID = 0;                                \
    *ppErrors = nullptr

}  // namespace hdasim

// Counts the call and answers the fault set for it, if any. Every member
// starts with it, and computes from there on in the platform's default
// floating-point state: an in-process client's own (64-bit x87 precision,
// unmasked exceptions) would change the signals, the aggregates and the
// conversions of values, or fault in them. The client's state is back on return.
#define FAULT(iface, method)                                    \
    const FloatingPointDefaults floatingPoint_;                 \
    do {                                                        \
        HRESULT faultHr_;                                       \
        if (Faulted(iface, method, &faultHr_)) return faultHr_; \
    } while (0)

// Both output pointers required, and cleared.
#define CHECK_OUT2(a, b)                    \
    do {                                    \
        if (!(a) || !(b)) return E_POINTER; \
        *(a) = nullptr;                     \
        *(b) = nullptr;                     \
    } while (0)

// The ClientOf lookup of the historian, for PerItem.
#define CLIENT_OF [this](OPCHANDLE s, OPCHANDLE* c) { return ClientOf(s, c); }
