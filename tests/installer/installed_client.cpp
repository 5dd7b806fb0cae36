// The client of the installer's round trip: uses the installed OPCHDAAuto.dll
// (created by ProgID, as a customer's program does) against the simulated
// historian as a local server, so that every OPC custom interface the DLL
// talks to crosses a process boundary through the proxies the package
// registered. One row per interface: the automation member that crosses it,
// and the historian method that must have been reached (counted by the
// simulator's control object). Callbacks and the shutdown notice arrive as
// events on a message-pumping apartment, as in a form.
//   installed_client.exe [historian ProgID]     (default Sim.HdaHistorian.Local)
// Prints "ok <interface>: <member>" or "FAIL ..." per row, then
// "installed client: all rows passed" when every row passed.
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "OPCHDAAuto.h"
#include "com/com_holders.h"
#include "sim_control.h"

namespace {

constexpr DWORD kEventWaitMs = 10000;
constexpr LONG kOpcUnknownItemId = static_cast<LONG>(0xC0040007);
const wchar_t* const kItems[] = {L"Plant/Lab/Calibration/Ramp", L"Plant/Lab/Calibration/Counter"};
constexpr LONG kItemCount = 2;

// An event as it arrived: its DISPID and its first argument (transaction ID
// of the item events, reason of the shutdown notice).
struct Event {
    DISPID id;
    std::wstring first;
};

// A late-bound sink for either event interface, as a WithEvents variable is.
class EventLog final : public IDispatch {
public:
    explicit EventLog(const IID& events) : events_(events) {}
    std::vector<Event> seen;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) && !IsEqualIID(riid, events_))
            return E_NOINTERFACE;
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs_); }  // lives in main
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
        UniqueVariant first;
        if (p && p->cArgs > 0) VariantChangeType(first.get(), &p->rgvarg[p->cArgs - 1], 0, VT_BSTR);
        seen.push_back({id, V_VT(first.get()) == VT_BSTR ? V_BSTR(first.get()) : L""});
        return S_OK;
    }

    // Pumps messages, as a form's loop does, until the event arrives or time is up.
    bool WaitFor(DISPID id, const std::wstring& first) {
        const DWORD end = GetTickCount() + kEventWaitMs;
        for (;;) {
            for (const Event& e : seen)
                if (e.id == id && e.first == first) return true;
            if (static_cast<LONG>(end - GetTickCount()) <= 0) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        }
    }

private:
    const IID& events_;
    LONG refs_ = 1;
};

SAFEARRAY* Vector(VARTYPE type, LONG n) { return SafeArrayCreateVector(type, 1, n); }

UniqueVariant Text(const wchar_t* s) {
    UniqueVariant v;
    V_VT(v.get()) = VT_BSTR;
    V_BSTR(v.get()) = SysAllocString(s);
    return v;
}

UniqueVariant Omitted() {
    UniqueVariant v;
    V_VT(v.get()) = VT_ERROR;
    V_ERROR(v.get()) = DISP_E_PARAMNOTFOUND;
    return v;
}

bool ArrayHolds(const VARIANT& v, const wchar_t* wanted) {
    if (V_VT(&v) != (VT_ARRAY | VT_BSTR)) return false;
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(V_ARRAY(&v), 1, &lo);
    SafeArrayGetUBound(V_ARRAY(&v), 1, &hi);
    for (LONG i = lo; i <= hi; ++i) {
        UniqueBstr s;
        if (SUCCEEDED(SafeArrayGetElement(V_ARRAY(&v), &i, s.put())) && s && wcscmp(s.get(), wanted) == 0)
            return true;
    }
    return false;
}

LONG ArrayLength(const VARIANT& v) {
    if (!(V_VT(&v) & VT_ARRAY) || !V_ARRAY(&v)) return -1;
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(V_ARRAY(&v), 1, &lo);
    SafeArrayGetUBound(V_ARRAY(&v), 1, &hi);
    return hi - lo + 1;
}

// What the rows share: the connection, the items, the sinks and the simulator's control.
// The sinks come first: they outlive the objects that hold them.
struct Session {
    EventLog serverEvents{DIID__IOPCHDAAutoServerEvents};
    EventLog itemEvents{DIID__IOPCHDAItemEvents};
    std::wstring progID;
    ComPtr<IOPCHDAAutoServer> server;
    ComPtr<IOPCHDAItems> items;
    ComPtr<IHdaSimControl> control;
    UniqueSafeArray serverHandles;
    std::wstring detail;  // why a row failed, beyond its HRESULT

