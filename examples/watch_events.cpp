// A C++ client that subscribes to the item events the way a VB6 or VBA form
// does (WithEvents: an IDispatch sink in a single-threaded apartment that
// pumps messages): it advises raw data on three signals and prints each
// DataChange for a few seconds, plays back the last hour at high speed
// printing each Playback slice, then cancels both and disconnects.
//   wine watch_events.exe [historian ProgID] [seconds]
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>

#include "OPCHDAAuto.h"
#include "com/com_holders.h"

namespace {

constexpr double kSecond = 1.0 / 86400.0;  // a DATE span
const wchar_t* const kSignals[] = {L"Plant/Lab/Calibration/Ramp", L"Plant/Area1/Reactor1/Temperature",
                                   L"Plant/Area1/Pump1/Speed"};

LONG LongAt(SAFEARRAY* array, LONG index) {
    LONG v = 0;
    SafeArrayGetElement(array, &index, &v);
    return v;
}

// Prints one line per item: handle, number of values, the last value.
void PrintItems(const char* what, DISPPARAMS* p) {
    // Arguments arrive last first: Errors, ItemValues, Aggregates, ClientHandles, NumItems, Status, TransactionID.
    LONG transaction = V_I4(&p->rgvarg[6]), count = V_I4(&p->rgvarg[4]);
    SAFEARRAY* handles = V_ARRAY(&p->rgvarg[3]);
    SAFEARRAY* values = V_ARRAY(&p->rgvarg[1]);
    std::printf("%s (transaction %ld, %ld items)\n", what, static_cast<long>(transaction), static_cast<long>(count));
    for (LONG i = 1; i <= count; ++i) {
        UniqueVariant element;
        SafeArrayGetElement(values, &i, element.get());
        ComPtr<OPCHDAHistory> history;
        LONG n = 0;
        UniqueVariant last;
        if (V_VT(element.get()) == VT_DISPATCH &&
            SUCCEEDED(V_DISPATCH(element.get())->QueryInterface(IID_OPCHDAHistory, history.put_void())) &&
            SUCCEEDED(history->get_Count(&n)) && n > 0) {
            ComPtr<OPCHDAValue> value;
            VARIANT index;
            VariantInit(&index);
            V_VT(&index) = VT_I4;
            V_I4(&index) = n;
            if (SUCCEEDED(history->Item(index, value.put()))) value->get_DataValue(last.get());
            VariantChangeType(last.get(), last.get(), 0, VT_BSTR);
        }
        std::printf("  item %ld: %ld values%s%ls\n", static_cast<long>(LongAt(handles, i)), static_cast<long>(n),
                    V_VT(last.get()) == VT_BSTR ? ", last " : "",
                    V_VT(last.get()) == VT_BSTR ? V_BSTR(last.get()) : L"");
    }
}

// The WithEvents sink: _IOPCHDAItemEvents through IDispatch::Invoke.
class ItemEvents final : public IDispatch {
public:
    LONG cancelsSeen = 0;
    LONG dataChanges = 0;
    LONG slices = 0;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, DIID__IOPCHDAItemEvents)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
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
        if (id == 1 && p->cArgs == 7) {
            ++dataChanges;
            PrintItems("DataChange", p);
        } else if (id == 7 && p->cArgs == 7) {
            ++slices;
            PrintItems("Playback slice", p);
        } else if (id == 9 && p->cArgs == 1) {
            ++cancelsSeen;
            std::printf("AsyncCancelComplete (cancel id %ld)\n", static_cast<long>(V_I4(&p->rgvarg[0])));
        }
        return S_OK;
    }

private:
    LONG refs_ = 1;
};

// Pumps messages for `ms`, as a form's message loop does (events arrive
// here), or until *counter reaches `target`.
void Pump(DWORD ms, const LONG* counter = nullptr, LONG target = 0) {
    DWORD end = GetTickCount() + ms;
    while (static_cast<LONG>(end - GetTickCount()) > 0 && !(counter && *counter >= target)) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
}

SAFEARRAY* Longs(const LONG* values, LONG n) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_I4, 1, n);
    for (LONG i = 1; i <= n; ++i) SafeArrayPutElement(a, &i, const_cast<LONG*>(&values[i - 1]));
    return a;
}

