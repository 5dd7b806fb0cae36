// The round trip's own client, beside the C++ examples it also runs against the installed package (they read,
// browse and receive item events across the installed proxies): the installed OPCHDAAuto.dll, created by
// ProgID and connected to the installed simulator's local server, receives the historian's shutdown notice
// across the proxies as an event, and may unload once everything is released.
// Prints "installed client: all steps passed" when every step passed.
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>

#include "OPCHDAAuto.h"
#include "com/com_holders.h"
#include "sim_control.h"

namespace {

// The server's event sink, as a WithEvents variable is: remembers the reason of HDAServerShutDown.
class ShutdownSink final : public IDispatch {
public:
    wchar_t reason[64] = L"";
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__IOPCHDAAutoServerEvents ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives in wmain
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
        if (id == 1 && p->cArgs == 1 && V_VT(&p->rgvarg[0]) == VT_BSTR) wcsncpy(reason, V_BSTR(&p->rgvarg[0]), 63);
        return S_OK;
    }
};

int failed = 0;
bool Step(HRESULT hr, const char* what) {
    std::printf("%s %s: 0x%08lX\n", SUCCEEDED(hr) ? "ok" : "FAIL", what, static_cast<unsigned long>(hr));
    failed += FAILED(hr);
    return SUCCEEDED(hr);
}

}  // namespace

int wmain() {
    if (FAILED(OleInitialize(nullptr))) return 2;
    ShutdownSink sink;
    {
        CLSID clsid{};
        ComPtr<IOPCHDAAutoServer> server;
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        ComPtr<IHdaSimControl> control;
        DWORD cookie = 0;
        UniqueVariant node;
        V_VT(node.get()) = VT_ERROR;
        V_ERROR(node.get()) = DISP_E_PARAMNOTFOUND;
        UniqueBstr progID(L"Sim.HdaHistorian.Local");
        if (Step(CLSIDFromProgID(L"OPCHDA.Automation", &clsid), "ProgID") &&
            Step(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDAAutoServer, server.put_void()),
                 "create") &&
            Step(server.query(IID_IConnectionPointContainer, container), "container") &&
            Step(container->FindConnectionPoint(DIID__IOPCHDAAutoServerEvents, point.put()), "connection point") &&
            Step(point->Advise(&sink, &cookie), "advise") &&
            Step(server->Connect(progID.get(), *node.get()), "Connect") &&
            Step(CoCreateInstance(CLSID_HdaSimControlLocal, nullptr, CLSCTX_LOCAL_SERVER, IID_IHdaSimControl,
                                  control.put_void()),
                 "simulator control")) {
            control->SendShutdown(L"installer round trip");
            for (DWORD until = GetTickCount() + 10000;
                 !*sink.reason && static_cast<LONG>(until - GetTickCount()) > 0;) {
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
                for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);) DispatchMessageW(&msg);
            }
            Step(wcscmp(sink.reason, L"installer round trip") == 0 ? S_OK : E_FAIL, "HDAServerShutDown");
            server->Disconnect();
        }
        if (cookie) point->Unadvise(cookie);
    }
    // The installed file is the one in use, and nothing of it is left alive.
    wchar_t path[MAX_PATH] = L"";
    const HMODULE library = GetModuleHandleW(L"OPCHDAAuto.dll");
    GetModuleFileNameW(library, path, MAX_PATH);
    Step(wcsstr(path, L"\\OPC HDA Automation\\") ? S_OK : E_FAIL, "installed DLL");
    const auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(library, "DllCanUnloadNow")));
    Step(canUnload && canUnload() == S_OK ? S_OK : E_FAIL, "DllCanUnloadNow");
    OleUninitialize();
    if (failed == 0) std::printf("installed client: all steps passed\n");
    return failed == 0 ? 0 : 1;
}
