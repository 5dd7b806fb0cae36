#include "support/event_sink.h"

#include <cwchar>

namespace comtest {

namespace {
std::mutex g_madeLock;
std::vector<std::unique_ptr<Sink>> g_made;
}  // namespace

std::wstring Show(const VARIANT& v, Histories* keep) {
    wchar_t number[32] = L"";
    const VARTYPE vt = V_VT(&v);
    const bool longs = vt == (VT_ARRAY | VT_I4), variants = vt == (VT_ARRAY | VT_VARIANT);
    ComPtr<OPCHDAHistory> history;
    if (vt == VT_R8) swprintf(number, 32, L"%g", V_R8(&v));
    if (vt == VT_I4) swprintf(number, 32, V_I4(&v) >= 0 && V_I4(&v) < 0x10000 ? L"%ld" : L"0x%08lX", V_I4(&v));
    if (*number) return number;
    if (vt == VT_EMPTY) return L"_";
    if (vt == VT_BSTR) return L"'" + std::wstring(V_BSTR(&v) ? V_BSTR(&v) : L"", SysStringLen(V_BSTR(&v))) + L"'";
    if (vt == VT_DISPATCH && V_DISPATCH(&v)) {
        if (keep) keep->emplace_back(V_DISPATCH(&v));
        LONG count = 0;
        if (FAILED(V_DISPATCH(&v)->QueryInterface(IID_OPCHDAHistory, history.put_void())) ||
            FAILED(history->get_Count(&count)))
            return L"(?)";
        std::wstring shown;
        for (LONG k = 1; k <= count; ++k) {
            ComPtr<OPCHDAValue> value;
            UniqueVariant data;
            if (SUCCEEDED(history->Item(VarI4(k), value.put()))) value->get_DataValue(data.get());
            shown += (k > 1 ? L" " : L"") + Show(*data.get());
        }
        return L"(" + shown + L")";
    }
    if (!(longs || variants) || !V_ARRAY(&v)) return L"vt" + std::to_wstring(vt);
    auto [lower, upper] = BoundsOf(V_ARRAY(&v));
    std::wstring shown = lower == 1 ? L"" : L"@" + std::to_wstring(lower) + L" ";
    for (LONG i = lower; i <= upper; ++i) {
        UniqueVariant e(VarI4(longs ? LongAt(V_ARRAY(&v), i) : 0));
        if (variants) VariantAt(V_ARRAY(&v), i, e.get());
        shown += (i > lower ? L" " : L"") + Show(*e.get(), keep);
    }
    return (longs ? L"[" : L"{") + shown + (longs ? L"]" : L"}");
}

ComPtr<Sink> Sink::Make(unsigned answers) {
    std::lock_guard<std::mutex> g(g_madeLock);
    return ComPtr<Sink>::attach(g_made.emplace_back(std::make_unique<Sink>(answers)).get());
}

long EndSinks() {
    std::lock_guard<std::mutex> g(g_madeLock);
    long late = 0;
    for (const auto& sink : g_made) late += sink->late;
    g_made.clear();
    return late;
}

std::vector<Event> Sink::Events() {
    std::lock_guard<std::mutex> g(lock_);
    return events_;
}

STDMETHODIMP Sink::QueryInterface(REFIID iid, void** out) {
    const bool answers = iid == IID_IUnknown || iid == IID_IDispatch ||
                         ((answers_ & kItemEvents) && iid == DIID__IOPCHDAItemEvents) ||
                         ((answers_ & kServerEvents) && iid == DIID__IOPCHDAAutoServerEvents);
    *out = answers ? static_cast<IDispatch*>(this) : nullptr;
    return answers ? (AddRef(), S_OK) : E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) Sink::AddRef() {
    const long n = ++references_;
    if (n == 1) ++late;  // back from the dead
    return static_cast<ULONG>(n);
}

STDMETHODIMP Sink::Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                          UINT*) {
    if (references_ <= 0) ++late;
    if (record_) {
        EXPECT_EQ(std::tuple(flags, lcid, params->cNamedArgs), std::tuple(DISPATCH_METHOD, 0x400, 0u)) << id;
        Event e{id, GetCurrentThreadId(), {}};
        Histories histories;
        for (UINT k = params->cArgs; k-- > 0;)
            e.args += (e.args.empty() ? L"" : L" ") + Show(params->rgvarg[k], &histories);
        std::lock_guard<std::mutex> g(lock_);
        events_.push_back(e);
        kept.insert(kept.end(), histories.begin(), histories.end());
    }
    ++events;
    if (onEvent && params) onEvent(id, *params);
    return invokeResult;
}

ComPtr<IConnectionPoint> PointOf(IUnknown* source, const IID& events) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(source->QueryInterface(IID_IConnectionPointContainer, container.put_void())))
        container->FindConnectionPoint(events, point.put());
    return point;
}

DWORD Subscribe(IUnknown* source, IDispatch* sink, const IID& events) {
    DWORD cookie = 0;
    if (ComPtr<IConnectionPoint> point = PointOf(source, events)) point->Advise(sink, &cookie);
    return cookie;
}

void Unsubscribe(IUnknown* source, DWORD cookie, const IID& events) {
    if (ComPtr<IConnectionPoint> point = PointOf(source, events)) point->Unadvise(cookie);
}

}  // namespace comtest