VARIANT Text(const wchar_t* s) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(s);
    return v;
}

bool Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) std::printf("%s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    return SUCCEEDED(hr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* progID = argc > 1 ? argv[1] : L"Sim.HdaHistorian";
    const DWORD seconds = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 3;
    if (FAILED(OleInitialize(nullptr))) return 1;
    bool ok = false;
    ItemEvents sink;
    {
        CLSID clsid;
        ComPtr<IOPCHDAAutoServer> server;
        ComPtr<IOPCHDAItems> items;
        ComPtr<IConnectionPoint> point;
        ComPtr<IConnectionPointContainer> container;
        DWORD cookie = 0;
        UniqueBstr name(progID);
        UniqueVariant node;
        V_VT(node.get()) = VT_ERROR;
        V_ERROR(node.get()) = DISP_E_PARAMNOTFOUND;
        ok = Check(CLSIDFromProgID(L"OPCHDA.Automation", &clsid), "CLSIDFromProgID") &&
             Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDAAutoServer, server.put_void()),
                   "CoCreateInstance") &&
             Check(server->Connect(name.get(), *node.get()), "Connect") &&
             Check(server->get_OPCHDAItems(items.put()), "OPCHDAItems") &&
             Check(server.query(IID_IConnectionPointContainer, container), "IConnectionPointContainer") &&
             Check(container->FindConnectionPoint(DIID__IOPCHDAItemEvents, point.put()), "FindConnectionPoint") &&
             Check(point->Advise(static_cast<IDispatch*>(&sink), &cookie), "Advise");
        std::printf("Connected to %ls\n", progID);

        UniqueSafeArray serverHandles, errors;
        if (ok) {
            LONG clientHandles[] = {1, 2, 3};
            UniqueSafeArray ids(SafeArrayCreateVector(VT_BSTR, 1, 3)), clients(Longs(clientHandles, 3));
            for (LONG i = 1; i <= 3; ++i) SafeArrayPutElement(ids.get(), &i, UniqueBstr(kSignals[i - 1]).get());
            SAFEARRAY* idArray = ids.get();
            SAFEARRAY* clientArray = clients.get();
            ok = Check(items->AddItems(3, &idArray, &clientArray, serverHandles.put(), errors.put()), "AddItems");
        }

        LONG adviseCancel = 0, playbackCancel = 0;
        if (ok) {
            std::printf("-- advising raw data, update every second, for %lu s\n", static_cast<unsigned long>(seconds));
            UniqueVariant start;
            *start.get() = Text(L"NOW-30S");
            SAFEARRAY* handles = serverHandles.get();
            ok = Check(items->AsyncAdviseRaw(1, start.get(), kSecond, 3, &handles, errors.put(), &adviseCancel),
                       "AsyncAdviseRaw");
            if (ok) Pump(seconds * 1000);
        }
        if (ok) {
            std::printf("-- playing back the last hour in 5-minute slices, one every 300 ms\n");
            UniqueVariant start, end;
            *start.get() = Text(L"NOW-1H");
            *end.get() = Text(L"NOW");
            SAFEARRAY* handles = serverHandles.get();
            ok = Check(items->AsyncPlaybackRaw(2, start.get(), end.get(), 0, 300 * kSecond, 0.3 * kSecond, 3, &handles,
                                               errors.put(), &playbackCancel),
                       "AsyncPlaybackRaw");
            if (ok) Pump(1500);  // about half of it, then cancel while it runs
        }
        if (ok) {
            std::printf("-- cancelling both\n");
            ok = Check(items->AsyncCancelRead(adviseCancel), "AsyncCancelRead") &&
                 Check(items->AsyncCancelPlayback(playbackCancel), "AsyncCancelPlayback");
            Pump(5000, &sink.cancelsSeen, 2);
            ok = ok && sink.dataChanges > 0 && sink.slices > 0;
        }
        if (cookie) point->Unadvise(cookie);
        if (server) server->Disconnect();
    }
    OleUninitialize();
    std::printf("%ld DataChange, %ld Playback, %ld AsyncCancelComplete events\n", static_cast<long>(sink.dataChanges),
                static_cast<long>(sink.slices), static_cast<long>(sink.cancelsSeen));
    if (ok) std::printf("DONE\n");
    return ok ? 0 : 1;
}
