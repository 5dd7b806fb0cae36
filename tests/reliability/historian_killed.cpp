// Historian killed: the simulator's local server process is terminated
// between requests, while a synchronous read is in flight and from inside the
// client's event handler while an advise delivers. The client must get an
// HRESULT, and Disconnect and the final release must leave nothing alive.
// historian_killed.sh runs each case in a Wine session of its own (README.md).
//   wine bin/historian_killed.exe <between|read|advise>
// It kills the local server that other tests use: run it alone.
#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "support/run_checks.h"

using namespace comtest;

namespace {

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

void KillHistorian(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process && TerminateProcess(process, 9)) WaitForSingleObject(process, 10000);
    if (process) CloseHandle(process);
}

struct Client : SimClient {
    HRESULT Connect() { return SimClient::Connect(L"Sim.HdaHistorian.Local", {L"Plant/Lab/Calibration/Ramp"}, {1}); }
    // Disconnect and the final release; true when nothing of the component is left.
    bool End(HRESULT* disconnect) {
        *disconnect = server ? server->Disconnect() : E_POINTER;
        items = nullptr;
        server = nullptr;
        return WaitUntilUnloadable(10000) == S_OK;
    }
};

// The three kill points: each kills the historian (process `pid`) and
// returns the HRESULT the client then got.
HRESULT KillBetweenRequests(Client& client, DWORD pid) {
    KillHistorian(pid);
    return client.ReadRaw(L"NOW-1M");
}

// Reads of many values, with the kill shortly after the first left: a read
// is on its way when the process goes.
HRESULT KillDuringRead(Client& client, DWORD pid) {
    std::thread killer([pid] {
        Sleep(30);
        KillHistorian(pid);
    });
    HRESULT hr = S_OK;
    for (int i = 0; i < 200 && SUCCEEDED(hr); ++i) hr = client.ReadRaw(L"NOW-30D");
    killer.join();
    return hr;
}

// Kills the historian from inside the first DataChange of an advise, then
// lets the event return; the next request meets the dead process.
HRESULT KillInsideEvent(Client& client, DWORD pid) {
    Sink sink(kItemEvents, false);
    std::atomic<bool> killed{false};
    sink.onEvent = [&](DISPID id, const DISPPARAMS&) {
        if (id == 1 && !killed.exchange(true)) KillHistorian(pid);
    };
    const DWORD cookie = Subscribe(client.server.get(), &sink);
    LONG cancelID = 0;
    client.AdviseRaw(1, &cancelID);
    for (int i = 0; i < 200 && !killed; ++i) Sleep(50);
    const HRESULT hr = client.items->AsyncCancelRead(cancelID);
    Unsubscribe(client.server.get(), cookie);
    return killed ? hr : S_OK;
}

}  // namespace

int main(int argc, char** argv) {
    ReportCrashes();
    const std::string which = argc > 1 ? argv[1] : "between";
    HRESULT(*const scenario)
    (Client&, DWORD) = which == "read" ? KillDuringRead : which == "advise" ? KillInsideEvent : KillBetweenRequests;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    Watchdog watchdog(90000);
    // Connects a client to the historian historian_killed.sh started, kills
    // the historian, ends the client and connects again.
    Doing("%s: connecting", which.c_str());
    const DWORD before = HistorianProcess();
    LARGE_INTEGER started;
    QueryPerformanceCounter(&started);
    HRESULT failure = S_OK, disconnect = E_UNEXPECTED, reconnect = E_UNEXPECTED;
    bool cleaned = false;
    {
        Client client;
        const HRESULT connected = client.Connect(), read = SUCCEEDED(connected) ? client.ReadRaw(L"NOW-1M") : E_FAIL;
        if (FAILED(read)) {
            std::printf("%s: the historian does not answer before the kill (0x%08lX, 0x%08lX)\nFAILED\n", which.c_str(),
                        static_cast<unsigned long>(connected), static_cast<unsigned long>(read));
            return 1;
        }
        Doing("%s: killing the historian", which.c_str());
        failure = scenario(client, before);
        Doing("%s: Disconnect and final release", which.c_str());
        cleaned = client.End(&disconnect);
        if (!cleaned) std::printf("%s: objects left after the final release\n", which.c_str());
    }
    const double seconds = SecondsSince(started);
    Doing("%s: connecting again", which.c_str());
    Client again;
    reconnect = again.Connect();
    if (SUCCEEDED(reconnect)) reconnect = again.ReadRaw(L"NOW-1M");
    HRESULT ignored;
    cleaned = again.End(&ignored) && cleaned;
    // The new Connect answers either way (no hang); under Wine 8 it reaches no new process in this session.
    std::printf("%s: client got 0x%08lX, Disconnect 0x%08lX, cleaned up %s; a new Connect: 0x%08lX\n", which.c_str(),
                static_cast<unsigned long>(failure), static_cast<unsigned long>(disconnect), cleaned ? "yes" : "no",
                static_cast<unsigned long>(reconnect));
    const std::string name = "historian_killed_" + which;
    const bool passed = Report({{(name + "_seconds").c_str(), seconds, "s"},
                                {(name + "_passed").c_str(), FAILED(failure) && cleaned ? 1.0 : 0.0, "of 1", 1, 1}});
    CoUninitialize();
    std::printf("%s\n", passed ? "PASSED" : "FAILED");
    return passed ? 0 : 1;
}