    HRESULT Fail(const wchar_t* why) {
        detail = why;
        return E_FAIL;
    }
};

// The members that insert: one value per item, now.
HRESULT InsertArguments(UniqueSafeArray& stamps, UniqueSafeArray& values, UniqueSafeArray& qualities) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    DATE when = 0;
    SystemTimeToVariantTime(&now, &when);
    stamps.reset(Vector(VT_DATE, kItemCount));
    values.reset(Vector(VT_VARIANT, kItemCount));
    qualities.reset(Vector(VT_I4, kItemCount));
    for (LONG i = 1; i <= kItemCount; ++i) {
        UniqueVariant value;
        V_VT(value.get()) = VT_R8;
        V_R8(value.get()) = 40.0 + i;
        LONG quality = 192;
        DATE stamp = when - i / 86400.0;
        HRESULT hr = SafeArrayPutElement(stamps.get(), &i, &stamp);
        if (SUCCEEDED(hr)) hr = SafeArrayPutElement(values.get(), &i, value.get());
        if (SUCCEEDED(hr)) hr = SafeArrayPutElement(qualities.get(), &i, &quality);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

struct Row {
    const char* iface;
    const char* member;
    const wchar_t* reached;  // the historian method that must have been called, or nullptr
    std::function<HRESULT(Session&)> call;
};

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = {
        {"IOPCServerList", "GetOPCHDAServers", nullptr,
         [](Session& s) {
             UniqueVariant node = Omitted(), names;
             HRESULT hr = s.server->GetOPCHDAServers(*node.get(), names.get());
             if (SUCCEEDED(hr) && !ArrayHolds(*names.get(), L"Sim.HdaHistorian.Local.1"))
                 return s.Fail(L"the simulator is not listed");
             return hr;
         }},
        {"IOPCHDA_Server", "Connect, HistorianStatus", L"IOPCHDA_Server::GetHistorianStatus",
         [](Session& s) {
             UniqueBstr name(s.progID.c_str());
             UniqueVariant node = Omitted();
             HRESULT hr = s.server->Connect(name.get(), *node.get());
             LONG status = 0;
             if (SUCCEEDED(hr)) hr = s.server->get_HistorianStatus(&status);
             if (SUCCEEDED(hr) && status != 1) return s.Fail(L"the historian is not up");
             return hr;
         }},
        {"IOPCCommon", "LocaleID (put)", L"IOPCCommon::SetLocaleID",
         [](Session& s) { return s.server->put_LocaleID(1033); }},
        {"IOPCCommon", "LocaleID (get)", L"IOPCCommon::GetLocaleID",
         [](Session& s) {
             LONG lcid = 0;
             HRESULT hr = s.server->get_LocaleID(&lcid);
             if (SUCCEEDED(hr) && lcid != 1033) return s.Fail(L"another locale came back");
             return hr;
         }},
        {"IOPCCommon", "ClientName", L"IOPCCommon::SetClientName",
         [](Session& s) {
             UniqueBstr name(L"installer round trip");
             return s.server->put_ClientName(name.get());
         }},
        {"IOPCCommon", "GetErrorString", L"IOPCCommon::GetErrorString",
         [](Session& s) {
             UniqueBstr text;
             HRESULT hr = s.server->GetErrorString(kOpcUnknownItemId, text.put());
             if (SUCCEEDED(hr) && text.length() == 0) return s.Fail(L"no text");
             return hr;
         }},
        {"IOPCCommon", "QueryAvailableLocaleIDs", L"IOPCCommon::QueryAvailableLocaleIDs",
         [](Session& s) {
             UniqueVariant ids;
             HRESULT hr = s.server->QueryAvailableLocaleIDs(ids.get());
             if (SUCCEEDED(hr) && ArrayLength(*ids.get()) < 1) return s.Fail(L"no locale");
             return hr;
         }},
        {"IOPCHDA_Server", "AddItems", L"IOPCHDA_Server::GetItemHandles",
         [](Session& s) {
             UniqueSafeArray ids(Vector(VT_BSTR, kItemCount)), clients(Vector(VT_I4, kItemCount)), errors;
             for (LONG i = 1; i <= kItemCount; ++i) {
                 SafeArrayPutElement(ids.get(), &i, UniqueBstr(kItems[i - 1]).get());
                 SafeArrayPutElement(clients.get(), &i, &i);
             }
             SAFEARRAY* idArray = ids.get();
             SAFEARRAY* clientArray = clients.get();
             return s.items->AddItems(kItemCount, &idArray, &clientArray, s.serverHandles.put(), errors.put());
         }},
        {"IOPCHDA_SyncRead", "SyncReadRaw", L"IOPCHDA_SyncRead::ReadRaw",
         [](Session& s) {
             UniqueVariant start = Text(L"NOW-1H"), end = Text(L"NOW");
             UniqueSafeArray values, errors;
             SAFEARRAY* handles = s.serverHandles.get();
             return s.items->SyncReadRaw(start.get(), end.get(), 0, 0, kItemCount, &handles, values.put(),
                                         errors.put());
         }},
        {"IOPCHDA_SyncUpdate", "SyncInsert", L"IOPCHDA_SyncUpdate::Insert",
         [](Session& s) {
             UniqueSafeArray stamps, values, qualities, errors;
             HRESULT hr = InsertArguments(stamps, values, qualities);
             SAFEARRAY *handles = s.serverHandles.get(), *stampArray = stamps.get(), *valueArray = values.get(),
                       *qualityArray = qualities.get();
             if (SUCCEEDED(hr))
                 hr = s.items->SyncInsert(kItemCount, &handles, &stampArray, &valueArray, &qualityArray,
                                          errors.put());
             return hr;
         }},
        {"IOPCHDA_SyncAnnotations", "SyncReadAnnotations", L"IOPCHDA_SyncAnnotations::Read",
         [](Session& s) {
             UniqueVariant start = Text(L"NOW-1D"), end = Text(L"NOW");
             UniqueSafeArray values, errors;
             SAFEARRAY* handles = s.serverHandles.get();
             return s.items->SyncReadAnnotations(start.get(), end.get(), kItemCount, &handles, values.put(),
                                                 errors.put());
         }},
        {"IOPCHDA_AsyncRead, IOPCHDA_DataCallback", "AsyncReadRaw, AsyncReadComplete", L"IOPCHDA_AsyncRead::ReadRaw",
         [](Session& s) {
             UniqueVariant start = Text(L"NOW-1H"), end = Text(L"NOW");
             UniqueSafeArray errors;
             SAFEARRAY* handles = s.serverHandles.get();
             LONG cancel = 0;
             HRESULT hr = s.items->AsyncReadRaw(11, start.get(), end.get(), 0, 0, kItemCount, &handles,
                                                errors.put(), &cancel);
             if (SUCCEEDED(hr) && !s.itemEvents.WaitFor(2, L"11")) return s.Fail(L"no AsyncReadComplete");
             return hr;
         }},
        {"IOPCHDA_AsyncUpdate, IOPCHDA_DataCallback", "AsyncInsert, AsyncUpdateComplete",
         L"IOPCHDA_AsyncUpdate::Insert",
         [](Session& s) {
             UniqueSafeArray stamps, values, qualities, errors;
             HRESULT hr = InsertArguments(stamps, values, qualities);
             SAFEARRAY *handles = s.serverHandles.get(), *stampArray = stamps.get(), *valueArray = values.get(),
                       *qualityArray = qualities.get();
             LONG cancel = 0;
             if (SUCCEEDED(hr))
                 hr = s.items->AsyncInsert(12, kItemCount, &handles, &stampArray, &valueArray, &qualityArray,
                                           errors.put(), &cancel);
             if (SUCCEEDED(hr) && !s.itemEvents.WaitFor(8, L"12")) return s.Fail(L"no AsyncUpdateComplete");
             return hr;
         }},
        {"IOPCHDA_AsyncAnnotations, IOPCHDA_DataCallback", "AsyncReadAnnotations, AsyncReadAnnotationsComplete",
         L"IOPCHDA_AsyncAnnotations::Read",
         [](Session& s) {
             UniqueVariant start = Text(L"NOW-1D"), end = Text(L"NOW");
             UniqueSafeArray errors;
             SAFEARRAY* handles = s.serverHandles.get();
             LONG cancel = 0;
             HRESULT hr =
                 s.items->AsyncReadAnnotations(13, start.get(), end.get(), kItemCount, &handles, errors.put(), &cancel);
             if (SUCCEEDED(hr) && !s.itemEvents.WaitFor(5, L"13"))
                 return s.Fail(L"no AsyncReadAnnotationsComplete");
             return hr;
         }},
        {"IOPCHDA_Playback, IOPCHDA_DataCallback", "AsyncPlaybackRaw, Playback", L"IOPCHDA_Playback::ReadRawWithUpdate",
         [](Session& s) {
             constexpr double kSecond = 1.0 / 86400.0;
             UniqueVariant start = Text(L"NOW-1H"), end = Text(L"NOW");
             UniqueSafeArray errors;
             SAFEARRAY* handles = s.serverHandles.get();
             LONG cancel = 0;
             HRESULT hr = s.items->AsyncPlaybackRaw(14, start.get(), end.get(), 0, 600 * kSecond, 0.2 * kSecond,
                                                    kItemCount, &handles, errors.put(), &cancel);
             if (SUCCEEDED(hr) && !s.itemEvents.WaitFor(7, L"14")) return s.Fail(L"no Playback");
             if (SUCCEEDED(hr)) hr = s.items->AsyncCancelPlayback(cancel);
             return hr;
         }},
        {"IOPCHDA_Browser", "CreateBrowser, OPCHDABranches", L"IOPCHDA_Server::CreateBrowse",
         [](Session& s) {
             UniqueVariant none = Omitted(), errors, branches;
             ComPtr<OPCHDABrowser> browser;
             HRESULT hr = s.server->CreateBrowser(0, *none.get(), *none.get(), *none.get(), errors.get(),
                                                  browser.put());
             if (SUCCEEDED(hr)) hr = browser->get_OPCHDABranches(branches.get());
             if (SUCCEEDED(hr) && ArrayLength(*branches.get()) < 1) return s.Fail(L"no branch at the root");
             return hr;
         }},
        {"IOPCShutdown", "HDAServerShutDown", nullptr,
         [](Session& s) {
             HRESULT hr = s.control->SendShutdown(L"installer round trip");
             if (SUCCEEDED(hr) && !s.serverEvents.WaitFor(1, L"installer round trip"))
                 return s.Fail(L"no HDAServerShutDown");
             return hr;
         }},
    };
    return rows;
}

