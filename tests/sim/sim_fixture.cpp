#include "sim_fixture.h"

#include <objbase.h>
#include <ocidl.h>

namespace simtest {
namespace {

// The main test thread lives in the multithreaded apartment for the whole run.
class ComEnvironment : public testing::Environment {
public:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }
};
const auto* const g_env = testing::AddGlobalTestEnvironment(new ComEnvironment);

double as_double(const VARIANT& v) {
    VARIANT d;
    VariantInit(&d);
    double out = 0;
    if (SUCCEEDED(VariantChangeType(&d, const_cast<VARIANT*>(&v), 0, VT_R8))) out = d.dblVal;
    VariantClear(&d);
    return out;
}

}  // namespace

FILETIME ft(Ticks t) {
    FILETIME f;
    f.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(t));
    f.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(t) >> 32);
    return f;
}

Ticks ticks(const FILETIME& f) {
    return static_cast<Ticks>((static_cast<std::uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime);
}

OPCHDA_TIME htime(Ticks t) {
    OPCHDA_TIME h{};
    h.bString = FALSE;
    h.szTime = nullptr;
    h.ftTime = ft(t);
    return h;
}

std::string where_name(const testing::TestParamInfo<Where>& info) {
    return info.param == Where::InProc ? "InProc" : "Local";
}

HRESULT create_historian(Where where, IOPCHDA_Server** out) {
    return CoCreateInstance(where == Where::InProc ? CLSID_HdaSimHistorian : CLSID_HdaSimHistorianLocal, nullptr,
                            where == Where::InProc ? CLSCTX_INPROC_SERVER : CLSCTX_LOCAL_SERVER, IID_IOPCHDA_Server,
                            reinterpret_cast<void**>(out));
}

HRESULT create_control(Where where, IHdaSimControl** out) {
    return CoCreateInstance(where == Where::InProc ? CLSID_HdaSimControl : CLSID_HdaSimControlLocal, nullptr,
                            where == Where::InProc ? CLSCTX_INPROC_SERVER : CLSCTX_LOCAL_SERVER, IID_IHdaSimControl,
                            reinterpret_cast<void**>(out));
}

// ---------------------------------------------------------------- sink

Sink::Sink() { arrived_ = CreateEventW(nullptr, FALSE, FALSE, nullptr); }
Sink::~Sink() { CloseHandle(arrived_); }

HRESULT Sink::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IOPCHDA_DataCallback)
        *out = static_cast<IOPCHDA_DataCallback*>(this);
    else if (iid == IID_IOPCShutdown)
        *out = static_cast<IOPCShutdown*>(this);
    else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG Sink::AddRef() { return InterlockedIncrement(&refs_); }

ULONG Sink::Release() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
}

void Sink::record(Event e) {
    e.thread = GetCurrentThreadId();
    {
        std::lock_guard<std::mutex> g(lock_);
        events_.push_back(std::move(e));
    }
    SetEvent(arrived_);
}

void Sink::record_items(const char* kind, DWORD tid, HRESULT status, DWORD n, OPCHDA_ITEM* const* items,
                        HRESULT* errs) {
    Event e;
    e.kind = kind;
    e.transaction = tid;
    e.status = status;
    for (DWORD i = 0; i < n; ++i) {
        const OPCHDA_ITEM& it = *items[i];
        e.clients.push_back(it.hClient);
        e.errors.push_back(errs[i]);
        std::vector<Ticks> t;
        std::vector<double> v;
        for (DWORD k = 0; k < it.dwCount; ++k) {
            t.push_back(ticks(it.pftTimeStamps[k]));
            v.push_back(as_double(it.pvDataValues[k]));
        }
        e.times.push_back(std::move(t));
        e.values.push_back(std::move(v));
    }
    record(std::move(e));
}

HRESULT Sink::OnDataChange(DWORD tid, HRESULT status, DWORD n, OPCHDA_ITEM* items, HRESULT* errs) {
    std::vector<OPCHDA_ITEM*> p;
    for (DWORD i = 0; i < n; ++i) p.push_back(&items[i]);
    record_items("DataChange", tid, status, n, p.data(), errs);
    return S_OK;
}

HRESULT Sink::OnReadComplete(DWORD tid, HRESULT status, DWORD n, OPCHDA_ITEM* items, HRESULT* errs) {
    std::vector<OPCHDA_ITEM*> p;
    for (DWORD i = 0; i < n; ++i) p.push_back(&items[i]);
    record_items("ReadComplete", tid, status, n, p.data(), errs);
    return S_OK;
}

HRESULT Sink::OnReadModifiedComplete(DWORD tid, HRESULT status, DWORD n, OPCHDA_MODIFIEDITEM* items, HRESULT* errs) {
    Event e;
    e.kind = "ReadModifiedComplete";
    e.transaction = tid;
    e.status = status;
    for (DWORD i = 0; i < n; ++i) {
        e.clients.push_back(items[i].hClient);
        e.errors.push_back(errs[i]);
    }
    record(std::move(e));
    return S_OK;
}

HRESULT Sink::OnReadAttributeComplete(DWORD tid, HRESULT status, OPCHANDLE client, DWORD n, OPCHDA_ATTRIBUTE*,
                                      HRESULT* errs) {
    Event e;
    e.kind = "ReadAttributeComplete";
    e.transaction = tid;
    e.status = status;
    e.clients.push_back(client);
    e.errors.assign(errs, errs + n);
    record(std::move(e));
    return S_OK;
}

