// A sink written the way VBA and VB6 WithEvents sinks are: an IDispatch that
// also answers the event interface and receives every event through Invoke.
// It records each event's identifier, flags, locale, thread and arguments
// (arrays with their lower bound, the values of each history while the event
// runs) and can fail, or act from inside its handler.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "OPCHDAAuto.h"
#include "com_holders.h"
#include "support/com_test.h"

namespace eventtest {

// The values of a history, read through its dispatch interface as a script does.
inline std::vector<double> HistoryValues(IDispatch* history) {
    std::vector<double> values;
    UniqueVariant count;
    if (FAILED(comtest::GetProperty(history, L"Count", count.get())) ||
        FAILED(VariantChangeType(count.get(), count.get(), 0, VT_I4)))
        return {-1.0};
    for (LONG k = 1; k <= V_I4(count.get()); ++k) {
        UniqueVariant element, value;
        bool read = SUCCEEDED(comtest::CallMethod(history, L"Item", {comtest::VarI4(k)}, element.get())) &&
                    V_VT(element.get()) == VT_DISPATCH &&
                    SUCCEEDED(comtest::GetProperty(V_DISPATCH(element.get()), L"DataValue", value.get())) &&
                    SUCCEEDED(VariantChangeType(value.get(), value.get(), 0, VT_R8));
        values.push_back(read ? V_R8(value.get()) : -1.0);
    }
    return values;
}

struct Arg {
    VARTYPE vt = VT_EMPTY;
    LONG number = 0;                             // VT_I4
    std::wstring text;                           // VT_BSTR
    LONG lower = 0;                              // arrays
    std::vector<LONG> longs;                     // VT_ARRAY|VT_I4
    std::vector<VARTYPE> types;                  // VT_ARRAY|VT_VARIANT: each element's type
    std::vector<std::vector<double>> histories;  // per element: the history's values, or none
};

struct Event {
    DISPID id = 0;
    WORD flags = 0;
    LCID lcid = 0;
    UINT named = 0;
    DWORD thread = 0;
    std::vector<Arg> args;
    LONG Long(size_t k) const { return args.at(k).number; }
};

class EventSink final : public IDispatch {
public:
    // A sink answering `eventIid` besides IUnknown and IDispatch (GUID_NULL: none).
    static ComPtr<EventSink> Make(REFIID eventIid) { return ComPtr<EventSink>(new EventSink(eventIid)); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        bool ok = riid == IID_IUnknown || riid == IID_IDispatch || (eventIid_ != GUID_NULL && riid == eventIid_);
        *ppv = ok ? static_cast<IDispatch*>(this) : nullptr;
        if (ok) AddRef();
        return ok ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        Event e{id, flags, lcid, params ? params->cNamedArgs : 0, GetCurrentThreadId(), {}};
        for (UINT k = params ? params->cArgs : 0; k-- > 0;) e.args.push_back(Decode(params->rgvarg[k]));
        {
            std::lock_guard<std::mutex> g(lock_);
            events_.push_back(e);
        }
        if (onEvent) onEvent(e);
        SetEvent(arrived_);
        return invokeResult;
    }

    std::vector<Event> Events() {
        std::lock_guard<std::mutex> g(lock_);
        return events_;
    }
    size_t Count() { return Events().size(); }
    // Waits, pumping as a single-threaded apartment must, for `count` events.
    bool WaitFor(size_t count, DWORD ms = 10000) {
        for (DWORD start = GetTickCount(), index = 0; Count() < count;) {
            if (GetTickCount() - start > ms) return false;
            CoWaitForMultipleHandles(0, 50, 1, &arrived_, &index);
        }
        return true;
    }

    HRESULT invokeResult = S_OK;
    std::function<void(const Event&)> onEvent;  // runs inside Invoke, after recording
    bool keepHistories = false;
    std::vector<ComPtr<IDispatch>> kept;  // with keepHistories: every history received

private:
    explicit EventSink(REFIID eventIid) : eventIid_(eventIid), arrived_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~EventSink() { CloseHandle(arrived_); }

    Arg Decode(const VARIANT& v) {
        Arg a;
        a.vt = V_VT(&v);
        if (a.vt == VT_I4) a.number = V_I4(&v);
        if (a.vt == VT_BSTR) a.text.assign(V_BSTR(&v) ? V_BSTR(&v) : L"", SysStringLen(V_BSTR(&v)));
        if (!(a.vt & VT_ARRAY) || !V_ARRAY(&v)) return a;
        LONG upper = 0;
        SafeArrayGetLBound(V_ARRAY(&v), 1, &a.lower);
        SafeArrayGetUBound(V_ARRAY(&v), 1, &upper);
        for (LONG i = a.lower; i <= upper; ++i) {
            if (a.vt == (VT_ARRAY | VT_I4)) {
                a.longs.push_back(comtest::LongAt(V_ARRAY(&v), i));
                continue;
            }
            UniqueVariant e;
            comtest::VariantAt(V_ARRAY(&v), i, e.get());
            a.types.push_back(V_VT(e.get()));
            bool history = V_VT(e.get()) == VT_DISPATCH && V_DISPATCH(e.get());
            a.histories.push_back(history ? HistoryValues(V_DISPATCH(e.get())) : std::vector<double>{});
            std::lock_guard<std::mutex> g(lock_);
            if (history && keepHistories) kept.push_back(ComPtr<IDispatch>(V_DISPATCH(e.get())));
        }
        return a;
    }

    LONG refs_ = 0;
    IID eventIid_;
    std::mutex lock_;
    std::vector<Event> events_;
    HANDLE arrived_;
};

// Subscribes `sink` to `source`'s events of `iid`: the cookie, 0 on failure.
inline DWORD Advise(IUnknown* source, REFIID iid, IDispatch* sink) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    if (SUCCEEDED(source->QueryInterface(IID_IConnectionPointContainer, container.put_void())) &&
        SUCCEEDED(container->FindConnectionPoint(iid, point.put())))
        point->Advise(sink, &cookie);
    return cookie;
}

}  // namespace eventtest
