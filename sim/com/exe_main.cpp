// HdaSimServer.exe: the simulated historian as a local server in the
// multithreaded apartment. It leaves a few seconds after its last object goes
// (a client activating just then would otherwise meet a dying server).
// Under Wine a server started by COM inherits the client's Unix stdout and
// stderr whatever its Windows handles say, so a test runner reading that pipe
// waits until the server exits. Harnesses therefore start it themselves with
// standard handles on NUL and a long "-Linger=<ms>", and wait for the event
// "HdaSimServer.Running" (see tests/sim/sim_fixture.cpp, start_local_server).
#include "control_object.h"
#include "registration.h"
#include "sim_module.h"

#include "sim_control.h"

#include <cwchar>
#include <cwctype>

namespace {

const hdasim::ClassEntry kHistorian{&CLSID_HdaSimHistorianLocal, L"Simulated OPC HDA historian (local server)",
                                    L"Sim.HdaHistorian.Local.1", L"Sim.HdaHistorian.Local", true, true};
const hdasim::ClassEntry kControl{&CLSID_HdaSimControlLocal, L"Simulated OPC HDA historian control (local server)",
                                  nullptr, nullptr, true, false};

// Idle time before leaving; "-Linger=<ms>" changes it (a test harness that
// starts the server itself keeps it for a whole run of test processes).
DWORD g_linger_ms = 3000;
HANDLE g_idle_event = nullptr;

void on_idle() { SetEvent(g_idle_event); }

bool has_switch(const wchar_t* cmd, const wchar_t* name) {
    // "/RegServer" or "-RegServer", any case.
    for (const wchar_t* p = cmd; *p; ++p) {
        if ((*p == L'/' || *p == L'-') && _wcsnicmp(p + 1, name, wcslen(name)) == 0) return true;
    }
    return false;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR cmd, int) {
    hdasim::g_is_local_server = true;
    if (has_switch(cmd, L"RegServer")) {
        std::wstring path = hdasim::module_path(nullptr);
        HRESULT hr = hdasim::register_class(kHistorian, path);
        if (SUCCEEDED(hr)) hr = hdasim::register_class(kControl, path);
        return SUCCEEDED(hr) ? 0 : 1;
    }
    if (has_switch(cmd, L"UnregServer")) {
        hdasim::unregister_class(kHistorian);
        hdasim::unregister_class(kControl);
        return 0;
    }
    if (const wchar_t* p = wcsstr(cmd, L"Linger=")) g_linger_ms = wcstoul(p + 7, nullptr, 10);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    g_idle_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    hdasim::module_set_idle_callback(&on_idle);

    IUnknown* historian_factory = nullptr;
    IUnknown* control_factory = nullptr;
    DWORD cookies[2] = {0, 0};
    hdasim::CreateClassFactory(&hdasim::CreateHistorianObject, IID_IUnknown,
                               reinterpret_cast<void**>(&historian_factory));
    hdasim::CreateClassFactory(&hdasim::CreateControlObject, IID_IUnknown,
                               reinterpret_cast<void**>(&control_factory));
    // The factories themselves count as objects; take them off so that only
    // clients' objects keep the server alive.
    long base = hdasim::module_count();
    if (historian_factory)
        CoRegisterClassObject(CLSID_HdaSimHistorianLocal, historian_factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                              &cookies[0]);
    if (control_factory)
        CoRegisterClassObject(CLSID_HdaSimControlLocal, control_factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                              &cookies[1]);

    // Lets a harness that started the server see that it serves.
    HANDLE running = CreateEventW(nullptr, TRUE, TRUE, L"HdaSimServer.Running");

    for (;;) {
        WaitForSingleObject(g_idle_event, g_linger_ms);
        if (hdasim::module_count() > base) continue;
        // Idle: wait out the linger time and leave if nothing came back.
        Sleep(g_linger_ms);
        if (hdasim::module_count() <= base) break;
    }
    if (running) CloseHandle(running);
    for (DWORD c : cookies)
        if (c) CoRevokeClassObject(c);
    hdasim::module_set_idle_callback(nullptr);
    if (historian_factory) historian_factory->Release();
    if (control_factory) control_factory->Release();
    CoUninitialize();
    return 0;
}
