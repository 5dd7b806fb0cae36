// HdaSimServer.exe: the simulated historian as a local server in the
// multithreaded apartment. Started by COM, it leaves once it has been without
// client objects for a few seconds ("-Linger=<ms>"); every client that comes
// and goes starts that time again, so a client activating just then does not
// meet a dying server.
//
// Under Wine a server started by COM inherits the client's Unix stdout and
// stderr whatever its Windows handles say, so a test runner reading that pipe
// waits until the server exits. Harnesses therefore run "HdaSimServer -Start"
// with its output on /dev/null: it starts the server ("-Persist": serving
// until the Wine session ends) and returns once the class objects are
// registered (exit code 0), or with 1 if the server died, 2 if it did not
// come up within a minute. It returns at once when a server is already
// serving. No client of the run can then reach COM's own launch.
#include "control_object.h"
#include "registration.h"
#include "sim_module.h"

#include "opc_hda.h"
#include "com/com_holders.h"
#include "sim_control.h"

#include <ocidl.h>

#include <cwchar>
#include <cwctype>
#include <string>
#include <utility>

namespace {

const hdasim::ClassEntry kHistorian{&CLSID_HdaSimHistorianLocal,
                                    L"Simulated OPC HDA historian (local server)",
                                    L"Sim.HdaHistorian.Local.1",
                                    L"Sim.HdaHistorian.Local",
                                    true,
                                    true};
const hdasim::ClassEntry kControl{
    &CLSID_HdaSimControlLocal, L"Simulated OPC HDA historian control (local server)", nullptr, nullptr, true, false};

// Idle time before leaving; "-Linger=<ms>" changes it, "-Persist" never leaves.
DWORD g_lingerMs = 3000;
HANDLE g_idleEvent = nullptr;

// Signalled while a server serves; created by a starting harness or by the server.
const wchar_t kRunningEvent[] = L"HdaSimServer.Running";
constexpr DWORD kStartTimeoutMs = 60000;

void OnIdle() { SetEvent(g_idleEvent); }

bool HasSwitch(const wchar_t* cmd, const wchar_t* name) {
    // "/RegServer" or "-RegServer", any case.
    for (const wchar_t* p = cmd; *p; ++p) {
        if ((*p == L'/' || *p == L'-') && _wcsnicmp(p + 1, name, wcslen(name)) == 0) return true;
    }
    return false;
}

// Wine's RPC runtime can hang a server for good. When the last stub of an
// interface goes (a client released the last object served through it), the
// runtime unregisters the interface and waits for the calls on it to finish,
// holding the lock that every marshaling takes; on a busy machine the
// wake-up of that wait can be lost when the release follows a call on the
// interface at once (seen here: a RemRelease of the last class factory stub
// waiting for ever, and every later activation stuck behind it). A stub of
// each interface the server hands out, made once and kept, means that no
// interface ever loses its last stub, and that wait never happens.
class StubAnchor final : public IUnknown {
public:
    // Answers the served interfaces only (never IMarshal and the like, which
    // the runtime asks for first). Stubs hold the pointer only: nobody
    // unmarshals the data, so no call ever reaches it.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        for (const IID* iid : kServed)
            if (IsEqualIID(riid, *iid)) {
                *ppv = this;
                return S_OK;
            }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    void AnchorServedInterfaces() {
        if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream_))) return;
        for (const IID* iid : kServed)
            if (FAILED(CoMarshalInterface(stream_, *iid, this, MSHCTX_LOCAL, nullptr, MSHLFLAGS_TABLESTRONG)))
                OutputDebugStringA("HdaSimServer: an interface could not be anchored\n");
    }

private:
    static constexpr const IID* kServed[] = {&IID_IUnknown,
                                             &IID_IClassFactory,
                                             &IID_IHdaSimControl,
                                             &IID_IOPCHDA_Server,
                                             &IID_IOPCCommon,
                                             &IID_IOPCHDA_SyncRead,
                                             &IID_IOPCHDA_SyncUpdate,
                                             &IID_IOPCHDA_SyncAnnotations,
                                             &IID_IOPCHDA_AsyncRead,
                                             &IID_IOPCHDA_AsyncUpdate,
                                             &IID_IOPCHDA_AsyncAnnotations,
                                             &IID_IOPCHDA_Playback,
                                             &IID_IOPCHDA_Browser,
                                             &IID_IEnumString,
                                             &IID_IConnectionPointContainer,
                                             &IID_IConnectionPoint,
                                             &IID_IEnumConnectionPoints,
                                             &IID_IEnumConnections};
    IStream* stream_ = nullptr;  // kept for the life of the process
};

