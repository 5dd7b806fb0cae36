// Entry points of HdaSim.dll: the in-process historian, the process control
// object, and the proxy/stub of IHdaSimControl (merged in, so that the control
// interface also crosses to the local server with nothing else registered).
#include "control_object.h"
#include "registration.h"
#include "sim_module.h"

#include "sim_control.h"

extern "C" {
BOOL WINAPI PrxDllMain(HINSTANCE, DWORD, LPVOID);
HRESULT WINAPI PrxDllGetClassObject(REFCLSID, REFIID, void**);
HRESULT WINAPI PrxDllCanUnloadNow();
HRESULT WINAPI PrxDllRegisterServer();
HRESULT WINAPI PrxDllUnregisterServer();
}

namespace {

HMODULE g_module = nullptr;

const hdasim::ClassEntry kHistorian{&CLSID_HdaSimHistorian,
                                    L"Simulated OPC HDA historian (in process)",
                                    L"Sim.HdaHistorian.1",
                                    L"Sim.HdaHistorian",
                                    false,
                                    true};
const hdasim::ClassEntry kControl{
    &CLSID_HdaSimControl, L"Simulated OPC HDA historian control", nullptr, nullptr, false, false};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return PrxDllMain(instance, reason, reserved);
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (clsid == CLSID_HdaSimHistorian) return hdasim::CreateClassFactory(&hdasim::CreateHistorianObject, iid, out);
    if (clsid == CLSID_HdaSimControl) return hdasim::CreateClassFactory(&hdasim::CreateControlObject, iid, out);
    return PrxDllGetClassObject(clsid, iid, out);
}

// Once the malloc spy of the process points into this module it must stay
// loaded; so must it while any object lives.
extern "C" HRESULT WINAPI DllCanUnloadNow() { return S_FALSE; }

extern "C" HRESULT WINAPI DllRegisterServer() {
    std::wstring path = hdasim::ModulePath(g_module);
    HRESULT hr = hdasim::RegisterClassEntry(kHistorian, path);
    if (SUCCEEDED(hr)) hr = hdasim::RegisterClassEntry(kControl, path);
    if (SUCCEEDED(hr)) hr = PrxDllRegisterServer();
    return hr;
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
    hdasim::UnregisterClassEntry(kHistorian);
    hdasim::UnregisterClassEntry(kControl);
    PrxDllUnregisterServer();
    return S_OK;
}
