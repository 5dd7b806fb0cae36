// Historian killed: the simulated historian's local server process is
// terminated between requests, while a synchronous read is in flight and
// while an advise is delivering (from inside the client's event handler).
// Each time the client must get an HRESULT (never a crash or a hang), and
// Disconnect and the final release must clean up (the component unloadable).
// A new Connect must then answer at once: under Wine 8 the RPC service keeps
// a killed server's class registration for the rest of the Wine session, so
// it answers REGDB_E_CLASSNOTREG until the session restarts; a new session's
// Connect reaches a new historian process (historian_killed.sh runs each
// case in a session of its own and checks that).
//   wine bin/historian_killed.exe <between|read|advise>
// It kills the local server that other tests use: run it alone.
#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <cstring>
#include <thread>

#include "OPCHDAAuto.h"
#include "com/com_holders.h"
#include "reliability.h"

using namespace reliability;

namespace {

constexpr wchar_t kLocal[] = L"Sim.HdaHistorian.Local";
constexpr wchar_t kItem[] = L"Plant/Lab/Calibration/Ramp";

DWORD HistorianProcess() {
    DWORD found = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (_wcsicmp(entry.szExeFile, L"HdaSimServer.exe") == 0) found = entry.th32ProcessID;
    CloseHandle(snapshot);
    return found;
}

// "HdaSimServer -Start" with its output on NUL: the server serves on until
// the Wine session ends, and nobody waits on our output for it.
bool StartHistorian() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring command = path;
    command = L"\"" + command.substr(0, command.find_last_of(L'\\') + 1) + L"HdaSimServer.exe\" -Start";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    PROCESS_INFORMATION process{};
    const bool started =
        CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    DWORD code = 1;
    if (started) {
        WaitForSingleObject(process.hProcess, 90000);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(nul);
    return code == 0;
}

bool KillHistorian(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (!process) return false;
    const bool killed = TerminateProcess(process, 9) && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    CloseHandle(process);
    return killed;
}

// Kills the historian from inside the first DataChange it receives, then
// lets the event return.
class KillingSink final : public SinkBase {
public:
    DWORD pid = 0;
    std::atomic<long> events{0};
    std::atomic<bool> killed{false};
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        ++events;
        if (id == 1 && !killed.exchange(true)) KillHistorian(pid);
        return S_OK;
    }
};

struct Client {
    ComPtr<IOPCHDAAutoServer> server;
    ComPtr<IOPCHDAItems> items;
    LONG handle = 0;

    HRESULT Connect() {
        HRESULT hr = CoCreateInstance(CLSID_OPCHDAServer, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDAAutoServer,
                                      server.put_void());
        if (FAILED(hr)) return hr;
        UniqueBstr progID(kLocal);
        VARIANT node;
        VariantInit(&node);
        if (FAILED(hr = server->Connect(progID.get(), node)) || FAILED(hr = server->get_OPCHDAItems(items.put())))
            return hr;
        ComPtr<OPCHDAItem> item;
        UniqueBstr id(kItem);
        if (FAILED(hr = items->AddItem(id.get(), 1, item.put()))) return hr;
        return item->get_ServerHandle(&handle);
    }
    // `values` values (0: as many as the historian gives) from the last `span`.
    HRESULT Read(const wchar_t* span, LONG values) {
        VARIANT start, end;
        start.vt = end.vt = VT_BSTR;
        start.bstrVal = SysAllocString(span);
        end.bstrVal = SysAllocString(L"NOW");
        UniqueSafeArray handles(SafeArrayCreateVector(VT_I4, 1, 1)), itemValues, errors;
        LONG index = 1;
        SafeArrayPutElement(handles.get(), &index, &handle);
        SAFEARRAY* hp = handles.get();
        const HRESULT hr = items->SyncReadRaw(&start, &end, values, FALSE, 1, &hp, itemValues.put(), errors.put());
        VariantClear(&start);
        VariantClear(&end);
        return hr;
    }
    // Disconnect and the final release; true when nothing of the component is left.
    bool End(HRESULT* disconnect) {
        *disconnect = server ? server->Disconnect() : E_POINTER;
        items = nullptr;
        server = nullptr;
        return WaitUntilUnloadable(10000) == S_OK;
    }
};

struct Outcome {
    const char* name;
    HRESULT failure = S_OK;  // what the client got from the dead historian
    HRESULT disconnect = E_UNEXPECTED;
    HRESULT reconnect = E_UNEXPECTED;
    bool cleaned = false, answered = false, newProcess = false;
    double seconds = 0;
};