// "-Start": runs the server as its own process and waits until it serves.
int StartServer() {
    HANDLE running = CreateEventW(nullptr, TRUE, FALSE, kRunningEvent);
    if (!running) return 1;
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    // Already serving, or being started by another harness: just wait for it.
    if (existed) {
        DWORD r = WaitForSingleObject(running, kStartTimeoutMs);
        CloseHandle(running);
        return r == WAIT_OBJECT_0 ? 0 : 2;
    }
    std::wstring command = L"\"" + hdasim::ModulePath(nullptr) + L"\" -Embedding -Persist";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(running);
        return 1;
    }
    CloseHandle(process.hThread);
    HANDLE waits[2] = {running, process.hProcess};
    DWORD r = WaitForMultipleObjects(2, waits, FALSE, kStartTimeoutMs);
    CloseHandle(process.hProcess);
    CloseHandle(running);
    return r == WAIT_OBJECT_0 ? 0 : r == WAIT_OBJECT_0 + 1 ? 1 : 2;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR cmd, int) {
    hdasim::g_isLocalServer = true;
    if (HasSwitch(cmd, L"RegServer")) {
        std::wstring path = hdasim::ModulePath(nullptr);
        HRESULT hr = hdasim::RegisterClassEntry(kHistorian, path);
        if (SUCCEEDED(hr)) hr = hdasim::RegisterClassEntry(kControl, path);
        return SUCCEEDED(hr) ? 0 : 1;
    }
    if (HasSwitch(cmd, L"UnregServer")) {
        hdasim::UnregisterClassEntry(kHistorian);
        hdasim::UnregisterClassEntry(kControl);
        return 0;
    }
    if (HasSwitch(cmd, L"Start")) return StartServer();
    if (const wchar_t* p = wcsstr(cmd, L"Linger=")) g_lingerMs = wcstoul(p + 7, nullptr, 10);
    if (HasSwitch(cmd, L"Persist")) g_lingerMs = INFINITE;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    static StubAnchor anchor;
    anchor.AnchorServedInterfaces();
    g_idleEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    hdasim::ModuleSetIdleCallback(&OnIdle);

    ComPtr<IUnknown> historianFactory, controlFactory;
    DWORD cookies[2] = {0, 0};
    hdasim::CreateClassFactory(&hdasim::CreateHistorianObject, IID_IUnknown, historianFactory.put_void());
    hdasim::CreateClassFactory(&hdasim::CreateControlObject, IID_IUnknown, controlFactory.put_void());
    if (historianFactory)
        CoRegisterClassObject(CLSID_HdaSimHistorianLocal, historianFactory.get(), CLSCTX_LOCAL_SERVER,
                              REGCLS_MULTIPLEUSE, &cookies[0]);
    if (controlFactory)
        CoRegisterClassObject(CLSID_HdaSimControlLocal, controlFactory.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                              &cookies[1]);
    // The factories count as objects; only clients' objects keep the server.
    const long factories = hdasim::ModuleCount();
    for (long i = 0; i < factories; ++i) hdasim::ModuleRelease();

    // Lets a harness that started the server see that it serves.
    HANDLE running = CreateEventW(nullptr, TRUE, FALSE, kRunningEvent);
    if (running) SetEvent(running);

    // Leaves after a whole linger time without client objects: each time the
    // last one goes, the idle event starts the time again.
    for (;;) {
        if (WaitForSingleObject(g_idleEvent, g_lingerMs) != WAIT_TIMEOUT || hdasim::ModuleCount() > 0) continue;
        if (running) ResetEvent(running);
        for (DWORD& c : cookies)
            if (c) CoRevokeClassObject(std::exchange(c, 0));
        // A client that reached a class object just before the revocation
        // is served to its end.
        while (hdasim::ModuleCount() > 0) WaitForSingleObject(g_idleEvent, g_lingerMs);
        break;
    }
    if (running) CloseHandle(running);
    hdasim::ModuleSetIdleCallback(nullptr);
    for (long i = 0; i < factories; ++i) hdasim::ModuleAddRef();
    historianFactory.reset();
    controlFactory.reset();
    CoUninitialize();
    return 0;
}