HRESULT Sink::OnReadAnnotations(DWORD tid, HRESULT status, DWORD n, OPCHDA_ANNOTATION* items, HRESULT* errs) {
    Event e;
    e.kind = "ReadAnnotations";
    e.transaction = tid;
    e.status = status;
    for (DWORD i = 0; i < n; ++i) {
        e.clients.push_back(items[i].hClient);
        e.errors.push_back(errs[i]);
        if (items[i].dwNumValues) e.text = items[i].szAnnotation[0];
    }
    record(std::move(e));
    return S_OK;
}

HRESULT Sink::OnInsertAnnotations(DWORD tid, HRESULT status, DWORD n, OPCHANDLE* clients, HRESULT* errs) {
    Event e;
    e.kind = "InsertAnnotations";
    e.transaction = tid;
    e.status = status;
    e.clients.assign(clients, clients + n);
    e.errors.assign(errs, errs + n);
    record(std::move(e));
    return S_OK;
}

HRESULT Sink::OnPlayback(DWORD tid, HRESULT status, DWORD n, OPCHDA_ITEM** items, HRESULT* errs) {
    record_items("Playback", tid, status, n, items, errs);
    return S_OK;
}

HRESULT Sink::OnUpdateComplete(DWORD tid, HRESULT status, DWORD n, OPCHANDLE* clients, HRESULT* errs) {
    Event e;
    e.kind = "UpdateComplete";
    e.transaction = tid;
    e.status = status;
    e.clients.assign(clients, clients + n);
    e.errors.assign(errs, errs + n);
    record(std::move(e));
    return S_OK;
}

HRESULT Sink::OnCancelComplete(DWORD cancel_id) {
    Event e;
    e.kind = "CancelComplete";
    e.transaction = cancel_id;
    record(std::move(e));
    return S_OK;
}

HRESULT Sink::ShutdownRequest(LPCWSTR reason) {
    Event e;
    e.kind = "Shutdown";
    e.text = reason ? reason : L"";
    record(std::move(e));
    return S_OK;
}

bool Sink::wait_for(size_t n, DWORD timeout_ms) {
    ULONGLONG end = GetTickCount64() + timeout_ms;
    for (;;) {
        {
            std::lock_guard<std::mutex> g(lock_);
            if (events_.size() >= n) return true;
        }
        ULONGLONG now = GetTickCount64();
        if (now >= end) return false;
        DWORD index;
        // Pumps in a single-threaded apartment, plain wait in the MTA.
        CoWaitForMultipleHandles(0, static_cast<DWORD>(end - now), 1, &arrived_, &index);
    }
}

std::vector<Event> Sink::events() {
    std::lock_guard<std::mutex> g(lock_);
    return events_;
}

HRESULT advise(IUnknown* historian, const IID& iid, IUnknown* sink, DWORD* cookie) {
    Ref<IConnectionPointContainer> cpc;
    HRESULT hr = historian->QueryInterface(IID_IConnectionPointContainer, cpc.put_void());
    if (FAILED(hr)) return hr;
    Ref<IConnectionPoint> cp;
    hr = cpc->FindConnectionPoint(iid, cp.put());
    if (FAILED(hr)) return hr;
    return cp->Advise(sink, cookie);
}

HRESULT unadvise(IUnknown* historian, const IID& iid, DWORD cookie) {
    Ref<IConnectionPointContainer> cpc;
    HRESULT hr = historian->QueryInterface(IID_IConnectionPointContainer, cpc.put_void());
    if (FAILED(hr)) return hr;
    Ref<IConnectionPoint> cp;
    hr = cpc->FindConnectionPoint(iid, cp.put());
    if (FAILED(hr)) return hr;
    return cp->Unadvise(cookie);
}

// ---------------------------------------------------------------- fixture

void SimTest::SetUp() {
    ASSERT_HRESULT_SUCCEEDED(create_historian(GetParam(), server.put()));
    ASSERT_HRESULT_SUCCEEDED(server->QueryInterface(IID_IHdaSimControl, control.put_void()));
    control->ClearFaults();
    control->ClockSetSpeed(0.0);
    control->ClockSet(kT0 + 24 * 60 * kMinute);
}

void SimTest::TearDown() {
    if (control) {
        control->ClearFaults();
        // The local server outlives this test: give its clock back real time.
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        control->ClockSetSpeed(1.0);
        control->ClockSet(
            static_cast<LONGLONG>((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime));
    }
    control.reset();
    server.reset();
}

std::vector<OPCHANDLE> SimTest::handles(const std::vector<std::wstring>& ids) {
    std::vector<LPWSTR> names;
    std::vector<OPCHANDLE> clients;
    for (size_t i = 0; i < ids.size(); ++i) {
        names.push_back(const_cast<LPWSTR>(ids[i].c_str()));
        clients.push_back(static_cast<OPCHANDLE>(i + 1));
    }
    OPCHANDLE* server_handles = nullptr;
    HRESULT* errors = nullptr;
    std::vector<OPCHANDLE> out;
    HRESULT hr =
        server->GetItemHandles(static_cast<DWORD>(ids.size()), names.data(), clients.data(), &server_handles, &errors);
    EXPECT_HRESULT_SUCCEEDED(hr);
    if (SUCCEEDED(hr)) {
        out.assign(server_handles, server_handles + ids.size());
        CoTaskMemFree(server_handles);
        CoTaskMemFree(errors);
    }
    return out;
}

}  // namespace simtest
