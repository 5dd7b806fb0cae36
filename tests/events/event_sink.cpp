#include "event_sink.h"

#include "support/com_test.h"

namespace eventtest {

std::vector<double> HistoryValues(IDispatch* history) {
    std::vector<double> values;
    UniqueVariant count;
    if (FAILED(comtest::GetProperty(history, L"Count", count.get())) ||
        FAILED(VariantChangeType(count.get(), count.get(), 0, VT_I4)))
        return {-1.0};
    for (LONG k = 1; k <= V_I4(count.get()); ++k) {
        UniqueVariant element, value;
        if (FAILED(comtest::CallMethod(history, L"Item", {comtest::VarI4(k)}, element.get())) ||
            V_VT(element.get()) != VT_DISPATCH ||
            FAILED(comtest::GetProperty(V_DISPATCH(element.get()), L"DataValue", value.get())) ||
            FAILED(VariantChangeType(value.get(), value.get(), 0, VT_R8)))
            values.push_back(-1.0);
        else
            values.push_back(V_R8(value.get()));
    }
    return values;
}

namespace {

Arg Decode(const VARIANT& v, std::vector<ComPtr<IDispatch>>* kept) {
    Arg a;
    a.vt = V_VT(&v);
    if (a.vt == VT_I4) a.number = V_I4(&v);
    if (a.vt == VT_BSTR) a.text.assign(V_BSTR(&v) ? V_BSTR(&v) : L"", SysStringLen(V_BSTR(&v)));
    if (!(a.vt & VT_ARRAY) || (a.vt & VT_BYREF) || !V_ARRAY(&v)) return a;
    SAFEARRAY* array = V_ARRAY(&v);
    LONG upper = 0;
    SafeArrayGetLBound(array, 1, &a.lower);
    SafeArrayGetUBound(array, 1, &upper);
    for (LONG i = a.lower; i <= upper; ++i) {
        if (a.vt == (VT_ARRAY | VT_I4)) {
            LONG n = 0;
            SafeArrayGetElement(array, &i, &n);
            a.longs.push_back(n);
        } else if (a.vt == (VT_ARRAY | VT_VARIANT)) {
            UniqueVariant e;
            SafeArrayGetElement(array, &i, e.get());
            a.types.push_back(V_VT(e.get()));
            bool history = V_VT(e.get()) == VT_DISPATCH && V_DISPATCH(e.get());
            a.histories.push_back(history ? HistoryValues(V_DISPATCH(e.get())) : std::vector<double>{});
            if (history && kept) kept->push_back(ComPtr<IDispatch>(V_DISPATCH(e.get())));
        }
    }
    return a;
}

}  // namespace

ComPtr<EventSink> EventSink::Make(REFIID eventIid) { return ComPtr<EventSink>(new EventSink(eventIid)); }

EventSink::EventSink(REFIID eventIid) : eventIid_(eventIid), arrived_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
EventSink::~EventSink() { CloseHandle(arrived_); }

STDMETHODIMP EventSink::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    bool ok = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
              (!IsEqualIID(eventIid_, GUID_NULL) && IsEqualIID(riid, eventIid_));
    *ppv = ok ? static_cast<IDispatch*>(this) : nullptr;
    if (!ok) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}
STDMETHODIMP_(ULONG) EventSink::AddRef() { return InterlockedIncrement(&refs_); }
STDMETHODIMP_(ULONG) EventSink::Release() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
}
STDMETHODIMP EventSink::GetTypeInfoCount(UINT* n) {
    *n = 0;
    return S_OK;
}
STDMETHODIMP EventSink::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
STDMETHODIMP EventSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

STDMETHODIMP EventSink::Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                               UINT*) {
    Event e;
    e.id = id;
    e.flags = flags;
    e.lcid = lcid;
    e.thread = GetCurrentThreadId();
    std::vector<ComPtr<IDispatch>> histories;
    if (params) {
        e.named = params->cNamedArgs;
        for (UINT k = params->cArgs; k-- > 0;) e.args.push_back(Decode(params->rgvarg[k], &histories));
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        events_.push_back(e);
        if (keepHistories) kept.insert(kept.end(), histories.begin(), histories.end());
    }
    if (onEvent) onEvent(e);
    SetEvent(arrived_);
    return invokeResult;
}

std::vector<Event> EventSink::Events() {
    std::lock_guard<std::mutex> g(lock_);
    return events_;
}

size_t EventSink::Count() {
    std::lock_guard<std::mutex> g(lock_);
    return events_.size();
}

bool EventSink::WaitFor(size_t count, DWORD ms) {
    DWORD deadline = GetTickCount() + ms;
    while (Count() < count) {
        LONG left = static_cast<LONG>(deadline - GetTickCount());
        if (left <= 0) return false;
        DWORD index = 0;
        CoWaitForMultipleHandles(0, static_cast<DWORD>(left), 1, &arrived_, &index);
    }
    return true;
}

DWORD Advise(IUnknown* source, REFIID iid, IUnknown* sink, HRESULT* result) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    HRESULT hr = source->QueryInterface(IID_IConnectionPointContainer, container.put_void());
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(iid, point.put());
    if (SUCCEEDED(hr)) hr = point->Advise(sink, &cookie);
    if (result) *result = hr;
    return cookie;
}

HRESULT Unadvise(IUnknown* source, REFIID iid, DWORD cookie) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    HRESULT hr = source->QueryInterface(IID_IConnectionPointContainer, container.put_void());
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(iid, point.put());
    if (SUCCEEDED(hr)) hr = point->Unadvise(cookie);
    return hr;
}

}  // namespace eventtest