// Starts a fresh historian if none serves, connects a client, runs `scenario`
// (which kills the historian and returns the HRESULT the client got), ends
// the client and proves that a new Connect reaches a new process.
template <class Scenario>
Outcome Run(const char* name, Scenario scenario) {
    Outcome outcome{name};
    char doing[128];
    std::snprintf(doing, sizeof doing, "%s: connecting", name);
    Doing(doing);
    if (!HistorianProcess()) StartHistorian();
    const DWORD before = HistorianProcess();
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    {
        Client client;
        const HRESULT connected = client.Connect();
        const HRESULT read = SUCCEEDED(connected) ? client.Read(L"NOW-1M", 0) : E_FAIL;
        if (FAILED(read)) {
            std::printf("%s: the historian does not answer before the kill (0x%08lX, 0x%08lX)\n", name,
                        static_cast<unsigned long>(connected), static_cast<unsigned long>(read));
            return outcome;
        }
        std::snprintf(doing, sizeof doing, "%s: killing the historian", name);
        Doing(doing);
        outcome.failure = scenario(client, before);
        std::snprintf(doing, sizeof doing, "%s: Disconnect and final release", name);
        Doing(doing);
        outcome.cleaned = client.End(&outcome.disconnect);
        if (!outcome.cleaned) std::printf("%s: objects left after the final release\n", name);
    }
    outcome.seconds = SecondsSince(started);
    std::snprintf(doing, sizeof doing, "%s: starting a new historian and connecting again", name);
    Doing(doing);
    StartHistorian();
    Client again;
    outcome.reconnect = again.Connect();
    outcome.answered = true;  // no hang
    if (SUCCEEDED(outcome.reconnect)) outcome.reconnect = again.Read(L"NOW-1M", 0);
    const DWORD after = HistorianProcess();
    outcome.newProcess = SUCCEEDED(outcome.reconnect) && after != 0 && after != before;
    HRESULT ignored;
    outcome.cleaned = again.End(&ignored) && outcome.cleaned;
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    ReportCrashes();
    const std::string which = argc > 1 ? argv[1] : "between";
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    Watchdog watchdog(90000);
    Outcome outcome;
    if (which == "between") {
        outcome = Run("between requests", [&](Client& client, DWORD pid) {
            KillHistorian(pid);
            return client.Read(L"NOW-1M", 0);
        });
    } else if (which == "read") {
        // Reads of many values, with the kill shortly after the first left:
        // a read is on its way when the process goes.
        outcome = Run("sync read in flight", [&](Client& client, DWORD pid) {
            std::atomic<bool> reading{false};
            std::thread killer([&] {
                while (!reading) Sleep(0);
                Sleep(30);
                KillHistorian(pid);
            });
            reading = true;
            HRESULT hr = S_OK;
            for (int i = 0; i < 200 && SUCCEEDED(hr); ++i) hr = client.Read(L"NOW-30D", 0);
            killer.join();
            return hr;
        });
    } else {
        outcome = Run("advise delivering", [&](Client& client, DWORD pid) {
            KillingSink sink;
            sink.pid = pid;
            ComPtr<IConnectionPointContainer> container;
            ComPtr<IConnectionPoint> point;
            DWORD cookie = 0;
            client.server.query(IID_IConnectionPointContainer, container);
            container->FindConnectionPoint(DIID__IOPCHDAItemEvents, point.put());
            point->Advise(static_cast<IDispatch*>(&sink), &cookie);
            VARIANT start;
            start.vt = VT_BSTR;
            start.bstrVal = SysAllocString(L"NOW");
            UniqueSafeArray handles(SafeArrayCreateVector(VT_I4, 1, 1)), errors;
            LONG index = 1, cancelID = 0;
            SafeArrayPutElement(handles.get(), &index, &client.handle);
            SAFEARRAY* hp = handles.get();
            client.items->AsyncAdviseRaw(1, &start, 1.0 / 864000, 1, &hp, errors.put(), &cancelID);
            VariantClear(&start);
            for (int i = 0; i < 200 && !sink.killed; ++i) Sleep(50);
            // The next request meets the dead process.
            const HRESULT hr = client.items->AsyncCancelRead(cancelID);
            point->Unadvise(cookie);
            return sink.killed ? hr : S_OK;
        });
    }
    watchdog.Beat();
    // The new Connect answers either way; it reaches a new process only in a new Wine session.
    const bool ok = FAILED(outcome.failure) && outcome.cleaned && outcome.answered;
    std::printf("%s: client got 0x%08lX, Disconnect 0x%08lX, cleaned up %s; a new Connect: 0x%08lX%s\n", outcome.name,
                static_cast<unsigned long>(outcome.failure), static_cast<unsigned long>(outcome.disconnect),
                outcome.cleaned ? "yes" : "no", static_cast<unsigned long>(outcome.reconnect),
                outcome.newProcess ? " (a new historian process)" : "");
    std::printf("bench: historian_killed_%s_seconds %.3f s\n", which.c_str(), outcome.seconds);
    std::printf("bench: historian_killed_%s_passed %d of 1\n", which.c_str(), ok ? 1 : 0);
    CoUninitialize();
    std::printf("%s\n", ok ? "PASSED" : "FAILED");
    return ok ? 0 : 1;
}