HRESULT Advise(IUnknown* source, const IID& events, IDispatch* sink, DWORD* cookie) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    HRESULT hr = source->QueryInterface(IID_IConnectionPointContainer, container.put_void());
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(events, point.put());
    if (SUCCEEDED(hr)) hr = point->Advise(sink, cookie);
    return hr;
}

LONG Reached(IHdaSimControl* control, const wchar_t* method) {
    LONG n = -1;
    if (FAILED(control->CallCount(method, &n))) return -1;
    return n;
}

// Runs every row; the number that failed.
int RunRows(Session& s) {
    int failed = 0;
    for (const Row& row : Rows()) {
        s.detail.clear();
        const LONG before = row.reached ? Reached(s.control.get(), row.reached) : 0;
        HRESULT hr = row.call(s);
        if (SUCCEEDED(hr) && row.reached && Reached(s.control.get(), row.reached) <= before) {
            s.detail = L"the historian was not reached";
            hr = E_FAIL;
        }
        if (SUCCEEDED(hr)) {
            std::printf("ok %s: %s\n", row.iface, row.member);
        } else {
            ++failed;
            std::printf("FAIL %s: %s: 0x%08lX %ls\n", row.iface, row.member, static_cast<unsigned long>(hr),
                        s.detail.c_str());
        }
    }
    return failed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (FAILED(OleInitialize(nullptr))) return 2;
    int failed = 0;
    {
        Session s;
        s.progID = argc > 1 ? argv[1] : L"Sim.HdaHistorian.Local";
        CLSID clsid;
        DWORD serverCookie = 0, itemCookie = 0;
        HRESULT hr = CLSIDFromProgID(L"OPCHDA.Automation", &clsid);
        if (SUCCEEDED(hr))
            hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDAAutoServer, s.server.put_void());
        if (SUCCEEDED(hr)) hr = s.server->get_OPCHDAItems(s.items.put());
        if (SUCCEEDED(hr)) hr = Advise(s.server.get(), DIID__IOPCHDAAutoServerEvents, &s.serverEvents, &serverCookie);
        if (SUCCEEDED(hr)) hr = Advise(s.server.get(), DIID__IOPCHDAItemEvents, &s.itemEvents, &itemCookie);
        if (SUCCEEDED(hr))
            hr = CoCreateInstance(CLSID_HdaSimControlLocal, nullptr, CLSCTX_LOCAL_SERVER, IID_IHdaSimControl,
                                  s.control.put_void());
        if (FAILED(hr)) {
            std::printf("FAIL set-up: 0x%08lX\n", static_cast<unsigned long>(hr));
            failed = 1;
        } else {
            failed = RunRows(s);
            s.server->Disconnect();
        }
    }
    OleUninitialize();
    if (failed == 0) std::printf("installed client: all rows passed\n");
    return failed == 0 ? 0 : 1;
}
